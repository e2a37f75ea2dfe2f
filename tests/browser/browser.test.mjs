// Chromium and Firefox, the installed host and a virtual card, end to end: the
// installer writes the host manifest where the browser looks, the browser
// loads a test extension that talks to the host through the client module,
// and the extension reports every step to a small server run by this test.
// The browsers take turns: they share the virtual reader.
//
// Environment (run.sh sets it): VORN_HOST, VORN_INSTALLER (installed files),
// VORN_BROWSERS (default "chromium,firefox"), VORN_CHROMIUM / VORN_FIREFOX (the
// browser binaries), VORN_BROWSER_CARD_SESSION = auto | on | off,
// VORN_VPCD_PORT / VORN_VPCD_READER (which virtual reader to use),
// VORN_PIN_PAD_READER (the test driver's PIN-pad reader, when pcscd loaded it),
// VORN_RESTART_PCSCD=1 (pcscd is the test's to stop and start again, with the
// reader configuration VORN_PCSCD_CONFIG), VORN_SET_ATTRIB_TAG (an attribute the test driver's PIN-pad reader lets a page
// set, as "tag:hex value", e.g. "0x00070A02:CAFE"; without it the setAttribute test
// is skipped).
//
// After the client's card session, the same browser reaches the host through
// navigator.smartCard on a page of the test extension, then runs the Web Smart Card
// explainer's examples on a web page whose first establishContext() asks the user (the
// test plays the user in the extension's prompt window); then a site the user refused,
// the allowed one once the grant is revoked, a site allowed for one page only (and
// asked per reader), frames, the session bounds, an administrator's policy, and the
// draft's worker on a page of an allowed site.

import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { VirtualCard, DEFAULT_ATR, SELECT_TEST_APPLET, READ_TEST_RECORD } from './virtual_card.mjs';
import {
  HOST_NAME,
  ROOT,
  SHUTDOWN_BANNER,
  STEP_TIMEOUT_MS,
  ReportServer,
  alive,
  browserDirs,
  browserOutput,
  hostLog,
  hostProcesses,
  installHost,
  prepareExample,
  prepareExtension,
  processArguments,
  selectedBrowsers,
  stopProcess,
  waitUntil,
} from './harness.mjs';

const HOST = process.env.VORN_HOST;
const INSTALLER = process.env.VORN_INSTALLER;
const CARD_MODE = process.env.VORN_BROWSER_CARD_SESSION ?? 'auto';
const VPCD_PORT = Number(process.env.VORN_VPCD_PORT ?? 35964);
const READER = process.env.VORN_VPCD_READER ?? `Virtual PCD 00 0${VPCD_PORT - 35963}`;
const PIN_PAD_READER = process.env.VORN_PIN_PAD_READER ?? '';
const SETTABLE = process.env.VORN_SET_ATTRIB_TAG ?? '';
// run.sh started pcscd (with this reader configuration), so the test may stop and start it.
const RESTART_PCSCD = process.env.VORN_RESTART_PCSCD === '1';
const PCSCD_CONFIG = process.env.VORN_PCSCD_CONFIG ?? '';
// Stops the pcscd of this run and waits (bounded) until it is gone.
async function stopPcscd() {
  const pid = Number(fs.readFileSync('/run/pcscd/pcscd.pid', 'utf8').replace(/\0/g, '').trim());
  assert.ok(pid > 0 && alive(pid), `no running pcscd in /run/pcscd/pcscd.pid (${pid})`);
  process.kill(pid, 'SIGTERM');
  await waitUntil(() => !alive(pid), 20000, `the exit of pcscd ${pid}`);
}

const EXAMPLE_ID = JSON.parse(fs.readFileSync(path.join(ROOT, 'examples/extension/manifest.json'), 'utf8'))
  .browser_specific_settings.gecko.id;

