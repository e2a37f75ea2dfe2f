// The browser test's shared fixtures: where the installed files are (the environment
// run.sh sets), and for one browser its run: its folders, the test's report servers, the
// test extension and the example built, the policy given to the browser, and the helpers
// the behaviours' tests use to drive the extension's pages and play the user. The
// behaviours (behaviours/*.mjs) take turns in one browser: they share its extension,
// its pages and the virtual reader.

import { before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { SELECT_TEST_APPLET, READ_TEST_RECORD } from './virtual_card.mjs';
import {
  ROOT,
  STEP_TIMEOUT_MS,
  ReportServer,
  alive,
  browserDirs,
  hostProcesses,
  prepareExample,
  prepareExtension,
  stopProcess,
  waitUntil,
} from './harness.mjs';

export const HOST = process.env.VORN_HOST;
export const INSTALLER = process.env.VORN_INSTALLER;
export const CARD_MODE = process.env.VORN_BROWSER_CARD_SESSION ?? 'auto';
export const VPCD_PORT = Number(process.env.VORN_VPCD_PORT ?? 35964);
export const READER = process.env.VORN_VPCD_READER ?? `Virtual PCD 00 0${VPCD_PORT - 35963}`;
export const PIN_PAD_READER = process.env.VORN_PIN_PAD_READER ?? '';
export const SETTABLE = process.env.VORN_SET_ATTRIB_TAG ?? '';
// run.sh started pcscd (with this reader configuration), so the test may stop and start it.
export const RESTART_PCSCD = process.env.VORN_RESTART_PCSCD === '1';
export const PCSCD_CONFIG = process.env.VORN_PCSCD_CONFIG ?? '';
// Stops the pcscd of this run and waits (bounded) until it is gone.
export async function stopPcscd() {
  const pid = Number(fs.readFileSync('/run/pcscd/pcscd.pid', 'utf8').replace(/\0/g, '').trim());
  assert.ok(pid > 0 && alive(pid), `no running pcscd in /run/pcscd/pcscd.pid (${pid})`);
  process.kill(pid, 'SIGTERM');
  await waitUntil(() => !alive(pid), 20000, `the exit of pcscd ${pid}`);
}

const EXAMPLE_ID = JSON.parse(fs.readFileSync(path.join(ROOT, 'examples/extension/manifest.json'), 'utf8'))
  .browser_specific_settings.gecko.id;

// Another program of the user: the host started by hand, asked for one context.
export async function otherProgramContext(host, work) {
  const child = spawn(host, [], { stdio: ['pipe', 'pipe', 'ignore'], env: { ...process.env, HOME: work } });
  const body = Buffer.from(JSON.stringify({ requestId: 'other', command: 'establish_context', params: [] }));
  const header = Buffer.alloc(4);
  header.writeUInt32LE(body.length);
  child.stdin.write(Buffer.concat([header, body]));
  let output = Buffer.alloc(0);
  const answer = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no answer from the other program within 20 s')), 20000);
    child.stdout.on('data', (chunk) => {
      output = Buffer.concat([output, chunk]);
      if (output.length >= 4 && output.length >= 4 + output.readUInt32LE(0)) {
        clearTimeout(timer);
        resolve(JSON.parse(output.subarray(4, 4 + output.readUInt32LE(0)).toString()));
      }
    });
  });
  child.stdin.end();
  assert.equal(answer.status, 'success', JSON.stringify(answer));
  return answer.result[1];
}

// Chromium reads policy only from /etc/chromium/policies. In the private mount namespace
// of scripts/hermetic.sh (as root) the test puts its own there, over a copy of
// /etc/chromium; elsewhere (false) the test build stands in for storage.managed.
function chromiumPolicy(extensionId, policy) {
  if (process.env.VORN_HERMETIC_INNER !== '1' || process.getuid?.() !== 0 || !fs.existsSync('/etc/chromium')) return false;
  const saved = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-etc-chromium-'));
  fs.cpSync('/etc/chromium', saved, { recursive: true });
  const mount = spawnSync('mount', ['-t', 'tmpfs', '-o', 'mode=0755', 'tmpfs', '/etc/chromium'], { encoding: 'utf8' });
  assert.equal(mount.status, 0, mount.stderr);
  fs.cpSync(saved, '/etc/chromium', { recursive: true });
  fs.rmSync(saved, { recursive: true });
  fs.mkdirSync('/etc/chromium/policies/managed', { recursive: true });
  const thirdParty = { '3rdparty': { extensions: { [extensionId]: policy } } };
  fs.writeFileSync('/etc/chromium/policies/managed/vorn-browser-test.json', JSON.stringify(thirdParty));
  return true;
}

/**
 * One browser's run, for the tests of the behaviours: registers its before/after hooks
 * in the calling describe() and returns its state, filled in by before() and by the
 * tests as they go (card, cardSessionRan, running, hostPids, manifestFile).
 */
