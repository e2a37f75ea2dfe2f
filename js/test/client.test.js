import { test } from 'node:test';
import assert from 'node:assert/strict';

import {
  HOST_NAME,
  ScardBridgeClient,
  ScardError,
  StatusCode,
  Protocol,
  ShareMode,
  ReaderState,
  Disposition,
  statusName,
  parseHex32,
  formatHex32,
  toHex,
  hexToBytes,
  readerStateNames,
  cardStateNames,
} from '../src/vorn-scard-client.js';
import { FakePort, within, rejection } from './fake_port.js';

function setup(options) {
  const port = new FakePort();
  const client = new ScardBridgeClient(port, options);
  return { port, client };
}

test('every request has a fresh non-empty requestId, the command and a params array', async () => {
  const { port, client } = setup();
  client.healthcheck();
  client.getVersion();
  client.request('list_readers', ['0x1']);
  const [a, b, c] = [await port.nextRequest(), await port.nextRequest(), await port.nextRequest()];
  assert.deepEqual(Object.keys(a), ['requestId', 'command', 'params']);
  assert.equal(a.command, 'healthcheck');
  assert.deepEqual(a.params, []);
  assert.deepEqual(c.params, ['0x1']);
  for (const r of [a, b, c]) assert.ok(typeof r.requestId === 'string' && r.requestId.length > 0);
  assert.equal(new Set([a.requestId, b.requestId, c.requestId]).size, 3);
});

test('answers are matched by requestId, whatever their order', async () => {
  const { port, client } = setup();
  const first = client.establishContext();
  const second = client.getVersion();
  const r1 = await port.nextRequest();
  const r2 = await port.nextRequest();
  await port.answer(r2, 'success', '1.0.0');
  await port.answer(r1, 'success', ['0x00000000', '0x0A0B0C0D']);
  assert.equal(await within(second), '1.0.0');
  assert.equal(await within(first), '0x0A0B0C0D');
  assert.equal(client.pendingCount, 0);
});

test('healthcheck resolves true on ["OK"]', async () => {
  const { port, client } = setup();
  const healthy = client.healthcheck();
  await port.answer(await port.nextRequest(), 'success', ['OK']);
  assert.equal(await within(healthy), true);
});

test('get_version answers a plain string', async () => {
  const { port, client } = setup();
  const version = client.getVersion();
  await port.answer(await port.nextRequest(), 'success', '1.0.0');
  assert.equal(await within(version), '1.0.0');
});

test('an unsupported command rejects with kind "unsupported"', async () => {
  const { port, client } = setup();
  const p = client.request('frobnicate');
  await port.answer(await port.nextRequest(), 'error', 'command_not_supported');
  const error = await rejection(p);
  assert.ok(error instanceof ScardError && error instanceof Error);
  assert.equal(error.kind, 'unsupported');
  assert.equal(error.command, 'frobnicate');
  assert.equal(error.code, null);
});

test('an error result [codeHex, message] becomes an Error with the code as number and name', async () => {
  const { port, client } = setup();
  const p = client.connect('0x00000001', 'Reader A');
  await port.answer(await port.nextRequest(), 'error', [
    '0x80100009',
    'Error in handle_smartcard_connect: The specified reader name is not recognized',
  ]);
  const error = await rejection(p);
  assert.equal(error.kind, 'scard');
  assert.equal(error.code, 0x80100009);
  assert.equal(error.codeHex, '0x80100009');
  assert.equal(error.codeName, 'SCARD_E_UNKNOWN_READER');
  assert.equal(error.message, 'Error in handle_smartcard_connect: The specified reader name is not recognized');
  assert.equal(error.command, 'connect');
});

test('a parameter error of the host carries SCARD_F_UNKNOWN_ERROR', async () => {
  const { port, client } = setup();
  const p = client.releaseContext('0x1');
  await port.answer(await port.nextRequest(), 'error', ['0x80100014', 'Empty context parameter']);
  const error = await rejection(p);
  assert.equal(error.codeName, 'SCARD_F_UNKNOWN_ERROR');
  assert.equal(error.message, 'Empty context parameter');
});

