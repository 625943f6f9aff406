// End-to-end test of the browser bridge: headless Chromium with the unpacked extension,
// pages on local origins, kscapi-bridge started by the browser through the manifest that
// `kscapi bridge install` writes, dialogs answered by the scripted backend. Signatures
// are checked with the openssl command line and digests with Node's crypto.
//
// Usage: node bridge_e2e.js SOURCE_DIR BUILD_DIR MODULES_DIR
'use strict';

const { execFileSync, spawnSync } = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');

const [sourceDir, buildDir, modulesDir] = process.argv.slice(2);
const { chromium } = require(path.join(modulesDir, 'node_modules', 'playwright-core'));

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
function lastCount() {
  const counts = logLines().filter((l) => 'objects' in l);
  return counts.length ? counts[counts.length - 1].objects : 0;
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

async function main() {
  if (!fs.existsSync(CHROMIUM)) {
    console.log(`FAIL ${CHROMIUM} is missing (scripts/setup installs the chromium package)`);
    process.exit(1);
  }
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
    const file = pages[new URL(req.url, 'http://x').pathname];
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

    // A second tab of the allowed origin has objects of its own.
    const tabD = await context.newPage();
    await tabD.goto(local + '/');
    const other = await tabD.evaluate(async ({ object }) => {
      const mine = await Kestrune.create();
      return {
        foreign: await rawRequest({ type: 'call', object, op: 'GetCertSubjectCN', args: [] }),
        cn: await mine.GetCertSubjectCN(),
        object: await mine._object,
      };
    }, { object: a.objects[0] });
    check('a tab cannot call another tab\'s object', other.foreign.error &&
      other.foreign.error.code === 'no_object', other.foreign);
    check('a tab\'s own object is independent', other.cn === '' && !a.objects.includes(other.object), other);
    check('the host holds three objects', lastCount() === 3, lastCount());

    await tabA.close();
    check('closing a tab releases its objects', await waitFor(() => lastCount() === 1, 20), lastCount());
    await tabD.close();
    check('the host\'s object count returns to zero', await waitFor(() => lastCount() === 0, 20), lastCount());

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
