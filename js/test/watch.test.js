import { test } from 'node:test';
import assert from 'node:assert/strict';

import { ScardBridgeClient, StatusCode, formatHex32 } from '../src/vorn-scard-client.js';
import { FakePort, within } from './fake_port.js';
import { FakeService } from './fake_service.js';

// Collects events and lets a test wait, bounded, for the next one.
function eventQueue() {
  const events = [];
  const waiters = [];
  return {
    push(event) {
      const waiter = waiters.shift();
      if (waiter) waiter(event);
      else events.push(event);
    },
    next(timeoutMs = 2000) {
      if (events.length > 0) return Promise.resolve(events.shift());
      return within(new Promise((resolve) => waiters.push(resolve)), timeoutMs, 'the next card event');
    },
    get pending() {
      return events.length;
    },
  };
}

// Resolves once the service has a wait pending (the watcher is idle), bounded.
async function untilWaiting(service, count = 1) {
  for (let i = 0; i < 200 && service.waitingCount() < count; i++) await new Promise((r) => setImmediate(r));
  assert.ok(service.waitingCount() >= count, 'the watcher should be waiting on the service');
}

test('watchCards reports the card already present, then removals and insertions', async () => {
  const port = new FakePort();
  const service = new FakeService(port, ['Reader A', 'Reader B']);
  service.insert('Reader A', '3B00');
  const client = new ScardBridgeClient(port);
  const events = eventQueue();
  const errors = [];
  const watch = client.watchCards({ onEvent: (e) => events.push(e), onError: (e) => errors.push(e) });

  assert.deepEqual(await events.next(), { type: 'inserted', reader: 'Reader A', atr: '3B00', initial: true });
  await untilWaiting(service);
  service.insert('Reader B', '3B8F8001');
  assert.deepEqual(await events.next(), { type: 'inserted', reader: 'Reader B', atr: '3B8F8001', initial: false });
  await untilWaiting(service);
  service.remove('Reader A');
  assert.deepEqual(await events.next(), { type: 'removed', reader: 'Reader A', atr: '', initial: false });

  await untilWaiting(service);
  await within(watch.stop(), 2000, 'stop');
  assert.deepEqual(service.cancelled, ['0x00000001']);
  assert.deepEqual(service.released, ['0x00000001'], 'the watcher releases the context it made');
  assert.equal(events.pending, 0);
  assert.deepEqual(errors, []);
});

// Where the PnP notification cannot be waited on, readers are listed every pollIntervalMs.
for (const pnp of ['notify', 'unknown-reader', 'flagged']) {
  test(`watchCards reports a reader plugged in and its card (PnP: ${pnp})`, async () => {
    const port = new FakePort();
    const service = new FakeService(port, ['Reader A'], { pnp });
    const client = new ScardBridgeClient(port);
    const events = eventQueue();
    const errors = [];
    const watch = client.watchCards({ onEvent: (e) => events.push(e), onError: (e) => errors.push(e), pollIntervalMs: 20 });
    await untilWaiting(service);
    service.plug('Reader C');
    assert.deepEqual(await events.next(), { type: 'reader-added', reader: 'Reader C', atr: '', initial: false });
    service.insert('Reader C', '3B01');
    assert.deepEqual(await events.next(), { type: 'inserted', reader: 'Reader C', atr: '3B01', initial: false });
    await within(watch.stop());
    assert.deepEqual(errors, []);
    assert.equal(events.pending, 0);
  });
}

test('watchCards on a given context and readers neither makes nor releases a context', async () => {
  const port = new FakePort();
  const service = new FakeService(port, ['Reader A', 'Reader B']);
  const client = new ScardBridgeClient(port);
  const events = eventQueue();
  const watch = client.watchCards({ context: '0x00000042', readers: ['Reader B'], onEvent: (e) => events.push(e) });
  await untilWaiting(service);
  service.insert('Reader A', '3B03'); // not watched
  service.insert('Reader B', '3B04');
  assert.deepEqual(await events.next(), { type: 'inserted', reader: 'Reader B', atr: '3B04', initial: false });
  await untilWaiting(service);
  await within(watch.stop());
  assert.ok(!port.sent.some((r) => r.command === 'establish_context' || r.command === 'release_context'));
  assert.ok(!port.sent.some((r) => r.command === 'get_status_change' && r.params.includes('Reader A')));
});

