// Kestrune page library: feature detection and a clear error for pages that use the
// KSCapi control through the browser extension.
//
//   <script src="kscapi.js"></script>
//   if (!Kestrune.available()) show('Install the Kestrune extension first');
//   const capi = await Kestrune.create();   // rejects when the site is not allowed
//   const signature = await capi.SignPkcs7(text, Kestrune.SIGN_SHA256 | Kestrune.SIGN_DETACHED);
//   if (signature === '') show(await capi.GetErrorMsg());
//
// Kestrune.available()   true when the extension gives this page the KSCapi class
// Kestrune.create()      a Promise of a ready KSCapi object; rejects with an Error whose
//                        code is 'extension_missing', 'origin_refused' (the site is not
//                        https:, or local without development mode), 'origin_denied'
//                        (the user said no), 'host_unavailable' (kscapi-bridge is not
//                        installed) or 'create_failed'
// Kestrune.operations    the operation names
// Kestrune.SIGN_DETACHED and the other named flag bits and error codes below; one set per
//                        operation family, since a bit means different things to
//                        different operations (0x100 is Base64 output for SignPkcs1 and
//                        "no certificate" for SignPkcs7). docs/operations.md lists them.
// Objects are released when the page goes away, or earlier with `await capi.release()`.
'use strict';

(function (global) {
  function missing() {
    const error = new Error(
      'The Kestrune extension is not installed or not enabled for this page.');
    error.code = 'extension_missing';
    return error;
  }


  // Flag bits, by the operations that read them. Combine with |.
  const FLAGS = {
    // The certificate filter: the low bits of dwFlags of SelectSigner, ExportPfxFromIE and
    // ExportMobileFromIE. The mode is a two-bit field (0 to 3), not a set of bits.
    FILTER_MODE_AUTO: 0x0,          // the list dialog only when two or more match
    FILTER_MODE_LIST: 0x1,          // the list dialog always
    FILTER_MODE_BEST: 0x2,          // no dialog: the best match by the order bits below
    FILTER_CHECK_VALIDITY: 0x4,     // refuse certificates outside their validity now
    FILTER_MATCH_ISSUER: 0x8,       // filter-driven matching of subject and issuer items
    FILTER_EARLIEST_START: 0x20,    // best match: earliest start of validity
    FILTER_LATEST_END: 0x40,        // best match: latest end of validity
    FILTER_EARLIEST_END: 0x80,      // best match: earliest end of validity
    // dwKeyUsage: bits a certificate's key usage must all carry (0: no test).
    KEY_USAGE_DIGITAL_SIGNATURE: 0x80,
    KEY_USAGE_NON_REPUDIATION: 0x40,
    KEY_USAGE_KEY_ENCIPHERMENT: 0x20,
    KEY_USAGE_DATA_ENCIPHERMENT: 0x10,
    KEY_USAGE_KEY_AGREEMENT: 0x08,
    // Hash and HashFile: the low three bits choose the digest (other values: SHA-1).
    HASH_MD5: 0x1,
    HASH_SHA1: 0x2,
    HASH_SHA256: 0x3,
    HASH_SHA512: 0x4,
    HASH_ANSI: 0x10,                // Hash: the text's ANSI code page bytes, not UTF-16LE
    // SignPkcs1. Digest precedence: SHA512, then SHA256, then MD5, then SHA1_OF_MD5.
    PKCS1_BASE64: 0x100,            // Base64 instead of upper-case hex
    PKCS1_ANSI: 0x800,              // sign the ANSI code page bytes, not UTF-16LE
    PKCS1_MD5: 0x1000,
    PKCS1_SHA1_OF_MD5: 0x2000,
    PKCS1_SHA256: 0x4000,
    PKCS1_SHA512: 0x8000,
    // SignPkcs7. Digest precedence: SHA512, then SHA256, then MD5 (default SHA-1).
    SIGN_NO_CERT: 0x100,            // no certificate in the message
    SIGN_CHAIN: 0x200,              // the signer's chain (wins over SIGN_NO_CERT)
    SIGN_DETACHED: 0x400,           // the content is not carried in the message
    SIGN_ANSI: 0x800,               // sign the ANSI code page bytes, not UTF-16LE
    SIGN_MD5: 0x1000,
    SIGN_TIME: 0x2000,              // a signing-time attribute
    SIGN_SHA256: 0x4000,
    SIGN_SHA512: 0x8000,
    // CreatePKCS10 genKeyFlags.
    REQUEST_EXPORTABLE: 0x1,        // the private key may be exported later
    REQUEST_USER_PROTECTED: 0x2,    // each use of the key asks the user
    REQUEST_SHA256: 0x100,          // the request signed sha256WithRSAEncryption
    REQUEST_SHA512: 0x200,          // the request signed sha512WithRSAEncryption (wins)
    // ImportPfxToIE dwFlags.
    PFX_IMPORT_EXPORTABLE: 0x1,
    PFX_IMPORT_USER_PROTECTED: 0x2,
    // ExportPfxFromIE dwFlags (beside the filter bits).
    PFX_EXPORT_DELETE: 0x1000,      // remove the certificate from "MY" once the file is written
  };

  // The numbers GetErrorCode answers that pages most often test.
  const ERRORS = {
    ERROR_SUCCESS: 0,
    ERROR_FILE_READ: 1002,
    ERROR_SIGNER_FILE: 1102,        // the signer's PFX file is gone or no longer loads
    ERROR_BAD_PARAMETER: 5005,
    ERROR_CERT_NOT_FOUND: 5010,
    ERROR_CERT_EXPIRED: 5011,
    ERROR_CERT_NOT_YET_VALID: 5012,
    ERROR_CERT_USAGE: 5017,
    ERROR_SIGN_FAILED: 5061,
    ERROR_NO_SIGNER: 5067,
    ERROR_CANCELLED: 5070,
    ERROR_NO_CHAIN: 5202,
    ERROR_NO_PRIVATE_KEY: 5204,
    ERROR_KEY_NOT_EXPORTABLE: 5205,
    ERROR_PFX_FORMAT: 5207,
    ERROR_PFX_PASSWORD: 5208,
    ERROR_FILE_NOT_FOUND: 5902,
    ERROR_ACCESS_DENIED: 5906,
  };

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
  for (const [name, value] of Object.entries(Object.assign({}, FLAGS, ERRORS)))
    Object.defineProperty(Kestrune, name, { value, enumerable: true });
  global.Kestrune = Kestrune;
})(window);
