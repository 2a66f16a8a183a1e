// Scores pages with Lighthouse in the system's Chromium, mobile and desktop presets:
// node lighthouse.mjs URL LINK [URL LINK]...   (the page's link, with its key, is opened first in
// the same browser, so that the page is scored as a visitor sees it: with the cookie the link left)
// Prints "SCORE PATH PRESET performance accessibility best-practices" (0–100) per page and
// preset, "AUDIT …" for each audit that cost points, or "SKIP why" when Lighthouse cannot run.
import lighthouse from 'lighthouse';
import desktopConfig from 'lighthouse/core/config/desktop-config.js';
import * as chromeLauncher from 'chrome-launcher';
import puppeteer from 'puppeteer-core';

const args = process.argv.slice(2);
const pages = [];
for (let i = 0; i + 1 < args.length; i += 2) pages.push([args[i], args[i + 1]]);
const say = (line) => process.stdout.write(line + '\n');

let chrome;
try {
  chrome = await chromeLauncher.launch({
    chromePath: process.env.CHROME_PATH || '/usr/bin/chromium',
    chromeFlags: ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
  });
} catch (e) {
  say('SKIP Chromium did not start for Lighthouse: ' + String(e.message || e).split('\n')[0]);
  process.exit(0);
}
try {
  const browser = await puppeteer.connect({ browserURL: `http://127.0.0.1:${chrome.port}` });
  for (const [url, link] of pages) {
    for (const preset of ['mobile', 'desktop']) {
      const page = await browser.newPage();
      await page.goto(link);   // the cookie, as the link leaves it
      const flags = {
        port: chrome.port, output: 'json', logLevel: 'error',
        onlyCategories: ['performance', 'accessibility', 'best-practices'],
        disableStorageReset: true,   // keeps that cookie
      };
      const result = await lighthouse(url, flags, preset === 'desktop' ? desktopConfig : undefined, page);
      await page.close();
      const lhr = result.lhr;
      if (lhr.runtimeError) {
        say(`SKIP Lighthouse could not load ${url}: ${lhr.runtimeError.message}`);
        continue;
      }
      const score = (id) => Math.round((lhr.categories[id].score ?? 0) * 100);
      say(`SCORE ${new URL(url).pathname} ${preset} ${score('performance')} ${score('accessibility')} ${score('best-practices')}`);
      for (const cat of ['performance', 'accessibility', 'best-practices']) {
        for (const ref of lhr.categories[cat].auditRefs) {
          const a = lhr.audits[ref.id];
          if (ref.weight > 0 && a.score !== null && a.score < 1)
            say(`AUDIT ${preset} ${cat} ${ref.id} ${a.score} ${a.displayValue || ''}`);
        }
      }
      const cls = lhr.audits['cumulative-layout-shift']?.numericValue;
      say(`CLS ${new URL(url).pathname} ${preset} ${cls}`);
    }
  }
  await browser.disconnect();
} finally {
  await chrome.kill();
}