// Another program of the user: the host started by hand, asked for one context.
async function otherProgramContext(host, work) {
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

for (const browser of selectedBrowsers()) {
  describe(`${browser.title} drives the host through the installed manifest`, { timeout: 240000 }, () => {
    let work;
    let dirs;
    let server;
    let running;
    let card;
    let manifestFile;
    let hostPids = [];
    let cardSessionWanted;
    let cardSessionRan = false;
    let example;
    let port;
    let site2;
    let port2;
    let turn = 0;
    const prompted = new Set();

    before(async () => {
      assert.ok(HOST && fs.existsSync(HOST), `VORN_HOST must name the installed host (got ${HOST})`);
      assert.ok(INSTALLER && fs.existsSync(INSTALLER), `VORN_INSTALLER must name the installed installer (got ${INSTALLER})`);
      assert.ok(fs.existsSync(browser.binary), `no ${browser.title} at ${browser.binary}`);
      work = fs.mkdtempSync(path.join(os.tmpdir(), `vorn-browser-test-${browser.name}-`));
      dirs = browserDirs(work, browser);
      server = new ReportServer({ siteDir: dirs.extension });
      port = await server.listen();
      // Two more origins for the administrator's policy: the same pages on another port.
      site2 = new ReportServer({ siteDir: dirs.extension });
      port2 = await site2.listen();
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
      cardSessionWanted = CARD_MODE !== 'off';
      example = { id: EXAMPLE_ID, dir: await prepareExample(path.join(work, 'example')) };
      await prepareExtension(dirs.extension, {
        reportUrl: `http://127.0.0.1:${port}/report`,
        cardSession: cardSessionWanted,
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
      await stopProcess(running);
      // A browser that quits with the port open may leave its hosts behind.
      for (const pid of [...hostPids, ...(HOST ? hostProcesses(HOST) : [])].filter(alive)) process.kill(pid, 'SIGKILL');
      await card?.remove();
      await server?.close();
      await site2?.close();
      if (!work) return;
      if (process.env.VORN_KEEP_BROWSER_TEST_FILES === '1') console.log(`# test files kept in ${work}`);
      // The browser's helper processes may still be writing into its profile.
      else fs.rmSync(work, { recursive: true, force: true, maxRetries: 20, retryDelay: 100 });
    });

    test(`the installer writes the manifest where ${browser.title} reads it`, () => {
      manifestFile = installHost(INSTALLER, HOST, browser, dirs);
      const manifest = JSON.parse(fs.readFileSync(manifestFile, 'utf8'));
      assert.deepEqual(manifest, {
        name: HOST_NAME,
        description: 'Vorn Smart Card Bridge',
        path: HOST,
        type: 'stdio',
        ...browser.allowed(browser.extensionId),
      });
      assert.deepEqual(fs.readdirSync(path.dirname(manifestFile)), [`${HOST_NAME}.json`], 'no temporary file is left');
    });

    test('the doctor finds the manifest and makes a healthcheck round trip through the host', () => {
      // Firefox's manifest is found in HOME; Chromium's custom profile folder is named.
      const custom = browser.name === 'chromium' ? ['--target-dir', path.dirname(manifestFile)] : [];
      const run = spawnSync(INSTALLER, ['doctor', ...custom, browser.idOption, browser.extensionId], {
        encoding: 'utf8',
        timeout: 60000,
        env: { ...process.env, HOME: dirs.home },
      });
      const out = run.stdout;
      const where = browser.name === 'chromium' ? 'custom folder' : 'Mozilla Firefox (user)';
      assert.ok(out.includes(`[ ok ] ${where}: ${manifestFile} is valid`), out);
      assert.match(out, /\[ ok \] host .*: healthcheck round trip works \(version 1\.0\.0\)/, out);
      assert.match(out, /\[ ok \] host .*: exits cleanly when the browser closes the pipe/, out);
      assert.doesNotMatch(out, /\[FAIL\] (custom folder|Mozilla Firefox|host)/, out);
    });

    test(`${browser.title} starts the host from the manifest: healthcheck and get_version`, async () => {
      running = browser.launch({
        profile: dirs.profile,
        home: dirs.home,
        extensionDir: dirs.extension,
        log: dirs.log,
        addons: browser.name === 'firefox' ? [example] : [],
        // The example extension would serve the test's pages too (the first relay on a
        // page answers it): Firefox's quarantined domains keep every add-on but the
        // test's off them.
        prefs: {
          'extensions.quarantinedDomains.enabled': true,
          'extensions.quarantinedDomains.list': 'localhost,127.0.0.1',
          [`extensions.quarantineIgnoredByUser.${browser.extensionId}`]: true,
        },
      });
      const started = await server.waitFor('started').catch((error) => {
        throw new Error(`${error.message}\n--- ${browser.title}'s output ---\n${browserOutput(dirs)}`);
      });
      assert.equal(started.id, browser.extensionId);
      const hello = await server.waitFor('hello');
      assert.equal(hello.healthy, true);
      assert.equal(hello.version, '1.0.0');
      hostPids = hostProcesses(HOST);
      assert.equal(hostPids.length, 1, `exactly one host runs, started by ${browser.title} (found ${hostPids})`);
      assert.deepEqual(processArguments(hostPids[0]), browser.hostArguments(manifestFile, browser.extensionId));
    });

    if (browser.name === 'firefox') {
      test('Firefox loads the example extension unchanged', async () => {
        await waitUntil(() => browser.activeAddons(dirs.profile).includes(example.id), 20000, `Firefox enabling ${example.id}`);
      });
    }

    test('a host that is not installed is reported with what to do', async () => {
      const { missing } = await server.waitFor('missing-host');
      assert.equal(missing.kind, 'disconnected');
      assert.match(missing.hint ?? '', /vorn-scard-bridge-installer doctor/, JSON.stringify(missing));
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
      cardSessionRan = true;
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

    test('a running watch survives pcscd stopping and starting again', async (t) => {
      if (!cardSessionRan || !RESTART_PCSCD) {
        t.skip(cardSessionRan ? 'pcscd ran before the test: it is not the test\'s to stop' : 'no card session');
        return;
      }
      await server.waitFor('question:restart:insert-card');
      card = new VirtualCard({ port: VPCD_PORT });
      await card.insert();
      server.answer('restart:insert-card');
      await server.waitFor('restart:watching');

      await stopPcscd();
      const seen = (type) => server.reports.some((r) => r.step === 'restart:event' && r.event.type === type);
      await waitUntil(() => seen('reader-removed'), STEP_TIMEOUT_MS, 'the watch reporting the reader gone');
      card.socket?.destroy(); // vpcd went with pcscd
      const started = spawnSync(path.join(ROOT, 'tests/fixtures/start_pcscd.sh'), PCSCD_CONFIG ? ['--config', PCSCD_CONFIG] : [], {
        encoding: 'utf8',
        timeout: 30000,
      });
      assert.equal(started.status, 0, started.stdout + started.stderr);
      card = new VirtualCard({ port: VPCD_PORT });
      await card.insert();

      await server.waitFor('question:restart:remove-card');
      await card.remove();
      server.answer('restart:remove-card');
      const { events } = await server.waitFor('restart:watched');
      // The first insertion may come before or after the watch's first listing.
      assert.deepEqual(
        events.map((e, i) => [e.type, e.reader, i === 0 || e.initial]),
        [
          ['inserted', READER, true],
          ['removed', READER, false],
          ['reader-removed', READER, false],
          ['reader-added', READER, false],
          ['inserted', READER, false],
          ['removed', READER, false],
        ],
      );
    });

    test('the host exits on its own when the extension disconnects', async () => {
      const closed = await server.waitFor('port-closed');
      const [pid] = hostPids;
      await waitUntil(() => !alive(pid), 10000, `the exit of host ${pid}`);
      const gone = Date.now();
      // A browser kills a host that outlives the port (Chromium: SIGKILL after
      // 2 s; Firefox: SIGTERM after 3 s, then SIGKILL): the closing banner after
      // the end of input shows that it ended by itself.
      await waitUntil(() => hostLog(dirs.home).includes(SHUTDOWN_BANNER), 5000, 'the closing banner in the log');
      const log = hostLog(dirs.home);
      assert.match(log, /Pipe closed by Chrome, exiting/);
      assert.ok(running.exitCode === null, `${browser.title} itself is still running`);
      console.log(`# ${browser.name}: host ${pid} gone ${gone - closed.receivedAt} ms after the extension reported the port closed`);
    });

    // ---- navigator.smartCard ----

    // Tells the extension what to do next: open a page, revoke a grant, or stop ({}).
    async function order(what) {
      turn += 1;
      await server.waitFor(`question:next-${turn}`);
      server.answer(`next-${turn}`, what);
    }

    // Plays the user in the prompt window the relay opens for `origin` (embedded in
    // `embeddedIn`, asking for `reader` at a connect): clicks "once", "always" or
    // "deny", or closes the window.
    async function answerPrompt(origin, click, embeddedIn = '', reader = '') {
      const prefix = `question:prompt:${origin}:${embeddedIn}:${reader}:`;
      let found;
      await waitUntil(
        () => (found = server.reports.find((r) => r.step.startsWith(prefix) && !prompted.has(r.step))),
        STEP_TIMEOUT_MS,
        `a prompt for ${origin}`,
      );
      prompted.add(found.step);
      server.answer(found.step.slice('question:'.length), { click });
    }
    // The hosts started from now on that still run (one that is ending does not count).
    const hostsSince = () => {
      const before = new Set(hostProcesses(HOST));
      return () => hostProcesses(HOST).filter((pid) => !before.has(pid));
    };
    const promptsFor = (origin) => server.reports.filter((r) => r.step.startsWith(`question:prompt:${origin}:`)).length;

    // The test's part of a run of the explainer examples: the card goes in when the
    // page waits for it and out at the end; then each step's outcome is checked.
    async function explainerRun(where) {
      const readers = await server.waitFor(`${where}:readers`);
      assert.ok(readers.readers.includes(READER), JSON.stringify(readers.readers));

      const waiting = await server.waitFor(`${where}:waiting`);
      assert.equal(waiting.wasPresent, false, 'the run starts without a card');
      assert.equal(waiting.overlapping.name, 'InvalidStateError', 'a second call on a context that waits is refused');
      await server.waitFor(`question:${where}:insert-card`);
      card = new VirtualCard({ port: VPCD_PORT });
      await card.insert();
      server.answer(`${where}:insert-card`);

      const arrived = await server.waitFor(`${where}:card`);
      assert.deepEqual(arrived, { ...arrived, readerName: READER, present: true, changed: true, atr: DEFAULT_ATR, counted: true });

      const sent = await server.waitFor(`${where}:transmitted`);
      assert.equal(sent.activeProtocol, 't1');
      assert.equal(sent.response, '9000');
      assert.equal(sent.isArrayBuffer, true);
      assert.deepEqual(sent.status, { readerName: READER, state: 't1', atr: DEFAULT_ATR });

      const transaction = await server.waitFor(`${where}:transaction`);
      assert.deepEqual(transaction.inside, ['9000', 'CAFEF00D9000']);
      assert.equal(transaction.blocked.name, 'InvalidStateError', 'another connection waits for the transaction');
      assert.equal(transaction.failed.name, 'RangeError', "the callback's failure is the transaction's");
      assert.deepEqual(
        transaction.afterwards.map((e) => e.responseCode),
        ['reset-card', 'reset-card'],
        'a failed callback ends its transaction with "reset"',
      );

      const aborted = await server.waitFor(`${where}:aborted`);
      assert.equal(aborted.same, true, `the abort reason comes back as given: ${JSON.stringify(aborted.aborted)}`);
      assert.equal(aborted.usable, true, 'the context serves again after the abort');

      const { pnp } = await server.waitFor(`${where}:pnp`);
      assert.ok(pnp.resolved === 1 || pnp.name === 'UnknownError', JSON.stringify(pnp));

      const attributes = await server.waitFor(`${where}:attributes`);
      assert.equal(attributes.atrAttribute, DEFAULT_ATR);
      assert.deepEqual(
        [attributes.unsupported.name, attributes.unsupported.responseCode],
        ['SmartCardError', 'unsupported-feature'],
      );

      const { afterDisconnect } = await server.waitFor(`${where}:disconnected`);
      assert.equal(afterDisconnect.name, 'InvalidStateError');

      if (PIN_PAD_READER) {
        const pad = await server.waitFor(`${where}:pin-pad`);
        assert.equal(pad.answer, '9000', 'the PIN typed on the keypad is right');
        assert.equal(pad.tooLong.name, 'TypeError', 'control input beyond the host limit');
      }

      await server.waitFor(`question:${where}:remove-card`);
      await card.remove();
      server.answer(`${where}:remove-card`);
      await server.waitFor(`${where}:done`);
    }

    test("navigator.smartCard on an extension page reaches the host over the page's own port", async (t) => {
      if (!cardSessionRan) {
        t.skip('no card session: the host or the virtual reader is missing');
        return;
      }
      const { decisions } = await server.waitFor('origins-decided');
      assert.deepEqual(decisions, { [`http://127.0.0.1:${port}`]: 'refused' });
      await order({ open: '/smart-card.html' });
      const { readers } = await server.waitFor('extension:readers');
      assert.ok(readers.includes(READER), JSON.stringify(readers));
    });

    test('the explainer examples on a web page: its first establishContext() waits for the user, who allows the site always', async (t) => {
      if (!cardSessionRan) {
        t.skip('no card session: the host or the virtual reader is missing');
        return;
      }
      const hosts = hostsSince();
      await order({ open: `http://localhost:${port}/site/page.html` });
      await waitUntil(() => promptsFor(`http://localhost:${port}`) > 0, STEP_TIMEOUT_MS, 'the prompt');
      assert.deepEqual(hosts(), [], 'no host before the user answers');
      await answerPrompt(`http://localhost:${port}`, 'always');
      await explainerRun('page');
    });

    test('setAttribute sets a value the reader takes', async (t) => {
      if (!SETTABLE || !PIN_PAD_READER) {
        t.skip('VORN_SET_ATTRIB_TAG or the PIN-pad reader is missing');
        return;
      }
      const [tag, value] = SETTABLE.split(':');
      const pad = server.reports.find((r) => r.step === 'page:pin-pad');
      assert.deepEqual(pad?.setAttribute, { readBack: value.toUpperCase() }, `setAttribute(${tag}) then getAttribute`);
    });

    test('a refused site gets NotAllowedError unasked; revoking ends a site\'s sessions, and "deny" holds for the page', async (t) => {
      if (!cardSessionRan) {
        t.skip('no card session: the host or the virtual reader is missing');
        return;
      }
      await order({ open: `http://127.0.0.1:${port}/site/page.html?refused` });
      const refused = await server.waitFor('refused-page');
      assert.deepEqual([refused.smartCard, refused.refused?.name], ['object', 'NotAllowedError'], JSON.stringify(refused));
      assert.equal(promptsFor(`http://127.0.0.1:${port}`), 0, 'no prompt for a refused site');

      await server.waitFor('question:page:revoke');
      await order({ revoke: `http://localhost:${port}` });
      await server.waitFor('revoked');
      server.answer('page:revoke');
      await answerPrompt(`http://localhost:${port}`, 'deny');
      const { inFlight, afterRevoke, again } = await server.waitFor('page:after-revoke');
      assert.equal(inFlight?.name, 'SecurityError', `the open context: ${JSON.stringify(inFlight)}`);
      assert.equal(afterRevoke?.name, 'NotAllowedError', `asked again, denied: ${JSON.stringify(afterRevoke)}`);
      assert.equal(again?.name, 'NotAllowedError', JSON.stringify(again));
      assert.equal(promptsFor(`http://localhost:${port}`), 2, 'the denied page is not asked again');
    });

    test('"allow once" lasts for the page and asks at each reader\'s first connect; the next page of the site asks again', async (t) => {
      if (!cardSessionRan) {
        t.skip('no card session: the host or the virtual reader is missing');
        return;
      }
      const consent = (label) => `http://localhost:${port}/site/limits.html?mode=consent&label=${label}`;
      await order({ open: `${consent('once')}&reader=${encodeURIComponent(READER)}` });
      await answerPrompt(`http://localhost:${port}`, 'once');
      await answerPrompt(`http://localhost:${port}`, 'once', '', READER);
      await answerPrompt(`http://localhost:${port}`, 'deny', '', 'Not Allowed Reader');
      const once = await server.waitFor('consent:once');
      assert.ok(once.readers >= 1, JSON.stringify(once));
      assert.deepEqual(once.connects, ['connected', 'connected', 'NotAllowedError', 'NotAllowedError'], 'asked once per reader');
      await order({ open: consent('closed') });
      await answerPrompt(`http://localhost:${port}`, 'close');
      const closed = await server.waitFor('consent:closed');
      assert.equal(closed.name, 'NotAllowedError', `a prompt closed unanswered denies: ${JSON.stringify(closed)}`);
      assert.equal(promptsFor(`http://localhost:${port}`), 6);
    });

    test('sandboxed documents and frames of another site start no host; a frame delegated to with allow="smart-card" is asked about', async (t) => {
      if (!cardSessionRan) {
        t.skip('no card session: the host or the virtual reader is missing');
        return;
      }
      const limits = (origin, params) => `${origin}/site/limits.html?${new URLSearchParams(params)}`;
      const allowed = `http://localhost:${port}`;
      const other = `http://127.0.0.1:${port}`;
      const probe = (label) => limits(allowed, { mode: 'probe', label });

      // Delegated to by another site's page, a frame of a site not decided yet: the prompt
      // names both; allowed once, the frame gets one session.
      let hosts = hostsSince();
      await order({ open: limits(other, { mode: 'frames', src: probe('delegated-frame'), allow: 'smart-card' }) });
      await answerPrompt(allowed, 'once', other);
      const { answers } = await server.waitFor('delegated-frame:probe');
      assert.deepEqual(answers.toSorted(), [...Array(7).fill('busy'), 'open'], JSON.stringify(answers));
      await waitUntil(() => hosts().length === 0, 10000, "the end of the frame's session");
      assert.equal(promptsFor(other), 0, 'the embedding page is never asked about');

      await order({ grant: allowed });
      await server.waitFor('granted');
      hosts = hostsSince();
      const cases = [
        ['sandboxed-page', `${probe('sandboxed-page')}&sandbox-page`],
        ['sandboxed-frame', limits(allowed, { mode: 'frames', src: probe('sandboxed-frame'), sandbox: '' })],
        ['cross-origin-frame', limits(other, { mode: 'frames', src: probe('cross-origin-frame') })],
      ];
      for (const [label, url] of cases) {
        await order({ open: url });
        const { answers, smartCard, origin } = await server.waitFor(`${label}:probe`);
        if (label !== 'cross-origin-frame') {
          assert.deepEqual([origin, smartCard], ['null', 'undefined'], label);
          assert.deepEqual(new Set(answers), new Set(['no answer']), `${label}: the extension never hears of it`);
        } else {
          assert.deepEqual(new Set(answers), new Set(['denied']), `${label}: not delegated to`);
        }
      }
      assert.deepEqual(hosts(), [], 'no host started');
    });

    test('one host session per page and four per site: the machine keeps contexts for other programs', async (t) => {
      if (!cardSessionRan) {
        t.skip('no card session: the host or the virtual reader is missing');
        return;
      }
      const hosts = hostsSince();
      await order({ open: `http://localhost:${port}/site/limits.html?mode=bounds` });
      const page = await server.waitFor('bounds:page');
      assert.equal(page.open, 1, 'one session for the page');
      assert.deepEqual(page.refused, Array(7).fill('0x80100031'), 'the other handshakes: busy, nothing started');
      assert.equal(page.shutdown, 'unsupported', 'the relay passes on only the commands of the API');
      assert.equal(page.version, '1.0.0');
      assert.deepEqual([page.made, page.beyond], [32, '0x80100006'], "the host's per-session cap");
      const frames = [];
      for (let i = 1; i <= 4; i++) frames.push(await server.waitFor(`bounds:frame-${i}`));
      assert.ok(frames.every((f) => f.smartCard === 'object'), 'same-origin frames get the API');
      assert.deepEqual(
        frames.map((f) => f.contexts ?? f.responseCode).sort(),
        [32, 32, 32, 'server-too-busy'].sort(),
        'three more sessions for the site, the fourth frame refused',
      );
      await server.waitFor('question:bounds:other-program');
      assert.equal(hosts().length, 4, 'four hosts for the site');
      assert.match(await otherProgramContext(HOST, work), /^0x[0-9A-F]{8}$/, 'another program still gets a context');
      server.answer('bounds:other-program');
      await server.waitFor('bounds:done');
    });

    // Whose word wins (a block over the user's grant) is the relay's Node test's: here,
    // that each browser's managed storage reaches the relay.
    test("an administrator's policy, read from the browser's managed storage, allows a site unasked and blocks one", async (t) => {
      if (!cardSessionRan) {
        t.skip('no card session: the host or the virtual reader is missing');
        return;
      }
      const allowed = `http://localhost:${port2}`;
      const blocked = `http://127.0.0.1:${port2}`;
      const hosts = hostsSince();
      for (const origin of [allowed, blocked]) await order({ open: `${origin}/site/limits.html?mode=consent&label=${origin}` });
      const pass = await server.waitFor(`consent:${allowed}`);
      assert.ok(pass.readers >= 1, JSON.stringify(pass));
      const block = await server.waitFor(`consent:${blocked}`);
      assert.equal(block.name, 'NotAllowedError', JSON.stringify(block));
      assert.deepEqual([promptsFor(allowed), promptsFor(blocked)], [0, 0], 'no prompt either way');
      await waitUntil(() => hosts().length === 0, 10000, "the end of the allowed page's session");
    });

    test("a dedicated worker of an allowed page runs the draft's example within the page's session", async (t) => {
      if (!cardSessionRan) {
        t.skip('no card session: the host or the virtual reader is missing');
        return;
      }
      const hosts = hostsSince();
      await order({ open: `http://localhost:${port2}/site/workers.html` });
      const { runs, usable, failed } = await server.waitFor('workers');
      assert.equal(failed, undefined, JSON.stringify(failed));
      for (const type of ['classic', 'module']) {
        const seen = runs[type];
        assert.deepEqual(
          { ...seen, readers: seen.readers?.includes(READER) },
          { ...seen, smartCard: 'object', scheme: 'blob:', isContext: true, readers: true, failure: 'unknown-reader' },
          `${type}: ${JSON.stringify(seen)}`,
        );
        // The page holds one of its session's 32 contexts; the module worker gets back
        // what the classic one held once it was terminated.
        assert.equal(seen.contexts, 31, `${type}: ${JSON.stringify(seen)}`);
      }
      assert.equal(usable, true, 'the page keeps its own context');
      await waitUntil(() => hosts().length === 0, 10000, "the end of the page's session");
      await order({});
    });
  });
}
