// Chromium, the installed host and a virtual card, end to end: the installer
// writes the host manifest into a fresh profile, Chromium loads a test
// extension that talks to the host through the client module, and the
// extension reports every step to a small server run by this test.
//
// Environment (run.sh sets it): VORN_HOST, VORN_INSTALLER (installed files),
// VORN_CHROMIUM (the browser binary), VORN_BROWSER_CARD_SESSION = auto | on | off,
// VORN_VPCD_PORT / VORN_VPCD_READER (which virtual reader to use),
// VORN_PIN_PAD_READER (the test driver's PIN-pad reader, when pcscd loaded it).

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { VirtualCard, DEFAULT_ATR, SELECT_TEST_APPLET, READ_TEST_RECORD } from './virtual_card.mjs';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const ROOT = path.resolve(HERE, '../..');
// The id that the "key" in extension/manifest.json gives the test extension.
const EXTENSION_ID = 'gakdholcnmeofgefiajdikdllecbobod';
const HOST_NAME = 'com.vorn.scard_bridge';
const SHUTDOWN_BANNER = '=== Vorn Smart Card Bridge Shutdown Complete ===';

const HOST = process.env.VORN_HOST;
const INSTALLER = process.env.VORN_INSTALLER;
const CHROMIUM = process.env.VORN_CHROMIUM ?? '/usr/lib/chromium/chromium';
const CARD_MODE = process.env.VORN_BROWSER_CARD_SESSION ?? 'auto';
const VPCD_PORT = Number(process.env.VORN_VPCD_PORT ?? 35964);
const READER = process.env.VORN_VPCD_READER ?? `Virtual PCD 00 0${VPCD_PORT - 35963}`;

const PIN_PAD_READER = process.env.VORN_PIN_PAD_READER ?? '';

const STEP_TIMEOUT_MS = 60000;

// ---- the server the extension reports to ----

