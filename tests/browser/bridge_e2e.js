// End-to-end test of the browser bridge: headless Chromium with the unpacked extension,
// pages on local origins, kscapi-bridge started by the browser through the manifest that
// `kscapi bridge install` writes, dialogs answered by the scripted backend. Signatures
// are checked with the openssl command line and digests with Node's crypto; the sample
// site (examples/page/) signs a form and its own server verifies it.
//
// Usage: node bridge_e2e.js SOURCE_DIR BUILD_DIR MODULES_DIR
'use strict';

const { execFileSync, spawn, spawnSync } = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const vm = require('vm');

const [sourceDir, buildDir, modulesDir] = process.argv.slice(2);
const { chromium } = require(path.join(modulesDir, 'node_modules', 'playwright-core'));
const { reportCallLatency } = require('./call_latency');

const CHROMIUM = '/usr/bin/chromium';
const EXTENSION_ID = 'jelgkoacpkcodhcjecmjolbfilfknojp';
const kscapi = path.join(buildDir, 'kscapi');

let failures = 0;
function check(name, ok, detail) {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${name}${ok || detail === undefined ? '' : ': ' + JSON.stringify(detail)}`);
  if (!ok) failures++;
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kscapi-e2e-'));
const home = path.join(work, 'home');
const env = {
  ...process.env,
  HOME: home,
  XDG_CONFIG_HOME: path.join(home, '.config'),
  KSCAPI_HOME: path.join(work, 'kscapi'),
  KSCAPI_BRIDGE_UI: 'script',
  KSCAPI_BRIDGE_ANSWERS: path.join(work, 'answers'),
  KSCAPI_BRIDGE_LOG: path.join(work, 'log'),
  // A dialog stays open until the test appends its answer.
  KSCAPI_BRIDGE_ANSWER_WAIT_MS: '20000',
};
delete env.DISPLAY;
delete env.WAYLAND_DISPLAY;
fs.mkdirSync(home, { recursive: true });
fs.writeFileSync(env.KSCAPI_BRIDGE_ANSWERS, '');
fs.writeFileSync(env.KSCAPI_BRIDGE_LOG, '');
const pfxFolder = path.join(work, 'pfx');
fs.mkdirSync(pfxFolder);
fs.copyFileSync(path.join(sourceDir, 'tests/fixtures/sign/good.pfx'), path.join(pfxFolder, 'good.pfx'));

function answer(line) {
  fs.appendFileSync(env.KSCAPI_BRIDGE_ANSWERS, line + '\n');
}
function logLines() {
  return fs.readFileSync(env.KSCAPI_BRIDGE_LOG, 'utf8').split('\n').filter(Boolean).map((l) => JSON.parse(l));
}
function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch (e) {
    return false;
  }
}
// The objects held by the hosts still running (one per page), each counting for itself.
function lastCount() {
  const perHost = new Map();
  for (const l of logLines()) if ('objects' in l) perHost.set(l.host, l.objects);
  let sum = 0;
  for (const [pid, objects] of perHost) if (alive(pid)) sum += objects;
  return sum;
}
function cli(...args) {
  return execFileSync(kscapi, args, { env, encoding: 'utf8' });
}
function verifyPkcs7(name, base64, content) {
  const der = path.join(work, name + '.der');
  const out = path.join(work, name + '.out');
  fs.writeFileSync(der, Buffer.from(base64, 'base64'));
  const r = spawnSync('openssl', ['cms', '-verify', '-binary', '-inform', 'DER', '-in', der,
    '-noverify', '-out', out], { encoding: 'utf8' });
  return r.status === 0 && fs.readFileSync(out).equals(content);
}
async function waitFor(condition, seconds) {
  for (let i = 0; i < seconds * 10 && !condition(); i++) await new Promise((r) => setTimeout(r, 100));
  return condition();
}

// The extension's checks of what a page sends, run in node on senders a browser may give:
// Firefox gives no sender.origin, a sandboxed frame has an opaque origin at its host
// page's address.
function checkShapes() {
  const context = { URL, TextEncoder };
  vm.runInNewContext(fs.readFileSync(path.join(sourceDir, 'browser/extension/shape.js'), 'utf8'), context);
  const shape = context.KSCAPI_SHAPE;
  const codeOf = (r) => (r.error ? r.error.code : 'ok');
  const a = 'https://a.example';
  const origins = [
    [{ origin: a, url: a + '/x' }, a, 'ok'],
    [{ url: a + '/x' }, a, 'ok'],
    [{ url: a + '/x' }, 'null', 'opaque_origin'],
    [{ origin: 'null', url: a + '/x' }, 'null', 'opaque_origin'],
    [{ url: a + '/x' }, undefined, 'opaque_origin'],
    [{ url: 'data:text/html,x' }, 'null', 'opaque_origin'],
    [{ url: 'file:///tmp/x.html' }, 'file://', 'opaque_origin'],
    [{ origin: a, url: a + '/' }, 'null', 'origin_mismatch'],
    [{ url: a + '/x' }, 'https://b.example', 'origin_mismatch'],
    [{ origin: 'https://b.example', url: a + '/' }, 'https://b.example', 'origin_mismatch'],
    [{ origin: a, url: 'about:srcdoc' }, a, 'origin_mismatch'],
  ];
  for (const [sender, claimed, code] of origins)
    check(`origin of ${JSON.stringify(sender)} claiming ${claimed}: ${code}`, codeOf(shape.origin(sender, claimed)) === code,
      shape.origin(sender, claimed));
  const call = (args, more) => Object.assign({ id: 1, type: 'call', object: 1, op: 'Hash', args }, more);
  const requests = [
    ['create', { id: 1, type: 'create' }, 'ok'],
    ['a call', call(['a', 3, null]), 'ok'],
    ['releaseOwner', { id: 1, type: 'releaseOwner', owner: 'page-1' }, 'unknown_type'],
    ['object as text', call([], { object: '1' }), 'bad_message'],
    ['op not a string', call([], { op: 5 }), 'bad_message'],
    ['op too long', call([], { op: 'x'.repeat(65) }), 'bad_message'],
    ['args not an array', call({ 0: 'a', length: 1 }), 'bad_arguments'],
    ['17 arguments', call(Array(17).fill(null)), 'bad_arguments'],
    ['an object argument', call([{}]), 'bad_arguments'],
    ['an array argument', call([[]]), 'bad_arguments'],
    ['a boolean argument', call([true]), 'bad_arguments'],
    ['a fraction', call([1.5]), 'bad_arguments'],
    ['an integer beyond 2^53', call([2 ** 53]), 'bad_arguments'],
  ];
  for (const [name, request, code] of requests)
    check(`request ${name}: ${code}`, codeOf(shape.request(request)) === code, shape.request(request));
  const kept = shape.request({ id: 1, type: 'create', origin: 'https://evil.example', owner: 'page-1' });
  check('only the fields of the type go on', JSON.stringify(kept.request) === '{"id":1,"type":"create"}', kept);
  check('a message above 16 MiB is too_large',
    codeOf({ error: shape.size(call(['\u00e9'.repeat(8 * 1024 * 1024 + 1)])) }) === 'too_large' &&
    shape.size(call(['a'.repeat(1024)])) === null);
}

// The sample site: its server (examples/page/serve) serves the page on a port of its own,
// a new origin the user allows once; the page selects the signer imported earlier, signs
// its form detached and attached with the SHA-256 bit, and the server verifies each with
// openssl cms -verify and names the digest.
async function signThroughSamplePage(context) {
  const server = spawn(path.join(sourceDir, 'examples/page/serve'), ['--port', '0'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  try {
    const url = await new Promise((resolve, reject) => {
      let out = '';
      server.stdout.on('data', (data) => {
        out += data;
        const found = out.match(/serving (\S+)/);
        if (found) resolve(found[1]);
      });
      server.on('exit', (code) => reject(new Error(`examples/page/serve ended with ${code}`)));
    });
    answer('OriginConsent ok {"answer":"once"}');
    answer('SignConsent ok {"further":true}');
    const tab = await context.newPage();
    const posted = [];
    tab.on('request', (request) => { if (request.method() === 'POST') posted.push(request.postData()); });
    await tab.goto(url);
    const text = (id) => tab.evaluate((id) => document.getElementById(id).textContent, id);
    await tab.fill('#filter', 'S_C=TW,S_O=Kestrune Test,S_CN=Sign Good');
    await tab.click('#select');
    await tab.waitForFunction(() => document.getElementById('signer').textContent !== 'none' ||
      document.getElementById('result').textContent !== '', null, { timeout: 30000 });
    const signer = await text('signer');
    check('the sample page selects the signer', signer.startsWith('Sign Good'), [signer, await text('result')]);
    for (const shape of ['detached', 'attached']) {
      await tab.evaluate(() => { document.getElementById('result').textContent = ''; });
      await tab.check(`input[value=${shape}]`);
      await tab.click('#sign');
      await tab.waitForFunction(() => document.getElementById('result').textContent !== '', null, { timeout: 30000 });
      const result = await text('result');
      check(`the sample server accepts the ${shape} signature`, result.startsWith('Server: ok ('), result);
      check(`the ${shape} signature's digest is sha256`, result.startsWith('Server: ok (sha256,'), result);
    }
    await tab.close();
    // The server is no rubber stamp: the detached signature with another text is refused.
    const forged = Object.assign(JSON.parse(posted[0]), { text: 'another text' });
    const reply = await fetch(url + 'verify', { method: 'POST', body: JSON.stringify(forged) }).then((r) => r.json());
    check('the sample server refuses the signature for another text', reply.ok === false && forged.detached, reply);
  } finally {
    server.kill();
  }
}

