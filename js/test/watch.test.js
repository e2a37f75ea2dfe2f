import { test } from 'node:test';
import assert from 'node:assert/strict';

import { ScardBridgeClient, ReaderState, PNP_NOTIFICATION, StatusCode, formatHex32 } from '../src/vorn-scard-client.js';
import { FakePort, within } from './fake_port.js';

// A small model of the service behind the host: readers, cards, and status-change
// waits that answer when a reader's state differs from what the caller knew.
class FakeService {
  constructor(port, readers, { pnp = true } = {}) {
    this.readers = new Map(readers.map((name) => [name, { present: false, atr: '', counter: 0 }]));
    this.pnp = pnp;
    this.pnpCounter = 0;
    this.waits = [];
    this.nextContext = 1;
    this.released = [];
    this.cancelled = [];
    port.script((r) => this.handle(r));
  }

  state(name) {
    if (name === PNP_NOTIFICATION) return this.pnp ? (this.pnpCounter << 16) >>> 0 : null;
    const reader = this.readers.get(name);
    if (!reader) return null;
    return ((reader.counter << 16) | (reader.present ? ReaderState.PRESENT : ReaderState.EMPTY)) >>> 0;
  }

  // null: nothing changed for this wait
  evaluate(entries) {
    let changed = false;
    const out = ['0x00000000', String(entries.length)];
    for (const { current, name } of entries) {
      const state = this.state(name);
      if (state === null) return { status: 'error', result: ['0x80100009', 'The specified reader name is not recognized'] };
      const differs = state !== ((current & ~ReaderState.CHANGED) >>> 0);
      changed ||= differs;
      const reader = this.readers.get(name);
      out.push(formatHex32(current), formatHex32(differs ? state | ReaderState.CHANGED : state), reader?.present ? reader.atr : '');
    }
    return changed ? { status: 'success', result: out } : null;
  }

  handle(r) {
    switch (r.command) {
      case 'establish_context':
        return { status: 'success', result: ['0x00000000', formatHex32(this.nextContext++)] };
      case 'release_context':
        this.released.push(r.params[0]);
        return { status: 'success', result: ['0x00000000'] };
      case 'list_readers':
        return { status: 'success', result: ['0x00000000', [...this.readers.keys()].join(',')] };
      case 'cancel': {
        this.cancelled.push(r.params[0]);
        const mine = this.waits.filter((w) => w.context === r.params[0]);
        this.waits = this.waits.filter((w) => w.context !== r.params[0]);
        for (const w of mine) w.resolve({ status: 'error', result: ['0x80100002', 'cancelled'] });
        return { status: 'success', result: ['0x00000000'] };
      }
      case 'get_status_change': {
        const [context, timeout, , ...rest] = r.params;
        const entries = [];
        for (let i = 0; i + 2 < rest.length; i += 3) entries.push({ current: rest[i], name: rest[i + 2] });
        const now = this.evaluate(entries);
        if (now) return now;
        if (timeout === 0) return { status: 'error', result: ['0x8010000A', 'timeout'] };
        return new Promise((resolve) => this.waits.push({ context, entries, resolve }));
      }
      default:
        return { status: 'error', result: 'command_not_supported' };
    }
  }

  wake() {
    const waits = this.waits;
    this.waits = [];
    for (const w of waits) {
      const answer = this.evaluate(w.entries);
      if (answer) w.resolve(answer);
      else this.waits.push(w);
    }
  }

  insert(name, atr) {
    Object.assign(this.readers.get(name), { present: true, atr, counter: this.readers.get(name).counter + 1 });
    this.wake();
  }

  remove(name) {
    Object.assign(this.readers.get(name), { present: false, atr: '', counter: this.readers.get(name).counter + 1 });
    this.wake();
  }

  plug(name) {
    this.readers.set(name, { present: false, atr: '', counter: 0 });
    this.pnpCounter++;
    this.wake();
  }

  waitingCount() {
    return this.waits.length;
  }
}

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

test('watchCards reports readers plugged in through the PnP notification', async () => {
  const port = new FakePort();
  const service = new FakeService(port, ['Reader A']);
  const client = new ScardBridgeClient(port);
  const events = eventQueue();
  const watch = client.watchCards({ onEvent: (e) => events.push(e) });
  await untilWaiting(service);
  service.plug('Reader C');
  assert.deepEqual(await events.next(), { type: 'reader-added', reader: 'Reader C', atr: '', initial: false });
  await untilWaiting(service);
  service.insert('Reader C', '3B01');
  assert.deepEqual(await events.next(), { type: 'inserted', reader: 'Reader C', atr: '3B01', initial: false });
  await untilWaiting(service);
  await within(watch.stop());
});

test('watchCards works where the PnP pseudo reader is unknown', async () => {
  const port = new FakePort();
  const service = new FakeService(port, ['Reader A'], { pnp: false });
  const client = new ScardBridgeClient(port);
  const events = eventQueue();
  const errors = [];
  const watch = client.watchCards({ onEvent: (e) => events.push(e), onError: (e) => errors.push(e) });
  await untilWaiting(service);
  service.insert('Reader A', '3B02');
  assert.deepEqual(await events.next(), { type: 'inserted', reader: 'Reader A', atr: '3B02', initial: false });
  await untilWaiting(service);
  await within(watch.stop());
  assert.deepEqual(errors, []);
});

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
