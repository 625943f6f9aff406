// What a page may send, checked by the content script before a request leaves the page
// and again by the service worker before it goes to the host (which checks the same while
// it reads the message). Each check returns null when the request may go on, else the
// error { code, message } the page is answered with.
'use strict';

// eslint-disable-next-line no-unused-vars
var KSCAPI_SHAPE = (() => {
  const PAGE_TYPES = new Set(['create', 'call', 'release']);
  const MAX_ARGUMENTS = 16;
  const MAX_OP_LENGTH = 64;
  // The host's limit for one message.
  const MAX_BYTES = 16 * 1024 * 1024;
  // scheme://host[:port] of a page the control may serve; "null" and every opaque origin
  // (sandboxed frames, data: and file: documents) are not of this form.
  const TUPLE_ORIGIN = /^https?:\/\/[^/?#@\s\\]+$/;

  function error(code, message) {
    return { code, message };
  }

  // The request reduced to the fields of its type, or an error for a shape the protocol
  // does not allow.
  function request(data) {
    if (!PAGE_TYPES.has(data.type)) return { error: error('unknown_type', 'pages may create, call and release') };
    const out = { id: data.id, type: data.type };
    if (data.type === 'create') return { request: out };
    if (!Number.isSafeInteger(data.object)) return { error: error('bad_message', 'object must be an integer') };
    out.object = data.object;
    if (data.type === 'release') return { request: out };
    if (typeof data.op !== 'string' || data.op.length > MAX_OP_LENGTH)
      return { error: error('bad_message', 'op must be a short string') };
    out.op = data.op;
    const args = data.args === undefined ? [] : data.args;
    if (!Array.isArray(args)) return { error: error('bad_arguments', 'args must be an array') };
    if (args.length > MAX_ARGUMENTS)
      return { error: error('bad_arguments', `more than ${MAX_ARGUMENTS} arguments`) };
    for (let i = 0; i < args.length; i++) {
      const a = args[i];
      if (a !== null && typeof a !== 'string' && !Number.isSafeInteger(a))
        return { error: error('bad_arguments', 'arguments must be strings, integers or null') };
    }
    out.args = Array.from(args);
    return { request: out };
  }

  // Null when `message` serialised fits in one message to the host.
  function size(message) {
    const bytes = new TextEncoder().encode(JSON.stringify(message)).length;
    return bytes <= MAX_BYTES ? null : error('too_large', `message of ${bytes} bytes is above the limit of ${MAX_BYTES}`);
  }

  // The origin of the frame that sent a message: the browser's `sender.origin` when it
  // gives one, else the `self.origin` the content script read in the frame; either must
  // be a tuple origin equal to the origin of the sender's URL. A sandboxed frame's origin
  // is opaque even though its URL is its host page's, so it never borrows that origin.
  function origin(sender, claimed) {
    const reported = typeof sender.origin === 'string' ? sender.origin : claimed;
    if (typeof reported !== 'string' || !TUPLE_ORIGIN.test(reported))
      return { error: error('opaque_origin', 'the frame has no origin the control can serve') };
    let fromUrl = 'null';
    try {
      fromUrl = new URL(sender.url).origin;
    } catch (e) {
      // an unreadable address has no origin
    }
    if (reported !== claimed || reported !== fromUrl)
      return { error: error('origin_mismatch', 'the frame\'s origin is not that of its address') };
    return { origin: reported };
  }

  return { request, size, origin };
})();
