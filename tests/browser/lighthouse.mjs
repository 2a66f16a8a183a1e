// Scores pages with Lighthouse in the system's Chromium, mobile and desktop presets:
// node lighthouse.mjs URL COOKIE [URL COOKIE]...   (each page's cookie is sent with each of its
// requests, as the browser keeps it once the link has been opened)
// Prints "SCORE PATH PRESET performance accessibility best-practices" (0–100) per page and
// preset, "AUDIT …" for each audit that cost points, or "SKIP why" when Lighthouse cannot run.
import lighthouse from 'lighthouse';
import desktopConfig from 'lighthouse/core/config/desktop-config.js';
import * as chromeLauncher from 'chrome-launcher';

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
  for (const [url, cookie] of pages) {
    for (const preset of ['mobile', 'desktop']) {
      const flags = {
        port: chrome.port, output: 'json', logLevel: 'error',
        onlyCategories: ['performance', 'accessibility', 'best-practices'],
        extraHeaders: { Cookie: cookie },
      };
      const result = await lighthouse(url, flags, preset === 'desktop' ? desktopConfig : undefined);
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
} finally {
  await chrome.kill();
}