export function browserSession(browser) {
  // work, dirs, server, port, site2, port2, example, cardSessionWanted: set by before().
  const s = { browser, card: null, cardSessionRan: false, running: null, hostPids: [], manifestFile: null };
  let turn = 0;
  const prompted = new Set();

  before(async () => {
    assert.ok(HOST && fs.existsSync(HOST), `VORN_HOST must name the installed host (got ${HOST})`);
    assert.ok(INSTALLER && fs.existsSync(INSTALLER), `VORN_INSTALLER must name the installed installer (got ${INSTALLER})`);
    assert.ok(fs.existsSync(browser.binary), `no ${browser.title} at ${browser.binary}`);
    const work = (s.work = fs.mkdtempSync(path.join(os.tmpdir(), `vorn-browser-test-${browser.name}-`)));
    const dirs = (s.dirs = browserDirs(work, browser));
    s.server = new ReportServer({ siteDir: dirs.extension });
    const port = (s.port = await s.server.listen());
    // Two more origins for the administrator's policy: the same pages on another port.
    s.site2 = new ReportServer({ siteDir: dirs.extension });
    const port2 = (s.port2 = await s.site2.listen());
    const policy = { allowedOrigins: [`http://localhost:${port2}`], blockedOrigins: [`http://127.0.0.1:${port2}`] };
    const standIn = browser.name === 'chromium' && !chromiumPolicy(browser.extensionId, policy);
    if (standIn) console.log('# chromium: no private mount namespace, storage.managed is stood in for');
    if (browser.name === 'firefox') {
      // Firefox reads an extension's managed storage from a manifest beside the
      // native-messaging ones.
      const managed = path.join(dirs.home, '.mozilla/managed-storage');
      fs.mkdirSync(managed, { recursive: true });
      const manifest = { name: browser.extensionId, description: 'test policy', type: 'storage', data: policy };
      fs.writeFileSync(path.join(managed, `${browser.extensionId}.json`), JSON.stringify(manifest));
    }
    s.cardSessionWanted = CARD_MODE !== 'off';
    s.example = { id: EXAMPLE_ID, dir: await prepareExample(path.join(work, 'example')) };
    await prepareExtension(dirs.extension, {
      reportUrl: `http://127.0.0.1:${port}/report`,
      cardSession: s.cardSessionWanted,
      reader: READER,
      apdus: [SELECT_TEST_APPLET, READ_TEST_RECORD, '00A4040005F000000001'],
      requestTimeoutMs: 90000,
      pinPadReader: PIN_PAD_READER,
      typePinsCode: 0x42000003,
      resetCode: 0x42000004,
      select: SELECT_TEST_APPLET,
      read: READ_TEST_RECORD,
      restartPcscd: RESTART_PCSCD,
      settableAttribute: SETTABLE ? { tag: Number(SETTABLE.split(':')[0]), value: SETTABLE.split(':')[1] } : null,
      facade: { refused: `http://127.0.0.1:${port}` },
      managedStandIn: standIn ? policy : null,
    });
  });

  after(async () => {
    await stopProcess(s.running);
    // A browser that quits with the port open may leave its hosts behind.
    for (const pid of [...s.hostPids, ...(HOST ? hostProcesses(HOST) : [])].filter(alive)) process.kill(pid, 'SIGKILL');
    await s.card?.remove();
    await s.server?.close();
    await s.site2?.close();
    if (!s.work) return;
    if (process.env.VORN_KEEP_BROWSER_TEST_FILES === '1') console.log(`# test files kept in ${s.work}`);
    // The browser's helper processes may still be writing into its profile.
    else fs.rmSync(s.work, { recursive: true, force: true, maxRetries: 20, retryDelay: 100 });
  });

  // ---- navigator.smartCard ----

  // Tells the extension what to do next: open a page, revoke a grant, or stop ({}).
  s.order = async (what) => {
    turn += 1;
    await s.server.waitFor(`question:next-${turn}`);
    s.server.answer(`next-${turn}`, what);
  };

  // Plays the user in the prompt window the relay opens for `origin` (embedded in
  // `embeddedIn`, asking for `reader` at a connect): clicks "once", "always" or
  // "deny", or closes the window.
  s.answerPrompt = async (origin, click, embeddedIn = '', reader = '') => {
    const prefix = `question:prompt:${origin}:${embeddedIn}:${reader}:`;
    let found;
    await waitUntil(
      () => (found = s.server.reports.find((r) => r.step.startsWith(prefix) && !prompted.has(r.step))),
      STEP_TIMEOUT_MS,
      `a prompt for ${origin}`,
    );
    prompted.add(found.step);
    s.server.answer(found.step.slice('question:'.length), { click });
  };
  // The hosts started from now on that still run (one that is ending does not count).
  s.hostsSince = () => {
    const before = new Set(hostProcesses(HOST));
    return () => hostProcesses(HOST).filter((pid) => !before.has(pid));
  };
  s.promptsFor = (origin) => s.server.reports.filter((r) => r.step.startsWith(`question:prompt:${origin}:`)).length;
  return s;
}