async function main() {
  if (!fs.existsSync(CHROMIUM)) {
    console.log(`FAIL ${CHROMIUM} is missing (scripts/setup installs the chromium package)`);
    process.exit(1);
  }
  checkShapes();
  cli('register');
  cli('bridge', 'develop', 'on');
  const installed = JSON.parse(cli('bridge', 'install', '--browser', 'chromium'));
  check('bridge install writes the Chromium manifest',
    installed.installed === path.join(home, '.config/chromium/NativeMessagingHosts/com.kestrune.kscapi.json'),
    installed);

  const pages = {
    '/': path.join(sourceDir, 'browser/test/index.html'),
    '/kscapi.js': path.join(sourceDir, 'browser/kscapi.js'),
  };
  const server = http.createServer((req, res) => {
    const at = new URL(req.url, 'http://x').pathname;
    if (at === '/sandboxed') {
      // The test page again, in a frame whose origin is opaque though its address is ours.
      res.writeHead(200, { 'content-type': 'text/html' });
      res.end('<!doctype html><iframe sandbox="allow-scripts" src="/"></iframe>');
      return;
    }
    const file = pages[at];
    if (!file) { res.writeHead(404).end(); return; }
    res.writeHead(200, { 'content-type': file.endsWith('.js') ? 'text/javascript' : 'text/html' });
    res.end(fs.readFileSync(file));
  });
  await new Promise((r) => server.listen(0, r));
  const port = server.address().port;
  const local = `http://localhost:${port}`;
  const loopback = `http://127.0.0.1:${port}`;
  const insecure = `http://kscapi.test:${port}`;

  const extension = path.join(sourceDir, 'browser/extension');
  const context = await chromium.launchPersistentContext(path.join(home, '.config/chromium'), {
    executablePath: CHROMIUM,
    headless: false,
    ignoreDefaultArgs: ['--disable-extensions'],
    args: ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
      `--disable-extensions-except=${extension}`, `--load-extension=${extension}`,
      `--host-resolver-rules=MAP kscapi.test 127.0.0.1`],
    env,
  });
  try {
    let [worker] = context.serviceWorkers();
    if (!worker) worker = await context.waitForEvent('serviceworker', { timeout: 30000 });
    check('the extension has its fixed ID', new URL(worker.url()).host === EXTENSION_ID, worker.url());

    // A local page with development mode on: the user allows it for good.
    answer('OriginConsent ok {"answer":"always"}');
    answer(`PfxFileDialog ok ${JSON.stringify({ browse: path.join(pfxFolder, 'good.pfx'), password: 'secret' })}`);
    answer('SignConsent ok {"further":true}');
    const tabA = await context.newPage();
    await tabA.goto(local + '/');
    const text = '簽章 bridge';
    const bigText = 'KSCapi '.repeat(120000);
    const a = await tabA.evaluate(async ({ folder, text, bigText }) => {
      const out = { available: Kestrune.available(), operations: Kestrune.operations.length };
      const one = await Kestrune.create();
      const two = await Kestrune.create();
      window.one = one;
      out.objects = [await one._object, await two._object];
      out.versions = [await one.GetVersion(), await two.GetVersion()];
      out.hash = await one.Hash('abc', 3);
      out.imported = await one.ImportPfxToIE(folder, 'good.pfx', '', 1, 0);
      out.selected = await one.SelectSigner('S_C=TW,S_O=Kestrune Test,S_CN=Sign Good', 0, 0);
      out.cn = [await one.GetCertSubjectCN(), await two.GetCertSubjectCN()];
      out.signature = await one.SignPkcs7(text, 0);
      out.bigSignature = await one.SignPkcs7(bigText, 0);
      out.signError = await one.GetErrorCode();
      try { await one.NoSuchOperation(); } catch (e) { out.missing = e.constructor.name; }
      return out;
    }, { folder: pfxFolder, text, bigText });
    check('the page library sees the extension', a.available && a.operations === 37, a);
    check('two objects', a.objects.length === 2 && a.objects[0] !== a.objects[1], a.objects);
    const version = cli('--version').trim().split(' ')[1];
    check('GetVersion on both', a.versions[0] === version && a.versions[1] === version, a.versions);
    const sha256 = crypto.createHash('sha256').update(Buffer.from('abc', 'utf16le')).digest('hex').toUpperCase();
    check('Hash SHA-256 matches node crypto', a.hash === sha256, a.hash);
    check('ImportPfxToIE through its dialog', a.imported === 0, a.imported);
    check('SelectSigner with a filter', a.selected === 0 && a.cn[0] === 'Sign Good', a);
    check('the second object has no signer', a.cn[1] === '', a.cn);
    check('SignPkcs7 verifies with openssl cms -verify',
      verifyPkcs7('small', a.signature, Buffer.from(text, 'utf16le')), a.signature.slice(0, 40));
    check('a signature above 1 MiB arrives in chunks and verifies',
      a.bigSignature.length > 1024 * 1024 && verifyPkcs7('big', a.bigSignature, Buffer.from(bigText, 'utf16le')),
      { length: a.bigSignature.length, error: a.signError });
    const dialogs = logLines().filter((l) => l.dialog);
    const consent = dialogs.find((d) => d.dialog === 'OriginConsent');
    check('the consent dialog names the origin', consent && consent.origin === local &&
      consent.text.includes(local), consent);
    const pfxDialog = dialogs.find((d) => d.dialog === 'PfxFileDialog');
    check('a page\'s dialog shows its origin in the caption',
      pfxDialog && pfxDialog.title.endsWith(' - ' + local), pfxDialog);

    // An origin the user denies gets no object, and is not asked again this session.
    answer('OriginConsent cancel');
    const tabB = await context.newPage();
    await tabB.goto(loopback + '/');
    const denied = await tabB.evaluate(async ({ local, object }) => ({
      first: await createOrError(),
      second: await createOrError(),
      claimed: await rawRequest({ type: 'create', origin: local, owner: 'page-1' }),
      foreign: await rawRequest({ type: 'call', object, op: 'GetVersion', args: [], origin: local }),
      hostOnly: await rawRequest({ type: 'releaseOwner', owner: 'page-1' }),
    }), { local, object: a.objects[0] });
    check('a denied origin gets no object', denied.first.error === 'origin_denied', denied.first);
    check('denied again without asking', denied.second.error === 'origin_denied' &&
      logLines().filter((l) => l.dialog === 'OriginConsent' && l.origin === loopback).length === 1, denied.second);
    check('an origin the page claims is ignored', denied.claimed.error &&
      denied.claimed.error.code === 'origin_denied', denied.claimed);
    check('another origin\'s object is out of reach', denied.foreign.error &&
      denied.foreign.error.code === 'no_object', denied.foreign);
    check('pages cannot send host-only messages', denied.hostOnly.error &&
      denied.hostOnly.error.code === 'unknown_type', denied.hostOnly);

    // Plain http: on a host that is not local is refused whatever the user would say.
    const tabC = await context.newPage();
    await tabC.goto(insecure + '/');
    const refused = await tabC.evaluate(() => createOrError());
    check('a non-local http: origin is refused', refused.error === 'origin_refused', refused);
    check('no consent is asked for it',
      !logLines().some((l) => l.dialog === 'OriginConsent' && l.origin === insecure));

    // A second tab of the allowed origin has objects of its own, in a host of its own: the
    // numbers of the first tab's objects name nothing there.
    const tabD = await context.newPage();
    await tabD.goto(local + '/');
    const other = await tabD.evaluate(async ({ object }) => {
      const mine = await Kestrune.create();
      return {
        foreign: await rawRequest({ type: 'call', object, op: 'GetCertSubjectCN', args: [] }),
        cn: await mine.GetCertSubjectCN(),
        object: await mine._object,
      };
    }, { object: a.objects[1] });
    check('a tab cannot call another tab\'s object', other.foreign.error &&
      other.foreign.error.code === 'no_object', other.foreign);
    check('a tab\'s own object is independent', other.cn === '' && other.object === 1, other);
    check('the host holds three objects', lastCount() === 3, lastCount());

    await tabA.close();
    check('closing a tab releases its objects', await waitFor(() => lastCount() === 1, 20), lastCount());
    await tabD.close();
    check('the host\'s object count returns to zero', await waitFor(() => lastCount() === 0, 20), lastCount());

    // Pages of the allowed origin that break the rules, each refused with its code.
    const sandboxTab = await context.newPage();
    await sandboxTab.goto(local + '/sandboxed');
    await waitFor(() => sandboxTab.frames().length > 1, 20);
    const frame = sandboxTab.frames().find((f) => f !== sandboxTab.mainFrame());
    await frame.waitForFunction(() => typeof createOrError === 'function');
    const sandboxed = await frame.evaluate(() => createOrError());
    check('a sandboxed frame does not borrow its page\'s allowed origin',
      sandboxed.error === 'opaque_origin', sandboxed);
    const hostileTab = await context.newPage();
    await hostileTab.goto(local + '/');
    const hostile = await hostileTab.evaluate(async () => {
      const capi = await Kestrune.create();
      const object = await capi._object;
      const call = (args, more) => rawRequest(Object.assign({ type: 'call', object, op: 'Hash', args }, more));
      const out = {};
      const tries = {
        emptyObjects: call(Array(100000).fill({})),
        seventeen: call(Array(17).fill(null)),
        nested: call([[[['abc']]], 3]),
        tooLarge: call(['x'.repeat(17 * 1024 * 1024), 3]),
        opObject: call([], { op: { name: 'Hash' } }),
        releaseOwner: rawRequest({ type: 'releaseOwner', owner: 'page-1' }),
      };
      for (const [name, reply] of Object.entries(tries)) out[name] = (await reply).error;
      out.after = await capi.Hash('abc', 3);
      return out;
    });
    const hostileCodes = {
      emptyObjects: 'bad_arguments', seventeen: 'bad_arguments', nested: 'bad_arguments',
      tooLarge: 'too_large', opObject: 'bad_message', releaseOwner: 'unknown_type',
    };
    for (const [name, code] of Object.entries(hostileCodes))
      check(`a page's ${name} request is refused with ${code}`, hostile[name] && hostile[name].code === code, hostile[name]);
    check('the page\'s object still works after them', hostile.after === sha256, hostile.after);

    // One host per page: a dialog waiting in one tab leaves the others answered. The
    // first call of a new page starts its host.
    const waitingTab = await context.newPage();
    await waitingTab.goto(local + '/');
    const freeTab = await context.newPage();
    await freeTab.goto(local + '/');
    const latency = await freeTab.evaluate(async () => {
      let t0 = performance.now();
      window.capi = await Kestrune.create();
      const first = performance.now() - t0;
      t0 = performance.now();
      await Kestrune.create();
      return { first, second: performance.now() - t0 };
    });
    console.log(`     create in a new page (host start included): ${latency.first.toFixed(1)} ms; ` +
      `a second create: ${latency.second.toFixed(1)} ms`);
    await reportCallLatency(freeTab, 'Chromium');
    const opened = () => logLines().filter((l) => l.dialog === 'PfxFileDialog').length;
    const openedBefore = opened();
    const blocked = waitingTab.evaluate(async (folder) => {
      const capi = await Kestrune.create();
      return capi.ImportPfxToIE(folder, 'good.pfx', '', 1, 0);
    }, pfxFolder);
    check('the waiting tab\'s dialog is open', await waitFor(() => opened() > openedBefore, 20));
    const quick = await freeTab.evaluate(async () => {
      const t0 = performance.now();
      const v = await capi.GetVersion();
      return { v, ms: performance.now() - t0 };
    });
    check('another tab\'s GetVersion answers within 100 ms meanwhile', quick.v === version && quick.ms < 100, quick);
    answer('PfxFileDialog cancel');
    const cancelled = await blocked;
    check('the waiting tab is answered once its dialog is', typeof cancelled === 'number' && cancelled !== 0, cancelled);
    for (const tab of [sandboxTab, hostileTab, waitingTab, freeTab]) await tab.close();
    check('every page\'s host ends with its page', await waitFor(() => lastCount() === 0, 20), lastCount());

    await signThroughSamplePage(context);

    const origins = cli('bridge', 'origins').split('\n').filter(Boolean).map((l) => JSON.parse(l).origin);
    check('the origin allowed for good is listed', origins.length === 1 && origins[0] === local, origins);
  } finally {
    await context.close();
    server.close();
  }
  const removed = JSON.parse(cli('bridge', 'uninstall', '--browser', 'chromium'));
  check('bridge uninstall removes the manifest', removed.existed === true &&
    !fs.existsSync(removed.removed), removed);
  if (failures === 0) fs.rmSync(work, { recursive: true, force: true });
  else console.log('kept ' + work);
  console.log(failures === 0 ? 'all passed' : `${failures} failed`);
  process.exit(failures === 0 ? 0 : 1);
}

main().catch((e) => {
  console.log('FAIL ' + (e && e.stack ? e.stack : e));
  console.log('kept ' + work);
  process.exit(1);
});
