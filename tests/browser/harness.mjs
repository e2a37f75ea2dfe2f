// What the browser tests and the in-browser benchmark share: the server the
// test extension reports to, the browsers (how each finds host manifests and
// how it is started with the extension loaded), and the processes.

import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { bundle, buildExample } from '../../examples/extension/build.mjs';

export const HERE = path.dirname(fileURLToPath(import.meta.url));
export const ROOT = path.resolve(HERE, '../..');
export const HOST_NAME = 'com.vorn.scard_bridge';
export const SHUTDOWN_BANNER = '=== Vorn Smart Card Bridge Shutdown Complete ===';
export const STEP_TIMEOUT_MS = 60000;

// ---- the server the extension reports to ----

export class ReportServer {
  /** @param siteDir files served under /site/ (the test's web pages) */
  constructor({ siteDir = null } = {}) {
    this.siteDir = siteDir;
    this.reports = [];
    this.waiters = [];
    this.questions = new Map(); // question -> pending response
    this.server = http.createServer((req, res) => this._handle(req, res));
  }

  listen() {
    return new Promise((resolve) => this.server.listen(0, '127.0.0.1', () => resolve(this.server.address().port)));
  }

  close() {
    for (const res of this.questions.values()) res.end('{}');
    this.server.closeAllConnections?.();
    return new Promise((resolve) => this.server.close(resolve));
  }

  /** Forgets the reports, for the next browser in the same run. */
  reset() {
    this.reports = [];
  }

  // Every answer allows any origin: Firefox grants an MV3 extension's host
  // permissions only when asked, and then reads only what CORS lets it.
  _handle(req, res) {
    const url = new URL(req.url, 'http://127.0.0.1');
    if (req.method === 'GET' && url.pathname.startsWith('/site/') && this.siteDir) {
      this._serve(path.basename(url.pathname), res, url.searchParams.has('sandbox-page'));
      return;
    }
    if (req.method === 'GET' && url.searchParams.has('question')) {
      const question = url.searchParams.get('question');
      this.questions.set(question, res);
      this._push({ step: `question:${question}`, at: Date.now() });
      return;
    }
    if (req.method !== 'POST') {
      res.writeHead(404).end(); // a page's favicon.ico, say
      return;
    }
    let body = '';
    req.on('data', (chunk) => (body += chunk));
    req.on('end', () => {
      res.writeHead(200, { 'content-type': 'application/json', 'access-control-allow-origin': '*' });
      res.end('{}');
      try {
        this._push({ ...JSON.parse(body), receivedAt: Date.now() });
      } catch {
        this._push({ step: 'unparsable-report', body });
      }
    });
  }

  // Any origin may read the site's files (a sandboxed page's is opaque); "?sandbox-page"
  // serves a page in a CSP sandbox.
  _serve(name, res, sandboxed) {
    const file = path.join(this.siteDir, name);
    if (!fs.existsSync(file)) {
      res.writeHead(404).end();
      return;
    }
    const types = { '.html': 'text/html', '.js': 'text/javascript', '.json': 'application/json' };
    const headers = { 'content-type': types[path.extname(name)] ?? 'application/octet-stream', 'access-control-allow-origin': '*' };
    if (sandboxed) headers['content-security-policy'] = 'sandbox allow-scripts';
    res.writeHead(200, headers);
    res.end(fs.readFileSync(file));
  }

  _push(report) {
    this.reports.push(report);
    for (const waiter of [...this.waiters]) waiter();
  }

  answer(question, value = { ok: true }) {
    const res = this.questions.get(question);
    assert.ok(res, `the extension has not asked "${question}"`);
    this.questions.delete(question);
    res.writeHead(200, { 'content-type': 'application/json', 'access-control-allow-origin': '*' });
    res.end(JSON.stringify(value));
  }