test('watchCards ends with onError when the host goes away', async () => {
  const port = new FakePort();
  const service = new FakeService(port, ['Reader A']);
  const client = new ScardBridgeClient(port);
  const errors = [];
  const watch = client.watchCards({ onEvent: () => {}, onError: (e) => errors.push(e) });
  await untilWaiting(service);
  port.hostDisconnect('Native host has exited.');
  await within(watch.done, 2000, 'the watcher to end');
  assert.equal(errors.length, 1);
  assert.equal(errors[0].kind, 'disconnected');
});

test('waitForCard resolves when a card arrives', async () => {
  const port = new FakePort();
  const service = new FakeService(port, ['Reader A', 'Reader B']);
  const client = new ScardBridgeClient(port);
  const waiting = client.waitForCard('0x00000007');
  await untilWaiting(service);
  service.insert('Reader B', '3B8F8001');
  assert.deepEqual(await within(waiting), { reader: 'Reader B', atr: '3B8F8001' });
});

test('waitForCard resolves at once for a card already there', async () => {
  const port = new FakePort();
  const service = new FakeService(port, ['Reader A']);
  service.insert('Reader A', '3B05');
  const client = new ScardBridgeClient(port);
  assert.deepEqual(await within(client.waitForCard('0x00000007')), { reader: 'Reader A', atr: '3B05' });
});

test('waitForCard stops with SCARD_E_CANCELLED when its signal aborts', async () => {
  const port = new FakePort();
  const service = new FakeService(port, ['Reader A']);
  const client = new ScardBridgeClient(port);
  const abort = new AbortController();
  const waiting = client.waitForCard('0x00000007', { signal: abort.signal });
  await untilWaiting(service);
  abort.abort();
  const error = await within(waiting).then(
    () => assert.fail('expected a rejection'),
    (e) => e,
  );
  assert.equal(error.code, StatusCode.SCARD_E_CANCELLED);
  assert.deepEqual(service.cancelled, ['0x00000007']);
});

test('waitForCard with no reader connected fails at once', async () => {
  const port = new FakePort();
  new FakeService(port, []);
  const client = new ScardBridgeClient(port);
  const error = await within(client.waitForCard('0x00000001')).then(
    () => assert.fail('expected a rejection'),
    (e) => e,
  );
  assert.equal(error.codeName, 'SCARD_E_NO_READERS_AVAILABLE');
});

// ---- the service going away under a running watch ----

const { SCARD_F_COMM_ERROR, SCARD_E_NO_SERVICE, SCARD_E_SERVICE_STOPPED, SCARD_W_SECURITY_VIOLATION } = StatusCode;
const LOSSES = [
  { what: 'pcscd restarting', waitCode: SCARD_F_COMM_ERROR, downCode: SCARD_E_NO_SERVICE },
  { what: 'a daemon that crashed', waitCode: SCARD_E_NO_SERVICE, downCode: SCARD_E_NO_SERVICE },
  { what: 'pcscd going while a call was on its way in', waitCode: SCARD_W_SECURITY_VIOLATION, downCode: SCARD_E_NO_SERVICE },
  { what: "Windows' service stopping with its last reader", waitCode: SCARD_E_SERVICE_STOPPED, downCode: SCARD_E_SERVICE_STOPPED, unplug: true },
];
const RETRY = { retryDelayMs: 10, maxRetryDelayMs: 40 };

async function until(predicate, what) {
  for (let i = 0; i < 400 && !predicate(); i++) await new Promise((r) => setTimeout(r, 5));
  assert.ok(predicate(), what);
}

