// The overlay in the system's Chromium, under the page's own security policy: it opens from its
// link (the key leaves the address, the settings stay), shows the chosen clock's time alone at
// the size and colour asked on a transparent background, follows it live, a chroma-key colour
// fills the background, settings with markup or script in them do nothing, and it sends
// nothing. node overlay.mjs LINK KEYED-LINK HOSTILE-LINK SCREENSHOT
// Prints "SEEN", "CHANGED", "STYLE …" lines, or "FAIL why"; exits 0 when all held.
import { launchChromium } from './chromium.mjs';

const [link, keyed, hostile, shot] = process.argv.slice(2);
const say = (line) => process.stdout.write(line + '\n');
let failed = false;
const fail = (why) => { failed = true; say('FAIL ' + why); };

const browser = await launchChromium();
try {
  const context = await browser.newContext({ viewport: { width: 1280, height: 720 }, locale: 'pl-PL' });
  const page = await context.newPage();
  page.on('pageerror', (e) => fail('page error ' + e.message));
  page.on('console', (m) => { if (/Content Security Policy/i.test(m.text())) fail('policy: ' + m.text()); });
  const sent = [];
  page.on('request', (r) => {
    if (r.method() !== 'GET' || new URL(r.url()).origin !== new URL(link).origin) sent.push(r.method() + ' ' + r.url());
  });
  const look = () => page.evaluate(() => {
    const t = document.getElementById('time');
    const s = getComputedStyle(t);
    return { text: t.textContent, color: s.color, size: s.fontSize, html: getComputedStyle(document.documentElement).backgroundColor,
      body: getComputedStyle(document.body).backgroundColor, scripts: document.scripts.length, shown: document.body.innerText.trim(),
      pwned: window.pwned === true };
  });
  const until = async (test, what) => {
    for (let i = 0; i < 100; i++) {
      const v = await look();
      if (test(v)) return v;
      await page.waitForTimeout(100);
    }
    fail('never ' + what);
    return look();
  };

  await page.goto(link);
  const after = new URL(page.url());
  if (after.searchParams.has('viewer')) fail('key left in the address: ' + page.url());
  say('ADDRESS ' + after.pathname + after.search);
  const first = await until((v) => /^\d\d:\d\d$/.test(v.text), 'a time');
  say('SEEN ' + first.text);
  const next = await until((v) => v.text !== first.text, 'a change');
  say('CHANGED ' + next.text);
  say(`STYLE ${next.color} ${next.size} ${next.html} ${next.body}`);
  if (next.shown !== next.text) fail('more than the time on the overlay: ' + next.shown);
  if ((await page.locator('button, input, a, form').count()) !== 0) fail('the overlay has controls');
  if (shot) await page.screenshot({ path: shot, omitBackground: true });

  await page.goto(keyed);
  const k = await until((v) => /^\d\d:\d\d$/.test(v.text), 'a time with the chroma key');
  say(`KEYED ${k.text} ${k.color} ${k.html}`);

  await page.goto(hostile);
  const h = await until((v) => v.text.length > 0, 'a time with hostile settings');
  say(`HOSTILE ${h.text} ${h.color} ${h.size} ${h.html} scripts=${h.scripts} pwned=${h.pwned}`);
  if (h.pwned || h.scripts !== 2) fail('a setting ran or added script');
  if (sent.length) fail('the overlay sent ' + sent.join(' '));
} finally {
  await browser.close();
}
say(failed ? 'FAILED' : 'DONE');
process.exit(failed ? 1 : 0);
