// navigator.smartCard over a scripted host, for what the browser test cannot make
// happen with pcscd and the virtual card: every PC/SC code's exception, card
// states other platforms report, an older host or one of another version, a
// transaction whose callback returns while a call still runs, and contexts a page
// dropped. The explainer's examples run in real browsers (tests/browser).

import { test } from 'node:test';
import assert from 'node:assert/strict';

import { ScardBridgeClient, StatusCode, formatHex32 } from '../src/vorn-scard-client.js';
import {
  SmartCardError,
  SmartCardResourceManager,
  SmartCardContext,
  SmartCardConnection,
  errorForCode,
  connectionState,
  flagsInToState,
  stateToFlagsOut,
  installSmartCard,
} from '../src/smart-card.js';
import { FakePort, within, rejection } from './fake_port.js';

const OK = '0x00000000';
const CONTEXT = '0x0000C0DE';
const CARD = '0x0000CA2D';

// A host answering like ours: `overrides[command](request)` returns { status, result } or null (no answer yet).
function scriptedHost(overrides = {}) {
  const port = new FakePort();
  const answers = {
    get_version: () => ({ status: 'success', result: '1.0.0' }),
    establish_context: () => ({ status: 'success', result: [OK, CONTEXT] }),
    release_context: () => ({ status: 'success', result: [OK] }),
    list_readers_array: () => ({ status: 'success', result: [OK, 'Reader, with a comma', 'Reader B'] }),
    connect: () => ({ status: 'success', result: [OK, CONTEXT, CARD, '0x00000002'] }),
    disconnect: () => ({ status: 'success', result: [OK] }),
    begin_transaction: () => ({ status: 'success', result: [OK] }),
    end_transaction: () => ({ status: 'success', result: [OK] }),
    transmit: () => ({ status: 'success', result: [OK, CONTEXT, CARD, '2', '9000'] }),
    ...overrides,
  };
  port.script((request) => answers[request.command]?.(request) ?? { status: 'error', result: 'command_not_supported' });
  const manager = new SmartCardResourceManager({
    connect: () => {
      const client = new ScardBridgeClient(port);
      client.checkHostVersion();
      return client;
    },
  });
  return { port, manager, sent: (command) => port.sent.filter((r) => r.command === command) };
}

async function connected(overrides) {
  const host = scriptedHost(overrides);
  const context = await within(host.manager.establishContext());
  const { connection } = await within(context.connect('Reader B', 'shared', { preferredProtocols: ['t1'] }));
  return { ...host, context, connection };
}

const CODE_CASES = [
  ['SCARD_E_NO_SERVICE', 'SmartCardError', 'no-service'],
  ['SCARD_E_NO_SMARTCARD', 'SmartCardError', 'no-smartcard'],
  ['SCARD_E_NOT_READY', 'SmartCardError', 'not-ready'],
  ['SCARD_E_NOT_TRANSACTED', 'SmartCardError', 'not-transacted'],
  ['SCARD_E_PROTO_MISMATCH', 'SmartCardError', 'proto-mismatch'],
  ['SCARD_E_READER_UNAVAILABLE', 'SmartCardError', 'reader-unavailable'],
  ['SCARD_W_REMOVED_CARD', 'SmartCardError', 'removed-card'],
  ['SCARD_W_RESET_CARD', 'SmartCardError', 'reset-card'],
  ['SCARD_E_SERVER_TOO_BUSY', 'SmartCardError', 'server-too-busy'],
  ['SCARD_E_SHARING_VIOLATION', 'SmartCardError', 'sharing-violation'],
  ['SCARD_E_SYSTEM_CANCELLED', 'SmartCardError', 'system-cancelled'],
  ['SCARD_E_UNKNOWN_READER', 'SmartCardError', 'unknown-reader'],
  ['SCARD_W_UNPOWERED_CARD', 'SmartCardError', 'unpowered-card'],
  ['SCARD_W_UNRESPONSIVE_CARD', 'SmartCardError', 'unresponsive-card'],
  ['SCARD_W_UNSUPPORTED_CARD', 'SmartCardError', 'unsupported-card'],
  ['SCARD_E_UNSUPPORTED_FEATURE', 'SmartCardError', 'unsupported-feature'],
  ['SCARD_E_INVALID_PARAMETER', 'TypeError', null],
  ['SCARD_E_INVALID_HANDLE', 'InvalidStateError', null],
  ['SCARD_E_SERVICE_STOPPED', 'InvalidStateError', null],
  ['SCARD_W_SECURITY_VIOLATION', 'NotAllowedError', null],
  ['SCARD_P_SHUTDOWN', 'AbortError', null],
  // The session limits (32 contexts, 64 cards) and everything else the table does not name.
  ['SCARD_E_NO_MEMORY', 'UnknownError', null],
  ['SCARD_E_TIMEOUT', 'UnknownError', null],
  ['SCARD_F_UNKNOWN_ERROR', 'UnknownError', null],
];

