// @ts-check
// The sample page's script: select a signer, sign the form's text as PKCS#7 with SHA-256
// (attached or detached) and send it to the server, which verifies it with openssl.
// tsc --noEmit checks this file against browser/kscapi.d.ts.
'use strict';

/** @type {Promise<KSCapiObject> | null} */
let control = null;

/** @param {string} id */
function element(id) {
  const found = document.getElementById(id);
  if (!found) throw new Error('missing element #' + id);
  return found;
}

/** @param {string} text @param {string} [kind] */
function show(text, kind) {
  const result = element('result');
  result.textContent = text;
  result.className = kind || '';
}

// One control object for the page; a refused origin or a missing extension rejects.
function capi() {
  if (!control) {
    control = Kestrune.create();
    control.catch(() => { control = null; });
  }
  return control;
}

/** @param {KSCapiObject} object */
async function failure(object) {
  return `${await object.GetErrorCode()} ${await object.GetErrorMsg()}`;
}

async function selectSigner() {
  const object = await capi();
  const filter = /** @type {HTMLInputElement} */ (element('filter')).value;
  const code = await object.SelectSigner(filter, Kestrune.FILTER_MODE_AUTO, 0);
  if (code !== Kestrune.ERROR_SUCCESS) {
    element('signer').textContent = 'none';
    show(code === Kestrune.ERROR_CANCELLED ? 'No signer chosen.' : 'SelectSigner: ' + await failure(object), 'failed');
    return;
  }
  element('signer').textContent =
    `${await object.GetCertSubjectCN()} (serial ${await object.GetCertSerial()}, until ${await object.GetCertNotAfter()})`;
  show('');
}

async function signAndSend() {
  const object = await capi();
  const text = /** @type {HTMLTextAreaElement} */ (element('text')).value;
  const detached = /** @type {HTMLInputElement} */ (element('detached')).checked;
  const flags = Kestrune.SIGN_SHA256 | (detached ? Kestrune.SIGN_DETACHED : 0);
  const signature = await object.SignPkcs7(text, flags);
  if (signature === '') {
    show('SignPkcs7: ' + await failure(object), 'failed');
    return;
  }
  const reply = await fetch('verify', {
    method: 'POST',
    headers: { 'content-type': 'application/json' },
    body: JSON.stringify({ text, signature, detached }),
  });
  /** @type {{ok: boolean, digest?: string, signer?: string, reason?: string}} */
  const answer = await reply.json();
  show(answer.ok ? `Server: ok (${answer.digest}, signed by ${answer.signer})` : `Server: failed (${answer.reason})`,
    answer.ok ? 'ok' : 'failed');
}

/** @param {string} id @param {() => Promise<void>} action */
function onSubmit(id, action) {
  element(id).addEventListener('submit', (event) => {
    event.preventDefault();
    action().catch((/** @type {KestruneError} */ e) => show(`${e.code || 'error'}: ${e.message}`, 'failed'));
  });
}

element('status').textContent = Kestrune.available()
  ? 'The Kestrune extension is present.'
  : 'Install the Kestrune extension to sign (see the page developers\' guide).';
onSubmit('signer-form', selectSigner);
onSubmit('sign-form', signAndSend);
