// Drives the remote page in the system's Chromium (headless, phone-sized), printing one line per
// step for the test program that runs it: node page.mjs URL SCREENSHOT
import { launchChromium } from './chromium.mjs';

const [url, shot] = process.argv.slice(2);
const say = (line) => process.stdout.write(line + '\n');
const timeText = (page, n) => page.locator(`.clock[data-clock="${n}"] .time`).textContent();

const browser = await launchChromium();
try {
  const context = await browser.newContext({
    viewport: { width: 390, height: 844 }, deviceScaleFactor: 2, isMobile: true, hasTouch: true, locale: 'pl-PL',
    bypassCSP: true, // lets the driver's own waits evaluate; the page's policy is tested elsewhere
  });
  const page = await context.newPage();
  page.on('pageerror', (e) => say('PAGEERROR ' + e.message));
  page.on('requestfailed', (r) => { if (!r.url().includes('favicon')) say('REQUESTFAILED ' + r.url()); });

  await page.goto(url);
  if (new URL(page.url()).search !== '') throw new Error('token left in the address: ' + page.url());
  await page.waitForFunction(() => /\d\d:\d\d/.test(document.querySelector('.clock[data-clock="1"] .time')?.textContent || ''),
    null, { timeout: 10000 });
  const first = await timeText(page, 1);
  say('SEEN ' + first);
  await page.waitForFunction((t) => document.querySelector('.clock[data-clock="1"] .time').textContent !== t,
    first, { timeout: 10000 });
  say('CHANGED ' + (await timeText(page, 1)));
  say('STATUS ' + (await page.locator('#link').textContent()));

  await page.locator('#start').tap();
  await page.waitForFunction(() => document.querySelector('#toast')?.textContent === 'START', null, { timeout: 5000 });
  say('START');
  // One command waits for the tick at a time: a preset sent before it would take START's place.
  for (let i = 0; i < 50; i++) {
    const pending = await page.evaluate(async () => (await (await fetch('/api/v1/state')).json()).stopwatch.pending);
    if (pending === 'none') break;
    await page.waitForTimeout(100);
  }
  await page.locator('[data-preset="10"]').tap();
  await page.waitForFunction(() => document.querySelector('#minutes').value === '10', null, { timeout: 5000 });
  say('PRESET ' + (await page.locator('#minutes').inputValue()));
  await page.waitForTimeout(1800);   // the toast has gone
  if (shot) await page.screenshot({ path: shot, fullPage: true });
  say('DONE');
} finally {
  await browser.close();
}
