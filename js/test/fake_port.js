// A stand-in for runtime.Port: records what the client posts and lets a test
// answer, or script a whole host. Every wait is bounded so no test can hang.

export class FakePort {
  constructor(name = 'com.vorn.scard_bridge') {
    this.name = name;
    this.sent = [];
    this.disconnectedByClient = false;
    this.error = undefined;
    this._messageListeners = [];
    this._disconnectListeners = [];
    this._waiters = [];
    this._handler = null;
    this.onMessage = {
      addListener: (fn) => this._messageListeners.push(fn),
      removeListener: (fn) => (this._messageListeners = this._messageListeners.filter((f) => f !== fn)),
    };
    this.onDisconnect = {
      addListener: (fn) => this._disconnectListeners.push(fn),
      removeListener: (fn) => (this._disconnectListeners = this._disconnectListeners.filter((f) => f !== fn)),
    };
  }

  // ---- the client's side ----

  postMessage(message) {
    if (this.disconnectedByClient || this.error) throw new Error('Attempting to use a disconnected port object');
    // Like the browser, the host gets a JSON copy.
    const copy = JSON.parse(JSON.stringify(message));
    this.sent.push(copy);
    if (this._handler) {
      queueMicrotask(() => this._handler(copy, this));
      return;
    }
    const waiter = this._waiters.shift();
    if (waiter) waiter(copy);
  }

  disconnect() {
    this.disconnectedByClient = true;
  }

  // ---- the test's side ----

  /** The next request the client posts (or one already posted and not yet taken). */
  nextRequest(timeoutMs = 2000) {
    if (this._taken === undefined) this._taken = 0;
    if (this._taken < this.sent.length) return Promise.resolve(this.sent[this._taken++]);
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`no request within ${timeoutMs} ms`)), timeoutMs);
      this._waiters.push((message) => {
        clearTimeout(timer);
        this._taken++;
        resolve(message);
      });
    });
  }

  /** Delivers a message from the host, asynchronously as browsers do. */
  deliver(message) {
    return new Promise((resolve) => {
      setImmediate(() => {
        for (const fn of this._messageListeners) fn(message);
        resolve();
      });
    });
  }

  answer(request, status, result) {
    return this.deliver({ requestId: request.requestId, result, status });
  }

  /** The browser closing the port from the host's side (host exited, not found...). */
  hostDisconnect(errorMessage) {
    if (errorMessage !== undefined) this.error = { message: errorMessage };
    for (const fn of this._disconnectListeners) fn(this);
  }

  /** Answers every request with handler(request) -> { status, result } | null (no answer). */
  script(handler) {
    this._handler = (request) => {
      const reply = handler(request);
      if (reply === null || reply === undefined) return;
      Promise.resolve(reply).then((r) => {
        if (r) this.answer(request, r.status, r.result);
      });
    };
  }
}

/** Rejects when `promise` takes longer than timeoutMs, so a broken client fails instead of hanging. */
export function within(promise, timeoutMs = 2000, what = 'operation') {
  let timer;
  return Promise.race([
    promise.finally(() => clearTimeout(timer)),
    new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error(`${what} did not finish within ${timeoutMs} ms`)), timeoutMs);
    }),
  ]);
}

/** The error `promise` rejects with (within the bound); fails the test when it resolves. */
export async function rejection(promise) {
  try {
    await within(promise);
  } catch (error) {
    return error;
  }
  throw new Error('expected the promise to reject');
}
