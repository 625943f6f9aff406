// Content script (isolated world): carries a page's requests to the service worker and
// the replies back. It forwards only the request's own fields; the origin the host checks
// is the one the browser reports for this frame, added by the service worker.
'use strict';

(() => {
  const api = typeof browser !== 'undefined' ? browser : chrome;
  let port = null;
  const pending = new Set();

  function reply(message) {
    window.postMessage(Object.assign({ __kscapi: 'reply' }, message), '*');
  }

  function connect() {
    port = api.runtime.connect({ name: 'kscapi' });
    port.onMessage.addListener((message) => {
      pending.delete(message.id);
      reply(message);
    });
    port.onDisconnect.addListener(() => {
      port = null;
      for (const id of pending)
        reply({ id, error: { code: 'bridge_gone', message: 'the extension stopped' } });
      pending.clear();
    });
  }

  window.addEventListener('message', (event) => {
    if (event.source !== window) return;
    const data = event.data;
    if (!data || data.__kscapi !== 'request' || !Number.isSafeInteger(data.id)) return;
    if (!port) connect();
    pending.add(data.id);
    port.postMessage({
      id: data.id,
      type: data.type,
      object: data.object,
      op: data.op,
      args: data.args,
    });
  });
})();
