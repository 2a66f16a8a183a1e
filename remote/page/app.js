'use strict';
// The remote page: state from the WebSocket, commands as POSTs. Texts from the program are put
// in with textContent only.
(function () {
  const $ = (sel) => document.querySelector(sel);
  const clocksBox = $('#clocks');
  const cards = [];
  let state = null;
  let toastTimer = 0;

  for (let n = 1; n <= 4; n++) {
    const node = $('#clock-card').content.firstElementChild.cloneNode(true);
    node.dataset.clock = String(n);
    node.hidden = true;
    node.querySelector('.gauge').setAttribute('aria-label', 'Zegar ' + n + ': jakość łącza');
    node.querySelector('.num').textContent = 'Nr ' + n;   // known now: the name after it stays put
    clocksBox.appendChild(node);
    cards.push(node);
  }

  function toast(text, error) {
    const t = $('#toast');
    t.textContent = text;
    t.className = error ? 'error' : '';
    t.hidden = false;
    clearTimeout(toastTimer);
    toastTimer = setTimeout(() => { t.hidden = true; }, error ? 5000 : 1500);
  }

  function setLink(kind, text) {
    const pill = $('#link');
    pill.className = 'pill ' + kind;
    pill.textContent = text;
  }

  function render() {
    if (!state) return;
    const conn = state.connection;
    if (conn.connected) setLink('on', conn.polling ? 'POŁĄCZONY' : 'POŁĄCZONY (serwis)');
    else setLink('off', 'ROZŁĄCZONY');

    let shown = 0;
    state.clocks.forEach((c, i) => {
      const card = cards[i];
      card.hidden = !c.active;
      if (!c.active) return;
      shown++;
      card.querySelector('.num').textContent = 'Nr ' + c.number;
      card.querySelector('.name').textContent = c.name;
      card.querySelector('.mode').textContent = c.mode === 'rtc' ? 'RTC' : 'Stoper';
      const time = card.querySelector('.time');
      time.textContent = c.time || '--:--';
      card.classList.toggle('highlight', c.highlight);
      card.classList.toggle('negative', c.negative);
      card.classList.toggle('dark', c.displayOff);
      const volt = card.querySelector('.volt');
      volt.textContent = 'U zas: ' + c.voltage;
      volt.classList.toggle('low', c.voltageLow);
      const gauge = card.querySelector('.gauge');
      gauge.classList.toggle('missed', c.linkMissed);
      gauge.setAttribute('aria-valuenow', String(c.link));
      gauge.querySelector('.fill').style.width = c.link + '%';
    });
    $('#noclocks').hidden = shown > 0;

    const sw = state.stopwatch;
    document.querySelectorAll('.target').forEach((b) => {
      b.setAttribute('aria-checked', String(b.dataset.target === sw.target));
    });
    for (const [id, value] of [['#minutes', sw.minutes], ['#seconds', sw.seconds]]) {
      const input = $(id);
      if (document.activeElement !== input) input.value = value;
    }
    document.querySelectorAll('#stopwatch button').forEach((b) => { b.disabled = !conn.connected; });
    renderPlan(state.plan);
  }

  // The plan's next three firings, as the window's status bar words them; a day other than
  // today is named before the time.
  function renderPlan(plan) {
    const box = $('#plan');
    const next = (plan && plan.next) || [];
    box.hidden = next.length === 0;
    const now = new Date();
    const today = [now.getFullYear(), String(now.getMonth() + 1).padStart(2, '0'), String(now.getDate()).padStart(2, '0')].join('-');
    const items = next.map((f) => {
      const li = document.createElement('li');
      const day = f.at.slice(0, 10);
      const when = (day === today ? '' : day.slice(8, 10) + '.' + day.slice(5, 7) + ' ') + f.time;
      li.textContent = when + (f.name ? ' ' + f.name : '') + ' — ' + f.action;
      return li;
    });
    $('#plan-next').replaceChildren(...items);
  }

  function connect() {
    KadrelLive.connect((s) => { state = s; render(); }, () => setLink('lost', 'Brak łączności z programem'), () => {
      setLink('lost', 'Brak dostępu');
      toast('Brak dostępu: otwórz stronę z adresu pokazanego w programie.', true);
    });
  }

  async function command(name, body, done) {
    try {
      const r = await fetch('/api/v1/stopwatch/' + name, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify(body || {}),
        credentials: 'same-origin',
        cache: 'no-store',
      });
      let reply = {};
      try { reply = await r.json(); } catch (_) { /* no body */ }
      if (!r.ok) toast(reply.message || ('Błąd ' + r.status), true);
      else if (done) toast(done, false);
    } catch (_) {
      toast('Brak łączności z programem', true);
    }
  }

  // The fields take digits only, as the window's fields do.
  for (const id of ['#minutes', '#seconds']) {
    const input = $(id);
    input.addEventListener('input', () => {
      const digits = input.value.replace(/[^0-9]/g, '').slice(0, 2);
      if (digits !== input.value) input.value = digits;
    });
    input.addEventListener('focus', () => input.select());
  }

  document.querySelectorAll('.target').forEach((b) => {
    b.addEventListener('click', () => command('target', { target: b.dataset.target }));
  });
  $('#start').addEventListener('click', () => command('start', {}, 'START'));
  $('#stop').addEventListener('click', () => command('stop', {}, 'STOP'));
  $('#zero').addEventListener('click', () => command('zero', {}, 'ZERUJ'));
  $('#set').addEventListener('click', () => {
    const m = $('#minutes'), s = $('#seconds');
    m.blur(); s.blur();
    command('set', { minutes: m.value, seconds: s.value }, 'USTAW');
  });
  document.querySelectorAll('[data-preset]').forEach((b) => {
    b.addEventListener('click', () => command('preset', { minutes: b.dataset.preset }, b.textContent));
  });

  connect();
})();
