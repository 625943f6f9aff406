// Content script (isolated world): carries a page's requests to the service worker and
// the replies back. It forwards only the fields a request of its type has, once their
// shape is checked, and adds this frame's own origin as the frame sees it (`self.origin`:
// "null" in a sandboxed frame); the service worker holds it against what the browser
// reports of the sender.
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
    const shaped = KSCAPI_SHAPE.request(data);
    if (shaped.error) {
      reply({ id: data.id, error: shaped.error });
      return;
    }
    const request = Object.assign(shaped.request, { origin: self.origin });
    const tooLarge = KSCAPI_SHAPE.size(request);
    if (tooLarge) {
      reply({ id: data.id, error: tooLarge });
      return;
    }
    if (!port) connect();
    pending.add(data.id);
    port.postMessage(request);
  });
})();