test('transmit: a "success" carrying ["error", message] is surfaced as an error', async () => {
  const { port, client } = setup();
  const p = client.transmit('0x1', '0x2', Protocol.T1, '00A404');
  const request = await port.nextRequest();
  assert.deepEqual(request.params, ['0x1', '0x2', 2, '00A404']);
  await port.answer(request, 'success', ['error', 'APDU command too short (minimum 4 bytes required)']);
  const error = await rejection(p);
  assert.equal(error.kind, 'rejected');
  assert.match(error.message, /APDU command too short/);
});

test('transmit decodes the response and its status word', async () => {
  const { port, client } = setup();
  const p = client.transmit('0x1', '0x2', Protocol.T1, new Uint8Array([0x00, 0xa4, 0x04, 0x00, 0x00]));
  const request = await port.nextRequest();
  assert.equal(request.params[3], '00A4040000');
  await port.answer(request, 'success', ['0x00000000', '0x00000001', '0x00000002', '2', '6F0A9000']);
  assert.deepEqual(await within(p), { response: '6F0A9000', data: '6F0A', sw: 0x9000, sw1: 0x90, sw2: 0x00 });
});

test('connect, status and list_readers results are decoded, handles stay strings', async () => {
  const { port, client } = setup();
  port.script((r) => {
    switch (r.command) {
      case 'list_readers':
        return { status: 'success', result: ['0x00000000', 'Virtual PCD 00 00,Virtual PCD 00 01'] };
      case 'connect':
        return { status: 'success', result: ['0x00000000', r.params[0], '0x7FFF0001', '0x00000002'] };
      case 'status':
        return {
          status: 'success',
          result: ['0x00000000', r.params[0], r.params[1], 'Virtual PCD 00 00', '0x00000006', '0x00000002', '3B8F8001'],
        };
      default:
        return { status: 'error', result: 'command_not_supported' };
    }
  });
  assert.deepEqual(await within(client.listReaders('0x0A')), ['Virtual PCD 00 00', 'Virtual PCD 00 01']);
  const connected = await within(client.connect('0x0A', 'Virtual PCD 00 00'));
  assert.deepEqual(connected, { card: '0x7FFF0001', protocol: Protocol.T1 });
  assert.deepEqual(port.sent[1].params, ['0x0A', 'Virtual PCD 00 00', ShareMode.SHARED, Protocol.ANY]);
  assert.deepEqual(await within(client.status('0x0A', connected.card)), {
    reader: 'Virtual PCD 00 00',
    state: 6,
    states: ['SPECIFIC'],
    protocol: 2,
    atr: '3B8F8001',
  });
});

test('list_readers with no reader connected gives an empty list', async () => {
  const { port, client } = setup();
  const p = client.listReaders('0x1');
  await port.answer(await port.nextRequest(), 'error', ['0x8010002E', 'Error in handle_smartcard_list_readers: Unknown error: 0x8010002E']);
  assert.deepEqual(await within(p), []);
});

test('is_valid_context is false for an invalid handle and true on success', async () => {
  const { port, client } = setup();
  const bad = client.isValidContext('0x1');
  await port.answer(await port.nextRequest(), 'error', ['0x80100003', 'Error in handle_smartcard_is_valid_context: The supplied handle was invalid']);
  assert.equal(await within(bad), false);
  const good = client.isValidContext('0x2');
  await port.answer(await port.nextRequest(), 'success', ['0x00000000']);
  assert.equal(await within(good), true);
});

test('get_status_change sends reader triples and decodes the states', async () => {
  const { port, client } = setup();
  const p = client.getStatusChange('0x1', 1000, [
    { reader: 'A', currentState: ReaderState.UNAWARE },
    { reader: 'B', currentState: 0x10 },
  ]);
  const request = await port.nextRequest();
  assert.deepEqual(request.params, ['0x1', 1000, 2, 0, 0, 'A', 0x10, 0, 'B']);
  await port.answer(request, 'success', ['0x00000000', '2', '0x00000000', '0x00010022', '3B00', '0x00000010', '0x00000010', '']);
  const [a, b] = await within(p);
  assert.deepEqual(a, {
    reader: 'A',
    currentState: 0,
    eventState: 0x00010022,
    atr: '3B00',
    changed: true,
    present: true,
    eventCount: 1,
    states: ['CHANGED', 'PRESENT'],
  });
  assert.equal(b.present, false);
  assert.deepEqual(b.states, ['EMPTY']);
});

