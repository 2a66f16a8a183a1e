'use strict';
// The view page: the state from the WebSocket, shown; it sends nothing. Texts from the program
// are put in with textContent only.
(function () {
  const board = document.getElementById('board');
  const tiles = [];
  let retries = 0;
  let shownCount = -1;

  for (let n = 1; n <= 4; n++) {
    const node = document.getElementById('tile').content.firstElementChild.cloneNode(true);
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

  function render(state) {
    if (state.connection.connected) setLink('on', 'POŁĄCZONY');
    else setLink('off', 'ROZŁĄCZONY');
    let count = 0;
    state.clocks.forEach((c, i) => {
      const tile = tiles[i];
      tile.hidden = !c.active;
      if (!c.active) return;
      count++;
      tile.querySelector('.name').textContent = c.name;
      const time = c.time || '--:--';
      tile.querySelector('.digits').textContent = time;
      tile.classList.toggle('wide', time.length > 5);
      tile.classList.toggle('negative', c.negative);
      tile.classList.toggle('highlight', c.highlight);
      tile.classList.toggle('dark', c.displayOff);
      showEntry(tile, c.entry);
    });
    document.getElementById('noclocks').hidden = count > 0;
    if (count !== shownCount) {
      shownCount = count;
      layout(count);
    }
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

  async function refused() {
    try {
      const r = await fetch('/api/v1/state', { credentials: 'same-origin', cache: 'no-store' });
      return r.status === 401;
    } catch (_) {
      return false;
    }
  }

  function connect() {
    const proto = location.protocol === 'https:' ? 'wss:' : 'ws:';
    const socket = new WebSocket(proto + '//' + location.host + '/api/v1/live');
    socket.onopen = () => { retries = 0; };
    socket.onmessage = (e) => {
      let state;
      try { state = JSON.parse(e.data); } catch (_) { return; }
      render(state);
    };
    socket.onclose = async (e) => {
      // A refused upgrade reaches the page as a bare close: the state's 401 tells an ended
      // session from a lost network.
      if (e.code === 4401 || await refused()) {
        setLink('lost', 'Brak dostępu: otwórz adres podglądu z programu');
        return;
      }
      setLink('lost', 'Brak łączności z programem');
      retries++;
      setTimeout(connect, Math.min(5000, 300 * retries));
    };
  }

  connect();
})();
