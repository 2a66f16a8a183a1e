// The view page in the system's Chromium: it opens from its link (the key leaves the address),
// shows the active clocks' times live, has nothing to press, and its digits fill a 1920×1080
// screen and a phone either way round. node view.mjs URL SCREENSHOT
// Prints "SEEN", "CHANGED", "SIZE w×h digits px", or "FAIL why"; exits 0 when all held.
import { launchChromium } from './chromium.mjs';

const [url, shot] = process.argv.slice(2);
const say = (line) => process.stdout.write(line + '\n');
let failed = false;
const fail = (why) => { failed = true; say('FAIL ' + why); };
const first = '.tile[data-clock="1"] .digits';

const browser = await launchChromium();
try {
  const context = await browser.newContext({
    viewport: { width: 1920, height: 1080 }, locale: 'pl-PL',
    bypassCSP: true, // lets the driver's own waits evaluate; the page's policy is tested elsewhere
  });
  const page = await context.newPage();
  page.on('pageerror', (e) => fail('page error ' + e.message));
  const posts = [];
  page.on('request', (r) => { if (r.method() !== 'GET') posts.push(r.url()); });
  await page.goto(url);
  if (new URL(page.url()).search !== '') fail('key left in the address: ' + page.url());
  await page.waitForFunction((s) => /\d\d:\d\d/.test(document.querySelector(s)?.textContent || ''), first, { timeout: 10000 });
  const seen = await page.locator(first).textContent();
  say('SEEN ' + seen);
  await page.waitForFunction(([s, t]) => document.querySelector(s).textContent !== t, [first, seen], { timeout: 10000 });
  say('CHANGED ' + (await page.locator(first).textContent()));
  if ((await page.locator('button, input, a, form').count()) !== 0) fail('the view page has controls');

  for (const [w, h] of [[1920, 1080], [390, 844], [844, 390]]) {
    await page.setViewportSize({ width: w, height: h });
    await page.waitForTimeout(200);
    const m = await page.evaluate(() => {
      const tiles = [...document.querySelectorAll('.tile:not([hidden])')];
      const digits = tiles.map((t) => t.querySelector('.digits'));
      return {
        count: tiles.length,
        font: Math.min(...digits.map((d) => parseFloat(getComputedStyle(d).fontSize))),
        overflow: digits.some((d) => { const r = d.getBoundingClientRect(), p = d.parentElement.getBoundingClientRect();
          return r.width > p.width + 1 || r.height > p.height + 1; }),
        scrolls: document.documentElement.scrollHeight > innerHeight || document.documentElement.scrollWidth > innerWidth,
      };
    });
    say(`SIZE ${w}x${h} ${m.count} clocks, digits ${Math.round(m.font)} px`);
    if (m.overflow) fail(`digits outside their tile at ${w}×${h}`);
    if (m.scrolls) fail(`the page scrolls at ${w}×${h}`);
    // Across a hall: about a tenth of the screen's height per clock at least.
    if (m.font < Math.min(w, h) / 10) fail(`digits too small at ${w}×${h}: ${m.font}`);
  }
  if (posts.length) fail('the view page sent ' + posts.join(' '));
  await page.setViewportSize({ width: 1920, height: 1080 });
  await page.waitForTimeout(200);
  if (shot) await page.screenshot({ path: shot });
} finally {
  await browser.close();
}
say(failed ? 'FAILED' : 'DONE');
process.exit(failed ? 1 : 0);
