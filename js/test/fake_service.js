// A small model of the PC/SC service behind the host, scripted on a FakePort: readers,
// cards, status-change waits, and the service stopping and starting again.

import {
  ReaderState,
  PNP_NOTIFICATION,
  StatusCode,
  formatHex32,
  statusName,
  INFINITE,
} from '../src/vorn-scard-client.js';

export function failure(code) {
  return { status: 'error', result: [formatHex32(code), statusName(code)] };
}

// Status-change waits answer when a reader's state differs from what the caller knew.
export class FakeService {
  // pnp: "notify" (pcsc-lite, Windows), "unknown-reader" (the pseudo reader fails the wait with
  // SCARD_E_UNKNOWN_READER) or "flagged" (it comes back flagged UNKNOWN, as Apple's PC/SC does).
  constructor(port, readers, { pnp = 'notify' } = {}) {
    this.readers = new Map(readers.map((name) => [name, { present: false, atr: '', counter: 0 }]));
    this.pnp = pnp;
    this.pnpCounter = 0;
    this.waits = [];
    this.nextContext = 1;
    this.released = [];
    this.cancelled = [];
    this.established = 0;
    this.running = true;
    this.downCode = null; // what calls on a context get while the service is stopped
    this.generation = 0; // contexts of an earlier generation died with their service
    this.contexts = new Map(); // handle -> generation
    port.script((r) => this.handle(r));
  }

  state(name) {
    if (name === PNP_NOTIFICATION) {
      if (this.pnp === 'flagged') return ReaderState.UNKNOWN;
      return this.pnp === 'notify' ? (this.pnpCounter << 16) >>> 0 : null;
    }
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
    if (r.command === 'get_version') return { status: 'success', result: '1.0.0' };
    if (r.command === 'establish_context') {
      this.established++;
      if (!this.running) return failure(StatusCode.SCARD_E_NO_SERVICE);
      const context = formatHex32(this.nextContext++);
      this.contexts.set(context, this.generation);
      return { status: 'success', result: ['0x00000000', context] };
    }
    if (r.command === 'release_context') this.released.push(r.params[0]);
    if (!this.running) return failure(this.downCode);
    if (this.contexts.has(r.params[0]) && this.contexts.get(r.params[0]) !== this.generation) {
      return failure(StatusCode.SCARD_E_INVALID_HANDLE);
    }
    switch (r.command) {
      case 'release_context':
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
        if (timeout === 0) return failure(StatusCode.SCARD_E_TIMEOUT);
        return new Promise((resolve) => {
          const wait = { context, entries, resolve };
          // INFINITE does not time out (and is beyond what setTimeout takes).
          const timer = timeout === INFINITE ? undefined : setTimeout(() => {
            this.waits = this.waits.filter((w) => w !== wait);
            resolve(failure(StatusCode.SCARD_E_TIMEOUT));
          }, timeout);
          timer?.unref();
          wait.resolve = (answer) => {
            clearTimeout(timer);
            resolve(answer);
          };
          this.waits.push(wait);
        });
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

  // The service stops: waits in progress fail with waitCode, later calls with downCode
  // (establish_context with SCARD_E_NO_SERVICE); `unplug` takes the readers away with it.
  stop(waitCode, downCode, { unplug = false } = {}) {
    this.running = false;
    this.downCode = downCode;
    if (unplug) this.readers.clear();
    for (const w of this.waits.splice(0)) w.resolve(failure(waitCode));
  }

  start() {
    this.running = true;
    this.generation++;
  }

  waitingCount() {
    return this.waits.length;
  }
}
