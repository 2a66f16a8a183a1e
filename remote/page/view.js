'use strict';
// The view page: the state from the WebSocket, shown; it sends nothing. With "campus=1" in its
// address it shows the site's other buses on the broker after its own clocks. Texts from the
// program and from the broker are put in with textContent only.
(function () {
  const board = document.getElementById('board');
  const tiles = [];
  const campus = new URLSearchParams(location.search).get('campus') === '1';
  let others = [];        // the other buses' tiles
  let ownName = '';       // this bus's name, once there are others to tell it from
  let lastState = null;
  let shownCount = -1;

  const newTile = () => document.getElementById('tile').content.firstElementChild.cloneNode(true);
  for (let n = 1; n <= 4; n++) {
    const node = newTile();
    node.dataset.clock = String(n);
    node.hidden = true;
    board.appendChild(node);
    tiles.push(node);
  }

  // Columns that give the digits the most room: a tile's text is about three times as wide
  // as it is tall.
  function layout(count) {
    const w = window.innerWidth, h = window.innerHeight;
    let best = 1, bestSize = 0;
    for (let cols = 1; cols <= Math.max(1, count); cols++) {
      const rows = Math.ceil(count / cols);
      const size = Math.min(w / cols / 3.2, (h / rows) * 0.8);
      if (size > bestSize) { best = cols; bestSize = size; }
    }
    board.style.setProperty('--cols', String(best));
  }

  function setLink(kind, text) {
    const pill = document.getElementById('link');
    pill.className = kind;
    pill.textContent = text;
  }

  function fill(tile, name, c) {
    tile.querySelector('.name').textContent = name;
    const time = c.time || '--:--';
    tile.querySelector('.digits').textContent = time;
    tile.classList.toggle('wide', time.length > 5);
    tile.classList.toggle('negative', c.negative === true);
    tile.classList.toggle('highlight', c.highlight === true);
    tile.classList.toggle('dark', c.displayOff === true);
    showEntry(tile, c.entry);
  }

  function relayout() {
    const count = board.querySelectorAll('.tile:not([hidden])').length;
    document.getElementById('noclocks').hidden = count > 0;
    if (count !== shownCount) {
      shownCount = count;
      layout(count);
    }
  }

  function render(state) {
    lastState = state;
    if (state.connection.connected) setLink('on', 'POŁĄCZONY');
    else setLink('off', 'ROZŁĄCZONY');
    state.clocks.forEach((c, i) => {
      const tile = tiles[i];
      tile.hidden = !c.active;
      if (c.active) fill(tile, ownName ? ownName + ' · ' + c.name : c.name, c);
    });
    relayout();
  }

  // After this bus's own clocks: a tile for each active clock of another bus, and one for a bus
  // that is off the broker.
  function renderCampus(doc) {
    const buses = doc.linked && Array.isArray(doc.buses) ? doc.buses : [];
    const name = buses.length ? String(doc.name || '') : '';
    others.forEach((t) => t.remove());
    others = [];
    for (const bus of buses) {
      const clocks = bus.online ? bus.clocks : [{ time: 'niedostępna' }];
      for (const c of clocks) {
        const tile = newTile();
        tile.dataset.bus = String(bus.bus);
        tile.classList.toggle('offline', !bus.online);
        fill(tile, bus.online ? bus.name + ' · ' + c.name : bus.name, bus.connected || !bus.online ? c : {});
        board.appendChild(tile);
        others.push(tile);
      }
    }
    if (name !== ownName) {
      ownName = name;
      if (lastState) render(lastState);
    }
    relayout();
  }

  async function pollCampus() {
    let wait = 1000;
    try {
      const r = await fetch('/api/v1/campus', { credentials: 'same-origin', cache: 'no-store' });
      if (r.ok) renderCampus(await r.json());
      else wait = 5000;
    } catch (_) {
      wait = 5000;
    }
    setTimeout(pollCampus, wait);
  }

  // The plan's entry in force for this clock ("Lekcja 3"), above the time; the digits give it
  // room only while there is one.
  function showEntry(tile, entry) {
    const line = tile.querySelector('.entry');
    line.textContent = entry || '';
    line.hidden = !entry;
    tile.classList.toggle('with-entry', !!entry);
  }

  window.addEventListener('resize', () => layout(Math.max(0, shownCount)));

  KadrelLive.connect(render, () => setLink('lost', 'Brak łączności z programem'),
    () => setLink('lost', 'Brak dostępu: otwórz adres podglądu z programu'));
  if (campus) pollCampus();
})();