test('commands whose list carries a failing status reject with that status', async () => {
  const { port, client } = setup();
  const icon = client.getReaderIcon('0x1', 'A');
  await port.answer(await port.nextRequest(), 'success', ['0x8010001F']);
  const error = await rejection(icon);
  assert.equal(error.codeName, 'SCARD_E_UNSUPPORTED_FEATURE');
  const type = client.getDeviceTypeId('0x1', 'A');
  await port.answer(await port.nextRequest(), 'success', ['0x00000000', '0x00000020']);
  assert.equal(await within(type), 0x20);
});

test('a disconnect rejects every pending promise and later requests at once', async () => {
  const { port, client } = setup();
  const a = client.getStatusChange('0x1', 60000, [{ reader: 'A' }]);
  const b = client.getVersion();
  await port.nextRequest();
  await port.nextRequest();
  const heard = [];
  client.onDisconnect((e) => heard.push(e));
  port.hostDisconnect('Specified native messaging host not found.');
  for (const p of [a, b]) {
    const error = await rejection(p);
    assert.equal(error.kind, 'disconnected');
    assert.match(error.message, /Specified native messaging host not found/);
    assert.match(error.hint, /vorn-scard-bridge-installer doctor/);
  }
  assert.equal(heard.length, 1);
  assert.equal(client.connected, false);
  assert.equal(client.pendingCount, 0);
  const later = await rejection(client.healthcheck());
  assert.equal(later.kind, 'disconnected');
  assert.equal(port.sent.length, 2, 'nothing is posted after the disconnect');
});

test('Chromium reports the reason in runtime.lastError', async () => {
  const port = new FakePort();
  const runtime = { lastError: { message: 'Native host has exited.' } };
  const client = new ScardBridgeClient(port, { runtime });
  const p = client.healthcheck();
  await port.nextRequest();
  port.hostDisconnect();
  const error = await rejection(p);
  assert.match(error.message, /Native host has exited/);
});

test('close() disconnects the port and rejects what is pending', async () => {
  const { port, client } = setup();
  const p = client.healthcheck();
  await port.nextRequest();
  client.close();
  assert.equal(port.disconnectedByClient, true);
  assert.equal((await rejection(p)).kind, 'disconnected');
  client.close(); // twice is harmless
});

test('a request time-out rejects and a late answer is ignored', async () => {
  const { port, client } = setup();
  const p = client.getVersion({ timeoutMs: 20 });
  const request = await port.nextRequest();
  const error = await rejection(p);
  assert.equal(error.kind, 'timeout');
  await port.answer(request, 'success', '1.0.0');
  assert.equal(client.pendingCount, 0);
  assert.equal(client.connected, true);
});

test('answers for unknown ids and malformed messages are ignored', async () => {
  const { port, client } = setup();
  const p = client.getVersion();
  const request = await port.nextRequest();
  await port.deliver({ requestId: 'nobody', status: 'success', result: 'x' });
  await port.deliver('garbage');
  await port.deliver(null);
  await port.answer(request, 'success', '1.0.0');
  assert.equal(await within(p), '1.0.0');
});

test('an answer of unknown shape rejects with kind "protocol"', async () => {
  const { port, client } = setup();
  const p = client.getVersion();
  await port.answer(await port.nextRequest(), 'maybe', 42);
  assert.equal((await rejection(p)).kind, 'protocol');
});

test('bad arguments reject without posting anything', async () => {
  const { port, client } = setup();
  assert.equal((await rejection(client.releaseContext(''))).kind, 'invalid_argument');
  assert.equal((await rejection(client.connect('0x1', 'A', -1))).kind, 'invalid_argument');
  assert.equal((await rejection(client.transmit('0x1', '0x2', 2, '00A'))).name, 'TypeError');
  assert.equal((await rejection(client.disconnect('0x1', '0x2', 1.5))).kind, 'invalid_argument');
  assert.equal(port.sent.length, 0);
});