class ReportServer {
  constructor() {
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

  _handle(req, res) {
    const url = new URL(req.url, 'http://127.0.0.1');
    if (req.method === 'GET' && url.searchParams.has('question')) {
      const question = url.searchParams.get('question');
      this.questions.set(question, res);
      this._push({ step: `question:${question}`, at: Date.now() });
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

  _push(report) {
    this.reports.push(report);
    for (const waiter of [...this.waiters]) waiter();
  }

  answer(question, value = { ok: true }) {
    const res = this.questions.get(question);
    assert.ok(res, `the extension has not asked "${question}"`);
    this.questions.delete(question);
    res.writeHead(200, { 'content-type': 'application/json' });
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

function hostProcesses(executable) {
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

function alive(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return !/^\d+ \(.*\) Z/.test(stat); // a zombie has exited already
  } catch {
    return false;
  }
}

async function waitUntil(predicate, timeoutMs, what) {
  const deadline = Date.now() + timeoutMs;
  while (!predicate()) {
    if (Date.now() > deadline) throw new Error(`${what} did not happen within ${timeoutMs} ms`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

function stopProcess(child, timeoutMs = 5000) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
  return new Promise((resolve) => {
    const timer = setTimeout(() => child.kill('SIGKILL'), timeoutMs);
    child.once('exit', () => {
      clearTimeout(timer);
      resolve();
    });
    child.kill('SIGTERM');
  });
}

function copyDir(from, to) {
  fs.mkdirSync(to, { recursive: true });
  for (const entry of fs.readdirSync(from, { withFileTypes: true })) {
    const source = path.join(from, entry.name);
    const target = path.join(to, entry.name);
    if (entry.isDirectory()) copyDir(source, target);
    else fs.copyFileSync(source, target);
  }
}

function hostLog(home) {
  const file = path.join(home, 'Library/Logs/Vorn Smart Card Bridge/vorn_scard_bridge.log');
  return fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : '';
}

// ---- the session ----

describe('Chromium drives the host through the installed manifest', { timeout: 240000 }, () => {
  let work;
  let userDataDir;
  let chromeHome;
  let server;
  let chromium;
  let chromiumLog;
  let card;
  let hostPids = [];
  let cardSessionWanted;
  let extensionDir;

  before(async () => {
    assert.ok(HOST && fs.existsSync(HOST), `VORN_HOST must name the installed host (got ${HOST})`);
    assert.ok(INSTALLER && fs.existsSync(INSTALLER), `VORN_INSTALLER must name the installed installer (got ${INSTALLER})`);
    assert.ok(fs.existsSync(CHROMIUM), `no Chromium at ${CHROMIUM}`);
    work = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-browser-test-'));
    userDataDir = path.join(work, 'profile');
    chromeHome = path.join(work, 'home');
    fs.mkdirSync(chromeHome, { recursive: true });
    server = new ReportServer();
    const port = await server.listen();
    cardSessionWanted = CARD_MODE !== 'off';

    // The extension, with the client module next to it and where to report.
    extensionDir = path.join(work, 'extension');
    copyDir(path.join(HERE, 'extension'), extensionDir);
    fs.copyFileSync(path.join(ROOT, 'js/src/vorn-scard-client.js'), path.join(extensionDir, 'vorn-scard-client.js'));
    fs.writeFileSync(
      path.join(extensionDir, 'config.json'),
      JSON.stringify({
        reportUrl: `http://127.0.0.1:${port}/report`,
        cardSession: cardSessionWanted,
        reader: READER,
        apdus: [SELECT_TEST_APPLET, READ_TEST_RECORD, '00A4040005F000000001'],
        requestTimeoutMs: 90000,
        pinPadReader: PIN_PAD_READER,
        typePinsCode: 0x42000003,
        resetCode: 0x42000004,
      }),
    );
  });

  after(async () => {
    await stopProcess(chromium);
    await card?.remove();
    await server?.close();
    // Chromium's helper processes may still write into the profile after it exits.
    if (process.env.VORN_KEEP_BROWSER_TEST_FILES !== '1' && work)
      fs.rmSync(work, { recursive: true, force: true, maxRetries: 20, retryDelay: 100 });
    else if (work) console.log(`# test files kept in ${work}`);
  });

  test('the installer writes the manifest into <user-data-dir>/NativeMessagingHosts', () => {
    const target = path.join(userDataDir, 'NativeMessagingHosts');
    const run = spawnSync(INSTALLER, ['install', '--target-dir', target, '--extension-id', EXTENSION_ID, '--host', HOST], {
      encoding: 'utf8',
      timeout: 30000,
    });
    assert.equal(run.status, 0, run.stdout + run.stderr);
    const manifest = JSON.parse(fs.readFileSync(path.join(target, `${HOST_NAME}.json`), 'utf8'));
    assert.deepEqual(manifest, {
      name: HOST_NAME,
      description: 'Vorn Smart Card Bridge',
      path: HOST,
      type: 'stdio',
      allowed_origins: [`chrome-extension://${EXTENSION_ID}/`],
    });
    assert.deepEqual(fs.readdirSync(target), [`${HOST_NAME}.json`], 'no temporary file is left');
  });

  test('the doctor finds the manifest and makes a healthcheck round trip through the host', () => {
    const doctorHome = path.join(work, 'doctor-home');
    fs.mkdirSync(doctorHome);
    const run = spawnSync(
      INSTALLER,
      ['doctor', '--target-dir', path.join(userDataDir, 'NativeMessagingHosts'), '--extension-id', EXTENSION_ID],
      { encoding: 'utf8', timeout: 60000, env: { ...process.env, HOME: doctorHome } },
    );
    const out = run.stdout;
    assert.match(out, /\[ ok \] custom folder: .*com\.vorn\.scard_bridge\.json is valid/, out);
    assert.match(out, /\[ ok \] host .*: healthcheck round trip works \(version 1\.0\.0\)/, out);
    assert.match(out, /\[ ok \] host .*: exits cleanly when the browser closes the pipe/, out);
    assert.doesNotMatch(out, /\[FAIL\] (custom folder|host)/, out);
  });

  test('Chromium starts the host from the manifest: healthcheck and get_version', async () => {
    chromiumLog = path.join(work, 'chromium.log');
    const log = fs.openSync(chromiumLog, 'w');
    chromium = spawn(
      CHROMIUM,
      [
        '--headless=new',
        '--no-sandbox',
        '--disable-gpu',
        '--disable-quic',
        '--no-first-run',
        '--disable-background-networking',
        '--disable-component-update',
        '--disable-sync',
        `--user-data-dir=${userDataDir}`,
        `--load-extension=${extensionDir}`,
        `--disable-extensions-except=${extensionDir}`,
        'about:blank',
      ],
      { stdio: ['ignore', log, log], env: { ...process.env, HOME: chromeHome } },
    );
    fs.closeSync(log);
    const started = await server.waitFor('started').catch((error) => {
      throw new Error(`${error.message}\n--- Chromium's output ---\n${fs.readFileSync(chromiumLog, 'utf8').slice(-4000)}`);
    });
    assert.equal(started.id, EXTENSION_ID, 'the "key" in the manifest fixes the extension id');
    const hello = await server.waitFor('hello');
    assert.equal(hello.healthy, true);
    assert.equal(hello.version, '1.0.0');
    hostPids = hostProcesses(HOST);
    assert.equal(hostPids.length, 1, `exactly one host runs, started by Chromium (found ${hostPids})`);
  });

  test('an unknown command comes back as "unsupported"', async () => {
    const { unsupported } = await server.waitFor('unsupported');
    assert.equal(unsupported.kind, 'unsupported');
  });

  test('a whole card session against pcscd and the virtual card', async (t) => {
    if (!cardSessionWanted) {
      t.skip('VORN_BROWSER_CARD_SESSION=off');
      return;
    }
    const first = await server.waitFor(['context', 'card-commands-unsupported', 'closing']);
    if (first.step !== 'context') {
      assert.notEqual(CARD_MODE, 'on', `the host cannot do the card session: ${JSON.stringify(first)}`);
      t.skip('this host build does not offer the card commands yet');
      return;
    }
    assert.match(first.context, /^0x[0-9A-F]{8}$/);
    assert.equal(first.valid, true);

    const listed = await server.waitFor(['readers', 'error']);
    const missing = server.reports.find((r) => r.step === 'reader-missing');
    if (!listed.readers.includes(READER) || missing) {
      assert.notEqual(CARD_MODE, 'on', `pcscd shows no "${READER}": ${JSON.stringify(listed.readers)}`);
      t.skip(`pcscd shows no "${READER}" (is vsmartcard-vpcd installed and pcscd running?)`);
      return;
    }

    const waiting = await server.waitFor('waiting-for-card');
    assert.equal(waiting.reader, READER);
    card = new VirtualCard({ port: VPCD_PORT });
    await card.insert();

    const arrived = await server.waitFor('card');
    assert.deepEqual(arrived, { ...arrived, reader: READER, atr: DEFAULT_ATR });

    const connected = await server.waitFor('connected');
    assert.match(connected.card, /^0x[0-9A-F]{8}$/);
    assert.equal(connected.protocol, 2, 'the virtual card speaks T=1');

    const { replies } = await server.waitFor('transmitted');
    assert.deepEqual(
      replies.map((r) => [r.response, r.sw]),
      [
        ['9000', 0x9000],
        ['CAFEF00D9000', 0x9000],
        ['6A82', 0x6a82],
      ],
    );
    assert.deepEqual(card.apdus.slice(0, 3), [SELECT_TEST_APPLET, READ_TEST_RECORD, '00A4040005F000000001']);

    const { rejected } = await server.waitFor('short-apdu');
    assert.equal(rejected.kind, 'rejected');
    assert.match(rejected.message, /APDU command too short/);

    const { status } = await server.waitFor('status');
    assert.equal(status.reader, READER);
    assert.equal(status.atr, DEFAULT_ATR);
    assert.equal(status.protocol, 2);

    await server.waitFor('card-disconnected');
    await server.waitFor('question:detach-card');
    await card.remove();
    server.answer('detach-card');

    const { events } = await server.waitFor('watched');
    assert.deepEqual(
      events.map((e) => [e.type, e.reader]),
      [
        ['inserted', READER],
        ['removed', READER],
      ],
    );

    const { afterRelease } = await server.waitFor('released');
    assert.equal(afterRelease.kind, 'scard', 'a released context is refused');
  });

  test('a PIN is verified on the PIN pad of the test reader driver', async (t) => {
    if (!PIN_PAD_READER) {
      t.skip('VORN_PIN_PAD_READER is not set: pcscd runs without the test reader driver');
      return;
    }
    const session = await server.waitFor(['pin-pad', 'pin-pad-missing']);
    assert.equal(session.step, 'pin-pad', `pcscd shows no "${PIN_PAD_READER}"`);
    assert.deepEqual(session.features, { VERIFY_PIN_DIRECT: 0x42330006, MODIFY_PIN_DIRECT: 0x42330007 });
    assert.equal(session.right.ok, true, JSON.stringify(session.right));
    assert.equal(session.right.sw, 0x9000);
    assert.equal(session.wrong.ok, false);
    assert.equal(session.wrong.sw, 0x63c2, 'a wrong PIN is an answer: two tries left');
  });

  test('the host exits on its own when the extension disconnects', async () => {
    const closed = await server.waitFor('port-closed');
    const [pid] = hostPids;
    await waitUntil(() => !alive(pid), 10000, `the exit of host ${pid}`);
    const gone = Date.now();
    // Chromium closes the pipes and SIGKILLs the host 2 s later: a host that had to be
    // killed never writes its closing banner.
    await waitUntil(() => hostLog(chromeHome).includes(SHUTDOWN_BANNER), 5000, 'the closing banner in the log');
    const log = hostLog(chromeHome);
    assert.match(log, /Pipe closed by Chrome, exiting/);
    assert.ok(chromium.exitCode === null, 'Chromium itself is still running');
    console.log(`# host ${pid} gone ${gone - closed.receivedAt} ms after the extension reported the port closed`);
  });
});