  /** The first report of one of `steps`; fails at once on an "error" report. */
  waitFor(steps, timeoutMs = STEP_TIMEOUT_MS) {
    const wanted = [steps].flat();
    return new Promise((resolve, reject) => {
      const check = () => {
        const failure = this.reports.find((r) => r.step === 'error');
        if (failure) return finish(() => reject(new Error(`the extension failed: ${JSON.stringify(failure)}`)));
        const found = this.reports.find((r) => wanted.includes(r.step));
        if (found) return finish(() => resolve(found));
        return undefined;
      };
      const timer = setTimeout(
        () =>
          finish(() =>
            reject(
              new Error(
                `no "${wanted.join('" or "')}" report within ${timeoutMs} ms; reports so far: ` +
                  JSON.stringify(this.reports.map((r) => r.step)),
              ),
            ),
          ),
        timeoutMs,
      );
      const finish = (settle) => {
        clearTimeout(timer);
        this.waiters = this.waiters.filter((w) => w !== check);
        settle();
        return true;
      };
      this.waiters.push(check);
      check();
    });
  }
}

// ---- processes ----

export function hostProcesses(executable) {
  const real = fs.realpathSync(executable);
  const pids = [];
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      if (fs.readlinkSync(`/proc/${entry}/exe`) === real) pids.push(Number(entry));
    } catch {
      // gone, or not ours to look at
    }
  }
  return pids;
}

/** The arguments a process was started with, after its program. */
export function processArguments(pid) {
  return fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').split('\0').slice(1, -1);
}

export function alive(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return !/^\d+ \(.*\) Z/.test(stat); // a zombie has exited already
  } catch {
    return false;
  }
}

