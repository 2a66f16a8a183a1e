// The operator page's layout in the system's Chromium: on a 390×844 phone the controls lie within
// the first screen, the clocks below as rows; at 1024×768 the clocks stay above the controls in
// one row. node layout.mjs URL SCREENSHOT
// Prints "BOX name x y w h" per control, "ROWS …", "WIDE …", or "FAIL why"; exits 0 when all held.
import { launchChromium } from './chromium.mjs';

const [url, shot] = process.argv.slice(2);
const say = (line) => process.stdout.write(line + '\n');
let failed = false;
const fail = (why) => { failed = true; say('FAIL ' + why); };

const browser = await launchChromium();
try {
  const phone = await browser.newContext({
    viewport: { width: 390, height: 844 }, deviceScaleFactor: 2, isMobile: true, hasTouch: true, locale: 'pl-PL',
  });
  const page = await phone.newPage();
  page.on('pageerror', (e) => fail('page error ' + e.message));
  await page.goto(url);
  await page.waitForSelector('.clock:not([hidden])', { timeout: 10000 });
  const controls = {
    W: '[data-target="W"]', 1: '[data-target="1"]', 2: '[data-target="2"]', 3: '[data-target="3"]',
    4: '[data-target="4"]', START: '#start', STOP: '#stop', minutes: '#minutes', seconds: '#seconds',
    USTAW: '#set', ZERUJ: '#zero',
  };
  let lowest = 0;
  for (const [name, sel] of Object.entries(controls)) {
    const b = await page.locator(sel).boundingBox();
    say(`BOX ${name} ${Math.round(b.x)} ${Math.round(b.y)} ${Math.round(b.width)} ${Math.round(b.height)}`);
    if (b.x < 0 || b.y < 0 || b.x + b.width > 390 || b.y + b.height > 844) fail(`${name} outside the first screen`);
    if (name !== 'minutes' && name !== 'seconds' && b.height < 44) fail(`${name} lower than 44 px`);
    lowest = Math.max(lowest, b.y + b.height);
  }
  const sideways = await page.evaluate(() => document.documentElement.scrollWidth > window.innerWidth);
  if (sideways) fail('the phone page scrolls sideways');
  const cards = await page.locator('.clock:not([hidden])').evaluateAll((els) =>
    els.map((e) => { const r = e.getBoundingClientRect(); return [r.x, r.y, r.width, r.height]; }));
  for (const [x, y, w, h] of cards) {
    if (y < lowest) fail('a clock above the controls on the phone');
    if (w < 300 || h > 90) fail(`a clock not a compact row: ${w}×${h}`);
  }
  say(`ROWS ${cards.length} from ${Math.round(cards[0]?.[1] ?? 0)} controls end ${Math.round(lowest)}`);
  if (shot) await page.screenshot({ path: shot });
  await phone.close();

  const desk = await browser.newContext({ viewport: { width: 1024, height: 768 }, locale: 'pl-PL' });
  const wide = await desk.newPage();
  await wide.goto(url);
  await wide.waitForSelector('.clock:not([hidden])', { timeout: 10000 });
  await wide.waitForTimeout(500);
  const boxes = await wide.locator('.clock:not([hidden])').evaluateAll((els) =>
    els.map((e) => { const r = e.getBoundingClientRect(); return [r.x, r.y, r.width, r.height]; }));
  const sw = await wide.locator('#stopwatch').boundingBox();
  const tops = new Set(boxes.map((b) => Math.round(b[1])));
  say(`WIDE ${boxes.length} clocks in ${tops.size} row(s), controls at ${Math.round(sw.y)}`);
  if (tops.size !== 1) fail('the clocks are not one row at 1024×768');
  for (const [x, y, w, h] of boxes) if (y + h > sw.y) fail('a clock below the controls at 1024×768');
  const overflow = await wide.locator('.clock:not([hidden]) .time').evaluateAll((els) => els.some((e) => e.scrollWidth > e.clientWidth + 1));
  if (overflow) fail('a time wider than its card at 1024×768');
  await desk.close();
} finally {
  await browser.close();
}
say(failed ? 'FAILED' : 'DONE');
process.exit(failed ? 1 : 0);