for (const [code, name, responseCode] of CODE_CASES) {
  test(`the host's ${code} reaches the page as ${responseCode ?? name}`, async () => {
    const { context } = await connected({
      list_readers_array: () => ({ status: 'error', result: [formatHex32(StatusCode[code]), `Error in handle_smartcard_list_readers: ${code}`] }),
    });
    const error = await rejection(context.listReaders());
    assert.equal(error.name, name);
    assert.equal(error.responseCode, responseCode ?? undefined);
    assert.equal(error instanceof SmartCardError, responseCode !== null);
    assert.equal(errorForCode(StatusCode[code]).name, name);
  });
}

test('a SmartCardError needs a SmartCardResponseCode', () => {
  const error = new SmartCardError('no card', { responseCode: 'no-smartcard' });
  assert.ok(error instanceof DOMException);
  assert.deepEqual([error.name, error.message, error.responseCode], ['SmartCardError', 'no card', 'no-smartcard']);
  assert.throws(() => new SmartCardError('x', { responseCode: 'no-card' }), TypeError);
});

const STATE_CASES = [
  // pcsc-lite reports a set of bits: the highest one is the state.
  [0x02, 2, 'absent'],
  [0x04, 0, 'present'],
  [0x0c, 0, 'swallowed'],
  [0x1c, 0, 'powered'],
  [0x3c, 0, 'negotiable'],
  [0x74, 1, 't0'],
  [0x74, 2, 't1'],
  [0x74, 4, 'raw'],
  // Windows' SCARD_SPECIFIC as a number.
  [6, 2, 't1'],
  // The host's specific with no protocol (a direct connection): still to be negotiated.
  [0x74, 0, 'negotiable'],
  [6, 0, 'negotiable'],
  // A protocol that is none of the three, or no state at all: nothing fits (UnknownError).
  [0x74, 3, undefined],
  [0x00, 2, undefined],
];

for (const [state, protocol, expected] of STATE_CASES) {
  test(`card state ${formatHex32(state)} with protocol ${protocol} is ${expected ?? 'no SmartCardConnectionState'}`, () => {
    assert.equal(connectionState(state, protocol), expected);
  });
}

test('reader-state flags go both ways, the event count in the high word', () => {
  assert.equal(flagsInToState({ unaware: true }), 0);
  assert.equal(flagsInToState({ empty: true, inuse: true, mute: true, unpowered: true }), 0x0710);
  const out = stateToFlagsOut(0x00030026);
  assert.deepEqual(Object.entries(out).filter(([, on]) => on).map(([name]) => name), ['changed', 'unknown', 'present']);
});

test('contexts cannot be made by the page, only by establishContext', () => {
  assert.throws(() => new SmartCardContext(), TypeError);
});

test('a reader name with a comma stays whole; an older host gets list_readers and is not asked again', async () => {
  const { context } = await connected();
  assert.deepEqual(await within(context.listReaders()), ['Reader, with a comma', 'Reader B']);

  const old = await connected({
    list_readers_array: undefined,
    list_readers: () => ({ status: 'success', result: [OK, 'Reader A,Reader B'] }),
  });
  assert.deepEqual(await within(old.context.listReaders()), ['Reader A', 'Reader B']);
  assert.deepEqual(await within(old.context.listReaders()), ['Reader A', 'Reader B']);
  assert.equal(old.sent('list_readers_array').length, 1);
});

test('no reader connected is an empty list', async () => {
  const { context } = await connected({
    list_readers_array: () => ({ status: 'error', result: ['0x8010002E', 'Error in handle_smartcard_list_readers: no readers'] }),
  });
  assert.deepEqual(await within(context.listReaders()), []);
});