for (const { what, waitCode, downCode, unplug = false } of LOSSES) {
  test(`watchCards survives ${what}: the readers go, then come back with their cards`, async (t) => {
    const timers = t.mock.method(globalThis, 'setTimeout');
    const retries = () => timers.mock.calls.map((c) => c.arguments[1]).filter((ms) => [10, 20, 40].includes(ms));
    const port = new FakePort();
    const service = new FakeService(port, ['Reader A']);
    service.insert('Reader A', '3B00');
    const client = new ScardBridgeClient(port);
    const events = eventQueue();
    const errors = [];
    const watch = client.watchCards({ onEvent: (e) => events.push(e), onError: (e) => errors.push(e), ...RETRY });
    assert.deepEqual(await events.next(), { type: 'inserted', reader: 'Reader A', atr: '3B00', initial: true });

    for (let round = 0; round < 2; round++) {
      await untilWaiting(service);
      const before = { retries: retries().length, established: service.established };
      service.stop(waitCode, downCode, { unplug });
      assert.deepEqual(await events.next(), { type: 'removed', reader: 'Reader A', atr: '', initial: false });
      assert.deepEqual(await events.next(), { type: 'reader-removed', reader: 'Reader A', atr: '', initial: false });
      await until(() => service.established >= before.established + 4, 'new contexts are tried while the service is away');
      // Back-off from retryDelayMs, doubling up to maxRetryDelayMs, from the start again after each recovery.
      assert.deepEqual(retries().slice(before.retries, before.retries + 4), [10, 20, 40, 40]);
      if (unplug) service.plug('Reader A');
      service.start();
      if (unplug) service.insert('Reader A', '3B00');
      assert.deepEqual(await events.next(), { type: 'reader-added', reader: 'Reader A', atr: '', initial: false });
      assert.deepEqual(await events.next(), { type: 'inserted', reader: 'Reader A', atr: '3B00', initial: false });
    }
    await untilWaiting(service);
    await within(watch.stop());
    assert.deepEqual(errors, []);
    assert.equal(events.pending, 0);
    // The lost contexts are given back to the host, and so is the last one.
    assert.deepEqual(service.released.slice(0, 1), ['0x00000001']);
    assert.equal(service.released.at(-1), formatHex32(service.nextContext - 1));
  });
}

test('watchCards started while the service is stopped waits for it', async () => {
  const port = new FakePort();
  const service = new FakeService(port, []);
  service.stop(SCARD_E_SERVICE_STOPPED, SCARD_E_SERVICE_STOPPED);
  const client = new ScardBridgeClient(port);
  const events = eventQueue();
  const errors = [];
  const watch = client.watchCards({ onEvent: (e) => events.push(e), onError: (e) => errors.push(e), ...RETRY });
  await until(() => service.established >= 3, 'new contexts are tried');
  service.plug('Reader A');
  service.start();
  assert.deepEqual(await events.next(), { type: 'reader-added', reader: 'Reader A', atr: '', initial: false });
  await untilWaiting(service);
  await within(watch.stop());
  assert.deepEqual(errors, []);
});

test('stop() ends a watch that waits for the service at once', async () => {
  const port = new FakePort();
  const service = new FakeService(port, []);
  service.stop(SCARD_E_NO_SERVICE, SCARD_E_NO_SERVICE);
  const client = new ScardBridgeClient(port);
  const watch = client.watchCards({ onEvent: () => {}, retryDelayMs: 60000 });
  await until(() => service.established === 1, 'a first context is tried');
  await within(watch.stop(), 2000, 'stop during the back-off');
  assert.equal(service.established, 1);
});

test('watchCards ends with onError on a failure that a new context does not mend', async () => {
  const port = new FakePort();
  const service = new FakeService(port, ['Reader A']);
  const client = new ScardBridgeClient(port);
  const errors = [];
  const watch = client.watchCards({ onEvent: () => {}, onError: (e) => errors.push(e), ...RETRY });
  await untilWaiting(service);
  service.stop(StatusCode.SCARD_F_INTERNAL_ERROR, StatusCode.SCARD_F_INTERNAL_ERROR);
  await within(watch.done, 2000, 'the watcher to end');
  assert.deepEqual(errors.map((e) => e.codeName), ['SCARD_F_INTERNAL_ERROR']);
  assert.equal(service.established, 1);
});
