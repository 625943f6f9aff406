// End-to-end test against the installed package only: a fresh HOME, no `kscapi register`,
// no `bridge install`, the extension as the package installed it. Chromium (headless,
// through Debian's /usr/bin/chromium, which loads every folder of
// /usr/share/chromium/extensions) or Firefox ESR over WebDriver BiDi (the extension
// installed from the package's folder: Firefox keeps unsigned extensions to temporary
// installs). The page imports a PFX, selects its certificate and signs; the signature is
// checked with `openssl cms -verify`.
//
// Usage: node installed_e2e.js chromium|firefox SOURCE_DIR MODULES_DIR
'use strict';

const { execFileSync, spawnSync } = require('child_process');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');

const [browserName, sourceDir, modulesDir] = process.argv.slice(2);
const { reportCallLatency } = require(path.join(sourceDir, 'tests', 'browser', 'call_latency.js'));
const SHARE = '/usr/share/kestrune';
const CHROMIUM_ID = 'jelgkoacpkcodhcjecmjolbfilfknojp';
const started = Date.now();

let failures = 0;
function check(name, ok, detail) {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${browserName}: ${name}${ok || detail === undefined ? '' : ': ' + JSON.stringify(detail)}`);
  if (!ok) failures++;
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), `kscapi-installed-${browserName}-`));
const home = path.join(work, 'home');
const env = { ...process.env, HOME: home, KSCAPI_BRIDGE_UI: 'script',
  KSCAPI_BRIDGE_ANSWERS: path.join(work, 'answers'), KSCAPI_BRIDGE_LOG: path.join(work, 'log') };
for (const name of ['XDG_CONFIG_HOME', 'XDG_DATA_HOME', 'KSCAPI_HOME', 'KSCAPI_MACHINE_HIVE',
  'KSCAPI_PROVIDERS_DIR', 'DISPLAY', 'WAYLAND_DISPLAY']) delete env[name];
fs.mkdirSync(home);
fs.writeFileSync(env.KSCAPI_BRIDGE_ANSWERS, '');
fs.writeFileSync(env.KSCAPI_BRIDGE_LOG, '');
const pfxFolder = path.join(work, 'pfx');
fs.mkdirSync(pfxFolder);
fs.copyFileSync(path.join(sourceDir, 'tests/fixtures/sign/good.pfx'), path.join(pfxFolder, 'good.pfx'));

const answer = (line) => fs.appendFileSync(env.KSCAPI_BRIDGE_ANSWERS, line + '\n');
const logLines = () => fs.readFileSync(env.KSCAPI_BRIDGE_LOG, 'utf8').split('\n').filter(Boolean)
  .map((l) => JSON.parse(l));

function serve() {
  const pages = { '/': path.join(sourceDir, 'browser/test/index.html'), '/kscapi.js': path.join(SHARE, 'kscapi.js') };
  const server = http.createServer((req, res) => {
    const file = pages[new URL(req.url, 'http://x').pathname];
    if (!file) { res.writeHead(404).end(); return; }
    res.writeHead(200, { 'content-type': file.endsWith('.js') ? 'text/javascript' : 'text/html' });
    res.end(fs.readFileSync(file));
  });
  return new Promise((resolve) => server.listen(0, () => resolve(server)));
}

// Opens the page on `page` (a Playwright or Puppeteer page), imports, selects and signs.
async function signOnPage(page, origin) {
  const text = '已安裝 package';
  answer('OriginConsent ok {"answer":"always"}');
  answer(`PfxFileDialog ok ${JSON.stringify({ browse: path.join(pfxFolder, 'good.pfx'), password: 'secret' })}`);
  answer('SignConsent ok {}');
  await page.goto(origin + '/');
  await page.waitForFunction(() => window.Kestrune && Kestrune.available(), { timeout: 30000 });
  const r = await page.evaluate(async ({ folder, text }) => {
    const capi = await Kestrune.create();
    const out = { imported: await capi.ImportPfxToIE(folder, 'good.pfx', '', 1, 0) };
    out.selected = await capi.SelectSigner('S_C=TW,S_O=Kestrune Test,S_CN=Sign Good', 0, 0);
    out.signature = await capi.SignPkcs7(text, 0);
    out.error = await capi.GetErrorCode();
    return out;
  }, { folder: pfxFolder, text });
  check('ImportPfxToIE', r.imported === 0, r);
  check('SelectSigner', r.selected === 0, r);
  const der = path.join(work, 'sig.der');
  fs.writeFileSync(der, Buffer.from(r.signature || '', 'base64'));
  const v = spawnSync('openssl', ['cms', '-verify', '-binary', '-inform', 'DER', '-in', der, '-noverify',
    '-out', path.join(work, 'content')], { encoding: 'utf8' });
  check('SignPkcs7 verifies with openssl cms -verify', v.status === 0 &&
    fs.readFileSync(path.join(work, 'content')).equals(Buffer.from(text, 'utf16le')), { error: r.error, stderr: v.stderr });
  const consent = logLines().find((l) => l.dialog === 'OriginConsent');
  check('the consent dialog named the page', consent && consent.origin === origin, consent);
  console.log(`${browserName}: from start to a verified signature ${((Date.now() - started) / 1000).toFixed(1)} s`);
  await reportCallLatency(page, browserName);
}

async function chromium(origin) {
  const { chromium } = require(path.join(modulesDir, 'node_modules', 'playwright-core'));
  const context = await chromium.launchPersistentContext(path.join(home, '.config/chromium'), {
    executablePath: '/usr/bin/chromium', headless: false, env,
    ignoreDefaultArgs: ['--disable-extensions'],
    args: ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
  });
  try {
    let [worker] = context.serviceWorkers();
    if (!worker) worker = await context.waitForEvent('serviceworker', { timeout: 30000 });
    check('the installed extension runs with the ID the manifests allow',
      new URL(worker.url()).host === CHROMIUM_ID, worker.url());
    await signOnPage(await context.newPage(), origin);
  } finally {
    await context.close();
  }
}

async function firefox(origin) {
  const puppeteer = require(path.join(modulesDir, 'node_modules', 'puppeteer-core'));
  const browser = await puppeteer.launch({
    browser: 'firefox', executablePath: '/usr/bin/firefox-esr', headless: true, env,
    userDataDir: path.join(home, 'firefox-profile'),
  });
  try {
    const id = await browser.installExtension(path.join(SHARE, 'extension'));
    check('the installed extension has its ID', id === 'kscapi@kestrune.example', id);
    await signOnPage(await browser.newPage(), origin);
  } finally {
    await browser.close();
  }
}

async function main() {
  execFileSync('/usr/bin/kscapi', ['bridge', 'develop', 'on'], { env });
  const server = await serve();
  try {
    const origin = `http://localhost:${server.address().port}`;
    await (browserName === 'firefox' ? firefox : chromium)(origin);
  } finally {
    server.close();
  }
  if (failures === 0) fs.rmSync(work, { recursive: true, force: true });
  else console.log('kept ' + work);
  console.log(failures === 0 ? `${browserName}: all passed` : `${browserName}: ${failures} failed`);
  process.exit(failures === 0 ? 0 : 1);
}

main().catch((e) => {
  console.log(`FAIL ${browserName}: ${e && e.stack ? e.stack : e}`);
  console.log('kept ' + work);
  process.exit(1);
});
