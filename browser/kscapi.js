// Kestrune page library: feature detection and a clear error for pages that use the
// KSCapi control through the browser extension.
//
//   <script src="kscapi.js"></script>
//   if (!Kestrune.available()) show('Install the Kestrune extension first');
//   const capi = await Kestrune.create();   // rejects when the site is not allowed
//   const signature = await capi.SignPkcs7(text, 0);
//   if (signature === '') show(await capi.GetErrorMsg());
//
// Kestrune.available()   true when the extension gives this page the KSCapi class
// Kestrune.create()      a Promise of a ready KSCapi object; rejects with an Error whose
//                        code is 'extension_missing', 'origin_refused' (the site is not
//                        https:, or local without development mode), 'origin_denied'
//                        (the user said no), 'host_unavailable' (kscapi-bridge is not
//                        installed) or 'create_failed'
// Kestrune.operations    the operation names
// Objects are released when the page goes away, or earlier with `await capi.release()`.
'use strict';

(function (global) {
  function missing() {
    const error = new Error(
      'The Kestrune extension is not installed or not enabled for this page.');
    error.code = 'extension_missing';
    return error;
  }

  const Kestrune = {
    available() {
      return typeof global.KSCapi === 'function';
    },
    async create() {
      if (!Kestrune.available()) throw missing();
      return new global.KSCapi().ready;
    },
    get operations() {
      return Kestrune.available() ? global.KSCapi.operations : [];
    },
  };
  global.Kestrune = Kestrune;
})(window);