test('setAttribute sends the tag and the bytes; a host without set_attrib is "unsupported-feature"', async () => {
  const { connection, sent } = await connected({ set_attrib: () => ({ status: 'success', result: [OK] }) });
  await within(connection.setAttribute(0x0007a001, new Uint8Array([0xca, 0xfe]).subarray(1)));
  assert.deepEqual(sent('set_attrib')[0].params, [CONTEXT, CARD, 0x0007a001, 'FE']);

  const old = await connected();
  const error = await rejection(old.connection.setAttribute(0x0007a001, new Uint8Array([1])));
  assert.deepEqual([error.name, error.responseCode], ['SmartCardError', 'unsupported-feature']);
});

test('a host of another major version is refused with both versions named', async () => {
  const { manager, sent } = scriptedHost({ get_version: () => ({ status: 'success', result: '2.0.0' }) });
  const error = await rejection(manager.establishContext());
  assert.deepEqual([error.name, error.responseCode], ['SmartCardError', 'no-service']);
  assert.match(error.message, /host is version 2\.0\.0.*for host 1\.x/);
  assert.equal(sent('establish_context').length, 0, 'nothing reaches a host the client cannot use');
});

test("a transaction whose callback returns while its transmit still runs ends after it, rejected", async () => {
  let answerTransmit;
  const { connection, sent } = await connected({ transmit: () => new Promise((resolve) => (answerTransmit = resolve)) });
  const transaction = connection.startTransaction(async () => {
    connection.transmit(new Uint8Array([0, 0xa4, 4, 0])).catch(() => {});
    return 'eject';
  });
  for (let i = 0; i < 100 && answerTransmit === undefined; i++) await new Promise((resolve) => setImmediate(resolve));
  assert.equal(sent('end_transaction').length, 0, 'the transaction waits for the transmit');
  answerTransmit({ status: 'success', result: [OK, CONTEXT, CARD, '2', '9000'] });
  const error = await rejection(transaction);
  assert.equal(error.name, 'InvalidStateError');
  assert.deepEqual(sent('end_transaction')[0].params, [CONTEXT, CARD, 3]);
});

// The transaction's signal guards the wait for the begin, and only that.
const SIGNAL_CASES = [
  {
    name: 'an abort after the begin is ignored: the callback runs on and its disposition ends it',
    abortWhile: 'callback',
    begin: 'success',
    settles: 'resolved',
    callbackRan: true,
    ends: [0],
  },
  {
    name: 'an abort while the begin waits rejects at once; a begin that succeeds later is left, the callback never runs',
    abortWhile: 'begin',
    begin: 'success',
    settles: 'reason',
    callbackRan: false,
    ends: [0],
  },
  {
    name: 'an abort while the begin waits rejects at once; a begin that fails later ends nothing',
    abortWhile: 'begin',
    begin: 'failure',
    settles: 'reason',
    callbackRan: false,
    ends: [],
  },
];

for (const { name, abortWhile, begin, settles, callbackRan, ends } of SIGNAL_CASES) {
  test(name, async () => {
    let answerBegin;
    const { connection, context, sent } = await connected({ begin_transaction: () => new Promise((resolve) => (answerBegin = resolve)) });
    const controller = new AbortController();
    const reason = new Error('stop waiting');
    let ran = false;
    let release;
    const transaction = connection.startTransaction(
      () => {
        ran = true;
        return new Promise((resolve) => (release = resolve));
      },
      { signal: controller.signal },
    );
    let settled = null;
    transaction.then(
      () => (settled = 'resolved'),
      (error) => (settled = error === reason ? 'reason' : error),
    );
    const turns = async (until) => {
      for (let i = 0; i < 100 && !until(); i++) await new Promise((resolve) => setImmediate(resolve));
    };
    await turns(() => answerBegin !== undefined);
    if (abortWhile === 'begin') {
      controller.abort(reason);
      await turns(() => settled !== null);
      assert.equal(settled, 'reason', 'settled before the host answered the begin');
    }
    answerBegin(begin === 'success' ? { status: 'success', result: [OK] } : { status: 'error', result: ['0x80100069', 'removed'] });
    if (abortWhile === 'callback') {
      await turns(() => release !== undefined);
      controller.abort(reason);
      release('leave');
    }
    await turns(() => settled !== null && sent('end_transaction').length === ends.length);
    await turns(() => false); // let a wrong late call show up
    assert.equal(settled, settles);
    assert.equal(ran, callbackRan);
    assert.deepEqual(sent('end_transaction').map((r) => r.params[2]), ends);
    assert.deepEqual(await within(context.listReaders()), ['Reader, with a comma', 'Reader B'], 'the context serves afterwards');
  });
}

