// The view page with the site's other buses (campus=1), in the system's Chromium: its link
// keeps the setting, and after this bus's own clocks come a tile for each active clock of
// another bus and one for a bus that is off the broker. node campus.mjs LINK SCREENSHOT
// Prints "ADDRESS …", one "TILE name | digits" line per tile shown, or "FAIL why".
import { launchChromium } from './chromium.mjs';

const [link, shot] = process.argv.slice(2);
const say = (line) => process.stdout.write(line + '\n');
let failed = false;
const fail = (why) => { failed = true; say('FAIL ' + why); };

const browser = await launchChromium();
try {
  const context = await browser.newContext({ viewport: { width: 1920, height: 1080 }, locale: 'pl-PL' });
  const page = await context.newPage();
  page.on('pageerror', (e) => fail('page error ' + e.message));
  page.on('console', (m) => { if (/Content Security Policy/i.test(m.text())) fail('policy: ' + m.text()); });
  const posts = [];
  page.on('request', (r) => { if (r.method() !== 'GET') posts.push(r.url()); });
  await page.goto(link);
  const after = new URL(page.url());
  say('ADDRESS ' + after.pathname + after.search);
  let tiles = [];
  for (let i = 0; i < 100; i++) {
    tiles = await page.evaluate(() => [...document.querySelectorAll('.tile:not([hidden])')].map((t) =>
      `${t.querySelector('.name').textContent} | ${t.querySelector('.digits').textContent}`));
    // This bus's own tiles come with the live state, the others' with the campus: both.
    const buses = new Set(tiles.filter((t) => /^\S.* · .* \| \d\d:\d\d$/.test(t)).map((t) => t.split(' · ')[0]));
    if (tiles.some((t) => t.includes('niedostępna')) && buses.size >= 2) break;
    await page.waitForTimeout(100);
  }
  for (const t of tiles) say('TILE ' + t);
  const scrolls = await page.evaluate(() => document.documentElement.scrollHeight > innerHeight);
  if (scrolls) fail('the page scrolls');
  if (posts.length) fail('the view page sent ' + posts.join(' '));
  if (shot) await page.screenshot({ path: shot });
} finally {
  await browser.close();
}
say(failed ? 'FAILED' : 'DONE');
process.exit(failed ? 1 : 0);
