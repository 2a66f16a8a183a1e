// The system's Chromium, headless, as every page script here drives it (KADREL_CHROMIUM: another one).
import { chromium } from 'playwright-core';

export const launchChromium = () => chromium.launch({
  executablePath: process.env.KADREL_CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
  headless: true,
});
