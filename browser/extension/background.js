// Service worker: one kscapi-bridge per page. Each page instance (one content-script
// port) gets its own native messaging connection, so its own host process: a dialog one
// page waits on blocks only that page, and a host that fails ends only that page's
// objects. The origin of every request is the one the browser reports for the sending
// frame, never a value the page wrote. When a page goes away its port closes, its host's
// input ends and the host releases the page's objects and exits.
'use strict';

if (typeof KSCAPI_SHAPE === 'undefined') importScripts('shape.js');

const api = typeof browser !== 'undefined' ? browser : chrome;
const HOST = 'com.kestrune.kscapi';

let nextOwner = 1;

function connectPage(port) {
  const owner = 'page-' + nextOwner++;
  let host = null;
  let nextId = 1;
  // native request id -> the page's request id
  const waiting = new Map();
  // native request id -> chunk pieces
  const chunks = new Map();

  function deliver(id, message) {
    if (!waiting.has(id)) return;
    message.id = waiting.get(id);
    waiting.delete(id);
    try {
      port.postMessage(message);
    } catch (e) {
      // The page went away meanwhile; its host goes with its port.
    }
  }

  function onHostMessage(message) {
    if (message && Number.isInteger(message.chunks)) {
      let pieces = chunks.get(message.id);
      if (!pieces) chunks.set(message.id, (pieces = []));
      pieces[message.chunk] = message.data;
      if (pieces.filter((p) => typeof p === 'string').length < message.chunks) return;
      chunks.delete(message.id);
      let whole;
      try {
        whole = JSON.parse(pieces.join(''));
      } catch (e) {
        whole = { error: { code: 'bad_reply', message: 'chunks do not join' } };
      }
      deliver(message.id, whole);
      return;
    }
    if (message && Number.isInteger(message.id)) deliver(message.id, message);
  }

  function native() {
    if (host) return host;
    host = api.runtime.connectNative(HOST);
    host.onMessage.addListener(onHostMessage);
    host.onDisconnect.addListener(() => {
      const why = (api.runtime.lastError && api.runtime.lastError.message) || 'host exited';
      host = null;
      chunks.clear();
      for (const id of Array.from(waiting.keys()))
        deliver(id, { error: { code: 'host_unavailable', message: why } });
    });
    return host;
  }

  port.onMessage.addListener((data) => {
    if (!data || !Number.isSafeInteger(data.id)) return;
    const from = KSCAPI_SHAPE.origin(port.sender, data.origin);
    const shaped = from.error ? from : KSCAPI_SHAPE.request(data);
    if (shaped.error) {
      port.postMessage({ id: data.id, error: shaped.error });
      return;
    }
    const id = nextId++;
    const message = Object.assign(shaped.request, { id, origin: from.origin, owner });
    const tooLarge = KSCAPI_SHAPE.size(message);
    if (tooLarge) {
      port.postMessage({ id: data.id, error: tooLarge });
      return;
    }
    waiting.set(id, data.id);
    try {
      native().postMessage(message);
    } catch (e) {
      deliver(id, { error: { code: 'host_unavailable', message: String(e) } });
    }
  });
  port.onDisconnect.addListener(() => {
    waiting.clear();
    if (host) host.disconnect();
    host = null;
  });
}

api.runtime.onConnect.addListener((port) => {
  if (port.name === 'kscapi' && port.sender) connectPage(port);
});
