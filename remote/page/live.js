'use strict';
// The live state the pages share: the state document from the WebSocket, the connection opened
// again after a loss with a growing wait. A refused upgrade reaches a page as a bare close: the
// state's 401 tells an ended session (a new key, the program started again) from a lost network.
window.KadrelLive = {
  // onState(state) at each document, onLost() when the program cannot be reached (it is tried
  // again), onRefused() when the key no longer opens the page (it is not).
  connect(onState, onLost, onRefused) {
    let retries = 0;
    const refused = async () => {
      try {
        const r = await fetch('/api/v1/state', { credentials: 'same-origin', cache: 'no-store' });
        return r.status === 401;
      } catch (_) {
        return false;
      }
    };
    const open = () => {
      const proto = location.protocol === 'https:' ? 'wss:' : 'ws:';
      const socket = new WebSocket(proto + '//' + location.host + '/api/v1/live');
      socket.onopen = () => { retries = 0; };
      socket.onmessage = (e) => {
        let state;
        try { state = JSON.parse(e.data); } catch (_) { return; }
        onState(state);
      };
      socket.onclose = async (e) => {
        if (e.code === 4401 || await refused()) {
          onRefused();
          return;
        }
        onLost();
        retries++;
        setTimeout(open, Math.min(5000, 300 * retries));
      };
    };
    open();
  },
};
