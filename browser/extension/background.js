// Service worker: one native messaging connection to kscapi-bridge for all pages. Each
// page instance (one content-script port) is an owner of its own objects; the origin of
// every request is the one the browser reports for the sending frame, never a value the
// page wrote. When a page goes away its port closes and its objects are released.
'use strict';

const api = typeof browser !== 'undefined' ? browser : chrome;
const HOST = 'com.kestrune.kscapi';
const PAGE_TYPES = new Set(['create', 'call', 'release']);

let nativePort = null;
let nextId = 1;
let nextOwner = 1;
// native request id -> { port, pageId }
const waiting = new Map();
// native request id -> array of chunk pieces
const chunks = new Map();

function deliver(id, message) {
  const request = waiting.get(id);
  if (!request) return;
  waiting.delete(id);
  message.id = request.pageId;
  try {
    request.port.postMessage(message);
  } catch (e) {
    // The page went away meanwhile; its objects are released with its port.
  }
}

function onNativeMessage(message) {
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
  if (nativePort) return nativePort;
  nativePort = api.runtime.connectNative(HOST);
  nativePort.onMessage.addListener(onNativeMessage);
  nativePort.onDisconnect.addListener(() => {
    const why = (api.runtime.lastError && api.runtime.lastError.message) || 'host exited';
    nativePort = null;
    chunks.clear();
    for (const id of Array.from(waiting.keys()))
      deliver(id, { error: { code: 'host_unavailable', message: why } });
  });
  return nativePort;
}

function originOf(sender) {
  if (sender.origin) return sender.origin;
  try {
    return new URL(sender.url).origin;
  } catch (e) {
    return 'null';
  }
}

api.runtime.onConnect.addListener((port) => {
  if (port.name !== 'kscapi' || !port.sender) return;
  const owner = 'page-' + nextOwner++;
  const origin = originOf(port.sender);
  port.onMessage.addListener((request) => {
    if (!request || !Number.isSafeInteger(request.id)) return;
    if (!PAGE_TYPES.has(request.type)) {
      port.postMessage({
        id: request.id,
        error: { code: 'unknown_type', message: 'pages may create, call and release' },
      });
      return;
    }
    const id = nextId++;
    waiting.set(id, { port, pageId: request.id });
    const message = { id, type: request.type, origin, owner };
    if (request.type !== 'create') message.object = request.object;
    if (request.type === 'call') {
      message.op = request.op;
      message.args = request.args;
    }
    try {
      native().postMessage(message);
    } catch (e) {
      deliver(id, { error: { code: 'host_unavailable', message: String(e) } });
    }
  });
  port.onDisconnect.addListener(() => {
    for (const [id, request] of waiting) if (request.port === port) waiting.delete(id);
    if (nativePort) nativePort.postMessage({ id: nextId++, type: 'releaseOwner', owner });
  });
});
