// A card session of the client against pcscd and the virtual card; the host's end.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import path from 'node:path';
import { VirtualCard, DEFAULT_ATR, SELECT_TEST_APPLET, READ_TEST_RECORD } from '../virtual_card.mjs';
import { ROOT, SHUTDOWN_BANNER, STEP_TIMEOUT_MS, alive, hostLog, waitUntil } from '../harness.mjs';
import { CARD_MODE, VPCD_PORT, READER, PIN_PAD_READER, RESTART_PCSCD, PCSCD_CONFIG, stopPcscd } from '../session.mjs';

export default function cardSession(s) {
  test('a whole card session against pcscd and the virtual card', async (t) => {
    const { server } = s;
    if (!s.cardSessionWanted) {
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
    s.card = new VirtualCard({ port: VPCD_PORT });
    await s.card.insert();

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
    assert.deepEqual(s.card.apdus.slice(0, 3), [SELECT_TEST_APPLET, READ_TEST_RECORD, '00A4040005F000000001']);

    const { rejected } = await server.waitFor('short-apdu');
    assert.equal(rejected.kind, 'rejected');
    assert.match(rejected.message, /APDU command too short/);

    const { status } = await server.waitFor('status');
    assert.equal(status.reader, READER);
    assert.equal(status.atr, DEFAULT_ATR);
    assert.equal(status.protocol, 2);

    await server.waitFor('card-disconnected');
    await server.waitFor('question:detach-card');
    await s.card.remove();
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
    s.cardSessionRan = true;
  });

  test('a PIN is verified on the PIN pad of the test reader driver', async (t) => {
    const { server } = s;
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
    const { server } = s;
    if (!s.cardSessionRan || !RESTART_PCSCD) {
      t.skip(s.cardSessionRan ? 'pcscd ran before the test: it is not the test\'s to stop' : 'no card session');
      return;
    }
    await server.waitFor('question:restart:insert-card');
    s.card = new VirtualCard({ port: VPCD_PORT });
    await s.card.insert();
    server.answer('restart:insert-card');
    await server.waitFor('restart:watching');

    await stopPcscd();
    const seen = (type) => server.reports.some((r) => r.step === 'restart:event' && r.event.type === type);
    await waitUntil(() => seen('reader-removed'), STEP_TIMEOUT_MS, 'the watch reporting the reader gone');
    s.card.socket?.destroy(); // vpcd went with pcscd
    const started = spawnSync(path.join(ROOT, 'tests/fixtures/start_pcscd.sh'), PCSCD_CONFIG ? ['--config', PCSCD_CONFIG] : [], {
      encoding: 'utf8',
      timeout: 30000,
    });
    assert.equal(started.status, 0, started.stdout + started.stderr);
    s.card = new VirtualCard({ port: VPCD_PORT });
    await s.card.insert();

    await server.waitFor('question:restart:remove-card');
    await s.card.remove();
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
    const { browser, dirs, server } = s;
    const closed = await server.waitFor('port-closed');
    const [pid] = s.hostPids;
    await waitUntil(() => !alive(pid), 10000, `the exit of host ${pid}`);
    const gone = Date.now();
    // A browser kills a host that outlives the port (Chromium: SIGKILL after
    // 2 s; Firefox: SIGTERM after 3 s, then SIGKILL): the closing banner after
    // the end of input shows that it ended by itself.
    await waitUntil(() => hostLog(dirs.home).includes(SHUTDOWN_BANNER), 5000, 'the closing banner in the log');
    const log = hostLog(dirs.home);
    assert.match(log, /Pipe closed by Chrome, exiting/);
    assert.ok(s.running.exitCode === null, `${browser.title} itself is still running`);
    console.log(`# ${browser.name}: host ${pid} gone ${gone - closed.receivedAt} ms after the extension reported the port closed`);
  });
}