export async function waitUntil(predicate, timeoutMs, what) {
  const deadline = Date.now() + timeoutMs;
  while (!predicate()) {
    if (Date.now() > deadline) throw new Error(`${what} did not happen within ${timeoutMs} ms`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

/** Whether any process of the group `pgid` is left. */
function groupAlive(pgid) {
  try {
    process.kill(-pgid, 0);
    return true;
  } catch {
    return false;
  }
}

/**
 * Ends a browser started by spawnLogged and every helper it started (they share its
 * process group): SIGTERM, SIGKILL after `timeoutMs`, then waits (bounded) until the
 * group is gone, so that nothing writes into its profile any more.
 */
export async function stopProcess(child, timeoutMs = 5000) {
  if (!child) return;
  if (child.exitCode === null && child.signalCode === null) {
    await new Promise((resolve) => {
      const timer = setTimeout(() => child.kill('SIGKILL'), timeoutMs);
      child.once('exit', () => {
        clearTimeout(timer);
        resolve();
      });
      child.kill('SIGTERM');
    });
  }
  if (!groupAlive(child.pid)) return;
  try {
    process.kill(-child.pid, 'SIGKILL');
  } catch {
    // gone meanwhile
  }
  for (let waited = 0; waited < 5000 && groupAlive(child.pid); waited += 50) {
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

// Where the hosts a browser starts keep their log: below its HOME, whatever the
// test's own environment says.
function stateHome(home) {
  return path.join(home, '.local/state');
}

export function hostLog(home) {
  const file = path.join(stateHome(home), 'vorn-scard-bridge/vorn_scard_bridge.log');
  return fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : '';
}

const EXTENSION_FILES = ['manifest.json', 'smart-card.html', 'page.html', 'limits.html', 'workers.html', 'draft-worker.js'];
const EXTENSION_SCRIPTS = ['background.js', 'smart-card-page.js', 'web-page.js', 'limits-page.js', 'workers-page.js'].map((f) => path.join(HERE, 'extension', f));
// The relay's page scripts and prompt are the example extension's: the test runs the
// ones users get; its prompt-driver.js plays the user in the prompt window.
const RELAY_SCRIPTS = ['page-script.js', 'relay-script.js', 'workers-script.js', 'prompt.js'].map((f) => path.join(ROOT, 'examples/extension', f));
const PROMPT_DRIVER = path.join(HERE, 'extension/prompt-driver.js');

/**
 * The test extension in `dir`, its scripts bundled with the client package as the
 * example's are, and `config` as config.json. The folder also holds the test's web
 * page (page.html, web-page.js), which the test serves from it.
 */
export async function prepareExtension(dir, config) {
  fs.mkdirSync(dir, { recursive: true });
  for (const file of EXTENSION_FILES) fs.copyFileSync(path.join(HERE, 'extension', file), path.join(dir, file));
  await bundle([...EXTENSION_SCRIPTS, ...RELAY_SCRIPTS, PROMPT_DRIVER], dir);
  fs.copyFileSync(path.join(ROOT, 'examples/extension/managed-schema.json'), path.join(dir, 'managed-schema.json'));
  const prompt = fs.readFileSync(path.join(ROOT, 'examples/extension/prompt.html'), 'utf8');
  fs.writeFileSync(path.join(dir, 'prompt.html'), prompt.replace('</head>', '  <script defer src="prompt-driver.js"></script>\n</head>'));
  fs.writeFileSync(path.join(dir, 'config.json'), JSON.stringify(config));
  return dir;
}

/** The example extension built from the package into `dir`. */
export function prepareExample(dir) {
  return buildExample(dir);
}

// ---- the browsers ----
//
// Each gets a work folder of its own: `home` (its HOME, where the host writes
// its log), `profile`, and the browser's output in `browser.log`.

export const BROWSERS = {
  chromium: {
    name: 'chromium',
    title: 'Chromium',
    binary: process.env.VORN_CHROMIUM ?? '/usr/lib/chromium/chromium',
    // The id that the "key" in extension/manifest.json gives the test extension.
    extensionId: 'gakdholcnmeofgefiajdikdllecbobod',
    // Started with --user-data-dir, Chromium reads host manifests only from there.
    manifestDir: ({ profile }) => path.join(profile, 'NativeMessagingHosts'),
    idOption: '--extension-id',
    installTarget: (dirs) => ['--target-dir', BROWSERS.chromium.manifestDir(dirs)],
    allowed: (id) => ({ allowed_origins: [`chrome-extension://${id}/`] }),
    // What Chromium passes the host after its path.
    hostArguments: (_manifest, id) => [`chrome-extension://${id}/`],
    launch({ profile, home, extensionDir, log }) {
      return spawnLogged(
        this.binary,
        [
          '--headless=new',
          '--no-sandbox',
          '--disable-gpu',
          '--disable-quic',
          '--no-first-run',
          '--disable-background-networking',
          '--disable-component-update',
          '--disable-sync',
          `--user-data-dir=${profile}`,
          `--load-extension=${extensionDir}`,
          `--disable-extensions-except=${extensionDir}`,
          'about:blank',
        ],
        { HOME: home, XDG_STATE_HOME: stateHome(home) },
        log,
      );
    },
  },

  firefox: {
    name: 'firefox',
    title: 'Firefox',
    binary: process.env.VORN_FIREFOX ?? '/usr/bin/firefox-esr',
    // browser_specific_settings.gecko.id in extension/manifest.json.
    extensionId: 'browser-test@vorn.example',
    // Firefox reads host manifests from $HOME, whatever its profile.
    manifestDir: ({ home }) => path.join(home, '.mozilla/native-messaging-hosts'),
    idOption: '--firefox-id',
    installTarget: () => ['--browser', 'firefox'],
    allowed: (id) => ({ allowed_extensions: [id] }),
    hostArguments: (manifest, id) => [manifest, id],
    /** The ids of the add-ons that Firefox installed and enabled in `profile`. */
    activeAddons(profile) {
      const file = path.join(profile, 'extensions.json');
      if (!fs.existsSync(file)) return [];
      try {
        return JSON.parse(fs.readFileSync(file, 'utf8')).addons.filter((a) => a.active).map((a) => a.id);
      } catch {
        return []; // being written
      }
    },
    launch({ profile, home, extensionDir, log, prefs = {}, addons = [] }) {
      // Side-loading: an unsigned add-on in <profile>/extensions/<id>.xpi, which
      // ESR keeps (instead of deleting it) when signatures are not required, and
      // enables at once when no install scope asks the user first.
      const all = {
        'xpinstall.signatures.required': false,
        'extensions.autoDisableScopes': 0,
        'browser.shell.checkDefaultBrowser': false,
        'browser.startup.homepage_override.mstone': 'ignore',
        'datareporting.policy.dataSubmissionEnabled': false,
        'toolkit.telemetry.reportingpolicy.firstRun': false,
        'app.normandy.enabled': false,
        'extensions.update.enabled': false,
        ...prefs,
      };
      fs.mkdirSync(path.join(profile, 'extensions'), { recursive: true });
      fs.writeFileSync(
        path.join(profile, 'user.js'),
        Object.entries(all)
          .map(([name, value]) => `user_pref(${JSON.stringify(name)}, ${JSON.stringify(value)});\n`)
          .join(''),
      );
      for (const { id, dir } of [{ id: this.extensionId, dir: extensionDir }, ...addons]) {
        const xpi = path.join(profile, 'extensions', `${id}.xpi`);
        const zip = spawnSync('zip', ['-q', '-r', '-X', xpi, '.'], { cwd: dir, encoding: 'utf8' });
        assert.equal(zip.status, 0, `zip failed: ${zip.error ?? zip.stderr}`);
      }
      return spawnLogged(
        this.binary,
        ['--headless', '--no-remote', '--profile', profile, 'about:blank'],
        { HOME: home, XDG_STATE_HOME: stateHome(home), MOZ_CRASHREPORTER_DISABLE: '1' },
        log,
      );
    },
  },
};

/** "156.0.8078.129", "153.8.0esr": the version the browser prints. */
export function browserVersion(browser) {
  const printed = spawnSync(browser.binary, ['--version'], { encoding: 'utf8' }).stdout ?? '';
  return printed.match(/\d+(\.\d+)+\w*/)?.[0] ?? '?';
}

function spawnLogged(binary, args, env, log) {
  const fd = fs.openSync(log, 'w');
  // A process group of its own: its helpers are ended with it (stopProcess).
  const child = spawn(binary, args, {
    stdio: ['ignore', fd, fd],
    env: { ...process.env, ...env },
    detached: true,
  });
  fs.closeSync(fd);
  return child;
}

/** Browsers named in VORN_BROWSERS (default: all), in that order. */
export function selectedBrowsers() {
  const names = (process.env.VORN_BROWSERS ?? 'chromium,firefox').split(',').filter(Boolean);
  for (const name of names) assert.ok(BROWSERS[name], `unknown browser "${name}" in VORN_BROWSERS`);
  return names.map((name) => BROWSERS[name]);
}

/** The browser's folders below `work`. */
export function browserDirs(work, browser) {
  const base = path.join(work, browser.name);
  const dirs = {
    base,
    home: path.join(base, 'home'),
    profile: path.join(base, 'profile'),
    extension: path.join(base, 'extension'),
    log: path.join(base, 'browser.log'),
  };
  fs.mkdirSync(dirs.home, { recursive: true });
  fs.mkdirSync(dirs.profile, { recursive: true });
  return dirs;
}

/** Runs the installer so that `browser` finds `host`; the manifest's path. */
export function installHost(installer, host, browser, dirs) {
  const args = ['install', ...browser.installTarget(dirs), browser.idOption, browser.extensionId, '--host', host];
  const run = spawnSync(installer, args, {
    encoding: 'utf8',
    timeout: 30000,
    env: { ...process.env, HOME: dirs.home },
  });
  assert.equal(run.status, 0, run.stdout + run.stderr);
  return path.join(browser.manifestDir(dirs), `${HOST_NAME}.json`);
}

/** The tail of the browser's output, to explain a failure. */
export function browserOutput(dirs) {
  return fs.existsSync(dirs.log) ? fs.readFileSync(dirs.log, 'utf8').slice(-4000) : '';
}