test('while the context is busy, a bad argument is a TypeError first (argument conversion comes first)', async () => {
  const { context, connection } = await connected({ get_status_change: () => null });
  const wait = context.getStatusChange([{ readerName: 'Reader B', currentState: { empty: true } }]);
  const shared = new Uint8Array(new SharedArrayBuffer(4));
  const calls = [
    context.connect('Reader B', 'bogus'),
    context.connect('Reader B', 'shared', { preferredProtocols: ['t2'] }),
    context.getStatusChange([{ readerName: 'Reader B' }]),
    context.getStatusChange([{ readerName: 'Reader B', currentState: {} }], { signal: {} }),
    connection.disconnect('bogus'),
    connection.transmit(shared),
    connection.transmit(new Uint8Array(2), { protocol: 'bogus' }),
    connection.control(NaN, new Uint8Array()),
    connection.setAttribute(1, shared.buffer),
    connection.startTransaction('not a function'),
  ];
  for (const call of calls) assert.equal((await rejection(call)).name, 'TypeError');
  assert.equal((await rejection(context.listReaders())).name, 'InvalidStateError');
  wait.catch(() => {});
});

test('an ArrayBuffer of another realm is a BufferSource; shared memory is not', async () => {
  const vm = await import('node:vm');
  const { connection, sent } = await connected();
  const foreign = vm.runInNewContext('new Uint8Array([0, 0xA4, 4, 0])');
  await within(connection.transmit(foreign));
  assert.equal(sent('transmit')[0].params[3], '00A40400');
  assert.equal((await rejection(connection.transmit(new SharedArrayBuffer(4)))).name, 'TypeError');
});

test('the interfaces have the members of the draft and no others; installSmartCard makes them globals', () => {
  const own = (Class) => Object.getOwnPropertyNames(Class.prototype).sort();
  assert.deepEqual(own(SmartCardResourceManager), ['constructor', 'establishContext']);
  assert.deepEqual(own(SmartCardContext), ['connect', 'constructor', 'getStatusChange', 'listReaders']);
  assert.deepEqual(own(SmartCardConnection), [
    'constructor', 'control', 'disconnect', 'getAttribute', 'setAttribute', 'startTransaction', 'status', 'transmit',
  ]);
  assert.deepEqual(own(SmartCardError), ['constructor', 'responseCode']);
  const global = {};
  installSmartCard({}, { global, connect: () => null });
  assert.deepEqual(Object.keys(global), [], 'not enumerable, as interface objects are');
  assert.equal(global.SmartCardError, SmartCardError);
  assert.equal(global.SmartCardConnection, SmartCardConnection);
  assert.equal(global.SmartCardResourceManager, SmartCardResourceManager);
  assert.equal(global.SmartCardContext, SmartCardContext);
});

test('a context the page dropped is released', { skip: typeof globalThis.gc !== 'function' && 'needs node --expose-gc' }, async () => {
  const { manager, sent } = scriptedHost();
  await within(manager.establishContext());
  for (let i = 0; i < 50 && sent('release_context').length === 0; i++) {
    globalThis.gc();
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
  assert.deepEqual(sent('release_context').map((r) => r.params), [[CONTEXT]]);
});

test('installSmartCard defines navigator.smartCard once, and keeps one already there', () => {
  const target = {};
  const manager = installSmartCard(target, { connect: () => null });
  assert.equal(target.smartCard, manager);
  assert.equal(installSmartCard(target), manager);
  const native = {};
  assert.equal(installSmartCard({ smartCard: native }), native);
});

test('a call on a context while a wait runs is refused at once, not queued behind it', async () => {
  const { context, sent } = await connected({ get_status_change: () => null });
  const wait = context.getStatusChange([{ readerName: 'Reader B', currentState: { empty: true } }]);
  const calls = [
    context.listReaders(),
    context.getStatusChange([{ readerName: 'Reader B', currentState: {} }]),
    context.connect('Reader B', 'shared'),
  ];
  for (const call of calls) assert.equal((await rejection(call)).name, 'InvalidStateError');
  assert.equal(sent('list_readers_array').length, 0);
  assert.equal(sent('get_status_change').length, 1);
  wait.catch(() => {});
});
