'use strict';
// The overlay for a stream: the chosen clock's time alone. Its address sets the clock
// (clock=1..4), the digits' height in pixels (size=10..2000; as large as the window allows
// without it), their colour (color=RRGGBB or RGB) and a chroma-key background (key=RRGGBB or
// RGB; transparent without it). A setting that is not one of these is left at its default:
// nothing of the address is ever put into the page but a checked number or colour. It sends
// nothing.
(function () {
  const params = new URLSearchParams(location.search);
  const pick = (name, pattern) => {
    const v = params.get(name);
    return v !== null && pattern.test(v) ? v : null;
  };
  const hex = /^([0-9a-fA-F]{3}|[0-9a-fA-F]{6})$/;
  const clock = Number(pick('clock', /^[1-4]$/) || 1);
  const size = Number(pick('size', /^[0-9]{2,4}$/) || 0);
  const color = pick('color', hex);
  const key = pick('key', hex);
  const root = document.documentElement.style;
  if (color) root.setProperty('--fg', '#' + color);
  if (key) root.setProperty('--bg', '#' + key);
  if (size >= 10 && size <= 2000) root.setProperty('--size', size + 'px');

  // Empty until the first state: a placeholder of another width would move the time as it
  // came, a layout shift on the stream.
  const time = document.getElementById('time');
  KadrelLive.connect((state) => {
    const c = state.clocks[clock - 1];
    time.textContent = c && c.active && c.time ? c.time : '--:--';
    document.body.classList.remove('stale');
  }, () => document.body.classList.add('stale'), () => {
    time.textContent = '';
  });
})();