test('disconnect, transactions and reconnect send the documented parameters', async () => {
  const { port, client } = setup();
  port.script((r) => {
    if (r.command === 'reconnect') return { status: 'success', result: ['0x00000000', r.params[0], r.params[1], '0x00000001'] };
    if (r.command === 'control') return { status: 'success', result: ['0x00000000', r.params[0], r.params[1], 'AABB'] };
    if (r.command === 'get_attrib') return { status: 'success', result: ['0x00000000', r.params[0], r.params[1], '0x00090303', '01020304'] };
    return { status: 'success', result: ['0x00000000'] };
  });
  await within(client.beginTransaction('0x1', '0x2'));
  await within(client.endTransaction('0x1', '0x2', Disposition.RESET_CARD));
  assert.deepEqual(await within(client.reconnect('0x1', '0x2', ShareMode.EXCLUSIVE, Protocol.T0, Disposition.RESET_CARD)), {
    card: '0x2',
    protocol: 1,
  });
  await within(client.disconnect('0x1', '0x2'));
  assert.equal(await within(client.control('0x1', '0x2', 0x42000d48, [1, 2])), 'AABB');
  assert.equal(await within(client.getAttrib('0x1', '0x2', 0x90303)), '01020304');
  assert.deepEqual(
    port.sent.map((r) => [r.command, r.params]),
    [
      ['begin_transaction', ['0x1', '0x2']],
      ['end_transaction', ['0x1', '0x2', 1]],
      ['reconnect', ['0x1', '0x2', 1, 1, 1]],
      ['disconnect', ['0x1', '0x2', 0]],
      ['control', ['0x1', '0x2', 0x42000d48, '0102']],
      ['get_attrib', ['0x1', '0x2', 0x90303]],
    ],
  );
});

test('shutdown posts the command and expects no answer', async () => {
  const { port, client } = setup();
  await within(client.shutdown());
  assert.equal(port.sent[0].command, 'shutdown');
  assert.equal(client.pendingCount, 0);
});

test('ScardBridgeClient.connect opens the host by its name through runtime.connectNative', () => {
  const names = [];
  const runtime = {
    connectNative(name) {
      names.push(name);
      return new FakePort(name);
    },
  };
  const client = ScardBridgeClient.connect({ runtime });
  assert.deepEqual(names, [HOST_NAME]);
  assert.equal(HOST_NAME, 'com.vorn.scard_bridge');
  assert.equal(client.connected, true);
  assert.throws(() => ScardBridgeClient.connect({ runtime: {} }), /nativeMessaging/);
});

test('connect takes browser.runtime where there is one (Firefox), else chrome.runtime', (t) => {
  const opened = [];
  const runtime = (name) => ({ connectNative: (host) => (opened.push(name), new FakePort(host)) });
  t.after(() => {
    delete globalThis.browser;
    delete globalThis.chrome;
  });
  globalThis.chrome = { runtime: runtime('chrome') };
  ScardBridgeClient.connect();
  globalThis.browser = { runtime: runtime('browser') };
  ScardBridgeClient.connect();
  assert.deepEqual(opened, ['chrome', 'browser']);
});

test("Firefox's reason on the port (port.error) gets a hint", async () => {
  const { port, client } = setup();
  const p = client.healthcheck();
  await port.nextRequest();
  port.hostDisconnect('No such native application com.vorn.scard_bridge');
  const error = await rejection(p);
  assert.equal(error.message, 'the native host disconnected: No such native application com.vorn.scard_bridge');
  assert.match(error.hint, /doctor --firefox-id/);
});

test('codecs and names', () => {
  assert.equal(statusName(0x8010000a), 'SCARD_E_TIMEOUT');
  assert.equal(statusName(StatusCode.SCARD_W_REMOVED_CARD), 'SCARD_W_REMOVED_CARD');
  assert.equal(statusName(0x80100099), 'UNKNOWN_0x80100099');
  assert.equal(parseHex32('0x80100002'), 0x80100002);
  assert.ok(Number.isNaN(parseHex32('zz')));
  assert.equal(formatHex32(-1), '0xFFFFFFFF');
  assert.equal(toHex('00 a4:04 00'), '00A40400');
  assert.deepEqual([...hexToBytes('3B8F')], [0x3b, 0x8f]);
  assert.throws(() => toHex([256]), TypeError);
  assert.deepEqual(readerStateNames(0x22), ['CHANGED', 'PRESENT']);
  assert.deepEqual(cardStateNames(0x34), ['PRESENT', 'POWERED', 'NEGOTIABLE']);
});
