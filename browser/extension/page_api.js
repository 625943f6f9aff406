// Runs in the page's own world at document start: defines the KSCapi class a page
// script uses. Every operation returns a Promise of its result; a failing operation
// resolves as the control reports it (read GetErrorCode), while a refused origin, a
// missing host or a malformed call rejects with an Error whose `code` says why.
'use strict';

(() => {
  if (window.KSCapi) return;
  // Operation names and their number of parameters, in the interface's order.
  const OPERATIONS = [
    ['GetVersion', 0], ['GetErrorCode', 0], ['GetErrorMsg', 0], ['GetCapiErrorCode', 0],
    ['GetCapiErrorMsg', 0], ['GetMacAddress', 0], ['GetWindowsSystemName', 0],
    ['RegReadHKCU', 1], ['RegWriteHKCUInt', 2], ['RegWriteHKCUStr', 2], ['Hash', 2],
    ['HashFile', 2], ['SetProviderName', 1], ['CreatePKCS10', 3], ['AcceptPKCS7', 1],
    ['PresetPasswdLengthRange', 2], ['ImportPfxToIE', 5], ['SetDefaultPfxFileName', 1],
    ['ExportPfxFromIE', 5], ['ExportMobileFromPfx', 5], ['ExportMobileFromIE', 4],
    ['GetExportedPfxFilePath', 0], ['GetExportedPfxFileName', 0], ['ChangePfxPasswd', 5],
    ['SelectSigner', 3], ['GetSignerPfxFilePath', 0], ['GetSignerPfxFileName', 0],
    ['SignPkcs1', 2], ['SignPkcs7', 2], ['GetCertB64', 0], ['GetCertSubject', 0],
    ['GetCertSubjectCN', 0], ['GetCertIssuer', 0], ['GetCertSerial', 0],
    ['GetCertNotBefore', 0], ['GetCertNotAfter', 0], ['GetCertFinger', 0],
  ];

  const post = window.postMessage.bind(window);
  const pending = new Map();
  let nextId = 1;

  window.addEventListener('message', (event) => {
    if (event.source !== window) return;
    const data = event.data;
    if (!data || data.__kscapi !== 'reply' || !pending.has(data.id)) return;
    const { resolve, reject } = pending.get(data.id);
    pending.delete(data.id);
    if (data.error) {
      const error = new Error(data.error.message || data.error.code);
      error.code = data.error.code;
      reject(error);
    } else {
      resolve(data);
    }
  });

  function send(request) {
    return new Promise((resolve, reject) => {
      const id = nextId++;
      pending.set(id, { resolve, reject });
      post(Object.assign({ __kscapi: 'request', id }, request), '*');
    });
  }

  class KSCapi {
    constructor() {
      // The object is made in the native host; calls wait for it.
      const created = send({ type: 'create' }).then((reply) => reply.object);
      created.catch(() => {});
      Object.defineProperty(this, 'ready', { value: created.then(() => this) });
      Object.defineProperty(this, '_object', { value: created });
    }

    // Releases the object now instead of when the page goes away.
    async release() {
      const object = await this._object;
      await send({ type: 'release', object });
    }
  }

  for (const [name, count] of OPERATIONS) {
    Object.defineProperty(KSCapi.prototype, name, {
      value: async function (...args) {
        const object = await this._object;
        args.length = count;
        const reply = await send({
          type: 'call', object, op: name,
          args: args.map((a) => (a === undefined ? null : a)),
        });
        return reply.ret;
      },
    });
  }
  Object.defineProperty(KSCapi, 'operations', {
    value: Object.freeze(OPERATIONS.map(([name]) => name)),
  });
  Object.defineProperty(window, 'KSCapi', { value: KSCapi });
})();
