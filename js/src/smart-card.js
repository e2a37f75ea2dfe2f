// navigator.smartCard on top of the host: the Web Smart Card API's interfaces,
// member by member, each call becoming one host command through a client
// (vorn-scard-client.js). Where the host and the draft cannot meet, the choice
// is written down in docs/web-smart-card.md ("Member by member").

import { ScardBridgeClient, ScardError, StatusCode, formatHex32, hexToBytes } from './vorn-scard-client.js';

// ---- the draft's enums as PC/SC values ----

const ACCESS_MODES = new Map([
  ['shared', 2],
  ['exclusive', 1],
  ['direct', 3],
]);
const PROTOCOLS = new Map([
  ['raw', 4],
  ['t0', 1],
  ['t1', 2],
]);
const PROTOCOL_NAMES = new Map([...PROTOCOLS].map(([name, value]) => [value, name]));
const DISPOSITIONS = new Map([
  ['leave', 0],
  ['reset', 1],
  ['unpower', 2],
  ['eject', 3],
]);

// SmartCardReaderStateFlagsIn / Out members and their SCARD_STATE_* bits.
const FLAGS_IN = Object.freeze({
  unaware: 0x0000,
  ignore: 0x0001,
  unavailable: 0x0008,
  empty: 0x0010,
  present: 0x0020,
  exclusive: 0x0080,
  inuse: 0x0100,
  mute: 0x0200,
  unpowered: 0x0400,
});
const FLAGS_OUT = Object.freeze({
  ignore: 0x0001,
  changed: 0x0002,
  unknown: 0x0004,
  unavailable: 0x0008,
  empty: 0x0010,
  present: 0x0020,
  exclusive: 0x0080,
  inuse: 0x0100,
  mute: 0x0200,
  unpowered: 0x0400,
});

// SCARD_ABSENT ... SCARD_SPECIFIC as pcsc-lite numbers them. The service reports
// them as a set of bits (a powered card is also present), so the highest bit
// says which state the card is in.
const CARD_STATES = [
  [0x40, 'specific'],
  [0x20, 'negotiable'],
  [0x10, 'powered'],
  [0x08, 'swallowed'],
  [0x04, 'present'],
  [0x02, 'absent'],
];
// Windows numbers SCARD_SPECIFIC 6; the host passes that on for one platform.
const WINDOWS_SPECIFIC = 6;

/** The SmartCardResponseCode for each PC/SC code that has one. */
export const RESPONSE_CODES = Object.freeze({
  [StatusCode.SCARD_E_NO_SERVICE]: 'no-service',
  [StatusCode.SCARD_E_NO_SMARTCARD]: 'no-smartcard',
  [StatusCode.SCARD_E_NOT_READY]: 'not-ready',
  [StatusCode.SCARD_E_NOT_TRANSACTED]: 'not-transacted',
  [StatusCode.SCARD_E_PROTO_MISMATCH]: 'proto-mismatch',
  [StatusCode.SCARD_E_READER_UNAVAILABLE]: 'reader-unavailable',
  [StatusCode.SCARD_W_REMOVED_CARD]: 'removed-card',
  [StatusCode.SCARD_W_RESET_CARD]: 'reset-card',
  [StatusCode.SCARD_E_SERVER_TOO_BUSY]: 'server-too-busy',
  [StatusCode.SCARD_E_SHARING_VIOLATION]: 'sharing-violation',
  [StatusCode.SCARD_E_SYSTEM_CANCELLED]: 'system-cancelled',
  [StatusCode.SCARD_E_UNKNOWN_READER]: 'unknown-reader',
  [StatusCode.SCARD_W_UNPOWERED_CARD]: 'unpowered-card',
  [StatusCode.SCARD_W_UNRESPONSIVE_CARD]: 'unresponsive-card',
  [StatusCode.SCARD_W_UNSUPPORTED_CARD]: 'unsupported-card',
  [StatusCode.SCARD_E_UNSUPPORTED_FEATURE]: 'unsupported-feature',
});
const RESPONSE_CODE_NAMES = new Set(Object.values(RESPONSE_CODES));

// The host refuses a control input over 4,096 hexadecimal digits.
export const MAX_CONTROL_INPUT = 2048;
const INFINITE = 0xffffffff;

export class SmartCardError extends DOMException {
  #responseCode;

  constructor(message = '', options) {
    super(String(message), 'SmartCardError');
    const code = options?.responseCode;
    if (!RESPONSE_CODE_NAMES.has(code)) {
      throw new TypeError(`responseCode must be a SmartCardResponseCode, not ${JSON.stringify(code)}`);
    }
    this.#responseCode = code;
  }

  get responseCode() {
    return this.#responseCode;
  }
}

/** The exception the draft gives for a PC/SC code (any code but SCARD_S_SUCCESS). */
export function errorForCode(code, message = '') {
  const value = code >>> 0;
  const responseCode = RESPONSE_CODES[value];
  if (responseCode !== undefined) return new SmartCardError(message, { responseCode });
  switch (value) {
    case StatusCode.SCARD_E_INVALID_PARAMETER:
      return new TypeError(message);
    case StatusCode.SCARD_E_INVALID_HANDLE:
    case StatusCode.SCARD_E_SERVICE_STOPPED:
      return new DOMException(message, 'InvalidStateError');
    case StatusCode.SCARD_P_SHUTDOWN:
      return new DOMException(message, 'AbortError');
    default:
      return new DOMException(message, 'UnknownError');
  }
}

// What a failure of the client becomes for the page.
function exceptionFor(error) {
  if (!(error instanceof ScardError)) return error;
  switch (error.kind) {
    case 'scard':
      return errorForCode(error.code, error.message);
    case 'unsupported':
      // An older host without the command (set_attrib).
      return new SmartCardError(error.message, { responseCode: 'unsupported-feature' });
    case 'rejected':
    case 'invalid_argument':
      return new TypeError(error.message);
    case 'denied':
      return new DOMException(error.message, 'SecurityError');
    case 'disconnected':
    case 'version':
      return new SmartCardError(error.message, { responseCode: 'no-service' });
    default:
      return new DOMException(error.message, 'UnknownError');
  }
}

function invalidState(message) {
  return new DOMException(message, 'InvalidStateError');
}

// BufferSource -> a copy of its bytes.
function bufferBytes(source, what) {
  if (source instanceof ArrayBuffer) return new Uint8Array(source.slice(0));
  if (ArrayBuffer.isView(source)) return new Uint8Array(source.buffer.slice(source.byteOffset, source.byteOffset + source.byteLength));
  throw new TypeError(`${what} must be an ArrayBuffer or a view of one`);
}

function arrayBufferOf(hex) {
  return hexToBytes(hex).buffer;
}

// [EnforceRange] unsigned long.
function unsignedLong(value, what) {
  const number = Number(value);
  if (!Number.isFinite(number)) throw new TypeError(`${what} must be a finite number`);
  const whole = Math.trunc(number);
  if (whole < 0 || whole > 0xffffffff) throw new TypeError(`${what} is outside the range of an unsigned long`);
  return whole;
}

function enumValue(table, value, what) {
  const result = table.get(value);
  if (result === undefined) {
    throw new TypeError(`${JSON.stringify(value)} is not a valid value of ${what} (${[...table.keys()].join(', ')})`);
  }
  return result;
}

/** SmartCardReaderStateFlagsIn -> SCARD_STATE_* bits. */
export function flagsInToState(flags = {}) {
  let state = 0;
  for (const [name, bit] of Object.entries(FLAGS_IN)) if (flags[name]) state |= bit;
  return state >>> 0;
}

/** SCARD_STATE_* bits -> SmartCardReaderStateFlagsOut. */
export function stateToFlagsOut(state) {
  const flags = {};
  for (const [name, bit] of Object.entries(FLAGS_OUT)) flags[name] = (state & bit) === bit;
  return flags;
}

/** SmartCardConnectionState for a card state and active protocol; undefined when none fits. */
export function connectionState(state, protocol) {
  const specific = state === WINDOWS_SPECIFIC ? 'specific' : CARD_STATES.find(([bit]) => (state & bit) !== 0)?.[1];
  if (specific !== 'specific') return specific;
  const name = PROTOCOL_NAMES.get(protocol);
  return name === 'raw' || name === 't0' || name === 't1' ? name : undefined;
}

function abortReason(signal) {
  return signal.reason ?? new DOMException('The operation was aborted.', 'AbortError');
}

// ---- release of what a page dropped ----

// A page cannot release a context (the draft has no call for it) and the host
// holds at most 32 per session: what becomes unreachable is released here.
const contextsDropped = new FinalizationRegistry(({ client, handle }) => {
  if (client.connected) client.releaseContext(handle).catch(() => {});
});
const connectionsDropped = new FinalizationRegistry(({ client, context, card }) => {
  if (client.connected) client.disconnect(context, card, DISPOSITIONS.get('leave')).catch(() => {});
});

// ---- SmartCardResourceManager ----

export class SmartCardResourceManager {
  #connect;
  #client = null;
  #connecting = null;

  /**
   * @param options.connect () => a ScardBridgeClient (or a promise of one). Default:
   *   the extension's native port (ScardBridgeClient.connect()), opened on the first
   *   establishContext and again after the host went away.
   */
  constructor({ connect = () => ScardBridgeClient.connect() } = {}) {
    this.#connect = connect;
  }

  async #ready() {
    if (this.#client === null || !this.#client.connected) {
      this.#connecting ??= (async () => {
        try {
          this.#client = await this.#connect();
        } finally {
          this.#connecting = null;
        }
      })();
      await this.#connecting;
    }
    const client = this.#client;
    await client.ready;
    return client;
  }

  async establishContext() {
    try {
      const client = await this.#ready();
      return newContext(client, await client.establishContext());
    } catch (error) {
      throw exceptionFor(error);
    }
  }
}

// ---- SmartCardContext ----

let constructing = false;

// Contexts and connections are made here only: their constructors are not public.
function construct(Class, ...attach) {
  constructing = true;
  try {
    const made = new Class();
    made._attach(...attach);
    return made;
  } finally {
    constructing = false;
  }
}

function newContext(client, handle) {
  const context = construct(SmartCardContext, client, handle);
  contextsDropped.register(context, { client, handle }, context);
  return context;
}

export class SmartCardContext {
  #client = null;
  #handle = null;
  #operationInProgress = false;
  #activeReaderTransactions = new Map(); // reader name -> connection
  #connections = new Set(); // WeakRef: a connection the page dropped may be collected
  #signal = null;

  constructor() {
    if (!constructing) throw new TypeError('Illegal constructor');
  }

  _attach(client, handle) {
    this.#client = client;
    this.#handle = handle;
  }

  listReaders() {
    if (this.#operationInProgress) return Promise.reject(invalidState('An operation is in progress on this context.'));
    return this.#run(async () => {
      try {
        return await this.#client.listReaderNames(this.#handle);
      } catch (error) {
        throw exceptionFor(error);
      }
    });
  }

  getStatusChange(readerStates, options = {}) {
    const signal = options?.signal;
    if (this.#operationInProgress) return Promise.reject(invalidState('An operation is in progress on this context.'));
    if (signal?.aborted) return Promise.reject(abortReason(signal));
    let records;
    let timeout = INFINITE;
    try {
      if (options?.timeout !== undefined) {
        const ms = Number(options.timeout);
        if (!(ms >= 0)) throw new TypeError('timeout must be a number of milliseconds, 0 or more');
        timeout = Math.min(INFINITE, Math.ceil(ms));
      }
      records = [...readerStates].map((entry) => {
        if (typeof entry?.readerName !== 'string') throw new TypeError('readerName is required');
        if (entry.currentState === null || typeof entry.currentState !== 'object') {
          throw new TypeError('currentState is required');
        }
        let state = flagsInToState(entry.currentState);
        if (entry.currentCount !== undefined) state = ((state & 0xffff) | (unsignedLong(entry.currentCount, 'currentCount') << 16)) >>> 0;
        return { reader: entry.readerName, currentState: state };
      });
    } catch (error) {
      return Promise.reject(error);
    }
    const cancel = () => this.#client.cancel(this.#handle).catch(() => {});
    if (signal) {
      this.#signal = signal;
      signal.addEventListener('abort', cancel);
    }
    return this.#run(async () => {
      let answer;
      let failure;
      try {
        answer = await this.#client.getStatusChange(this.#handle, timeout, records);
      } catch (error) {
        failure = error;
      }
      let reason;
      if (this.#signal !== null) {
        if (this.#signal.aborted) reason = abortReason(this.#signal);
        this.#signal.removeEventListener('abort', cancel);
        this.#signal = null;
      }
      if (failure !== undefined) {
        if (reason !== undefined && failure instanceof ScardError && failure.code === StatusCode.SCARD_E_CANCELLED) throw reason;
        throw exceptionFor(failure);
      }
      return answer.map((r) => {
        const out = {
          readerName: r.reader,
          eventState: stateToFlagsOut(r.eventState),
          eventCount: r.eventState >>> 16,
        };
        out.answerToReset = arrayBufferOf(r.atr);
        return out;
      });
    });
  }

  connect(readerName, accessMode, options = {}) {
    if (this.#operationInProgress) return Promise.reject(invalidState('An operation is in progress on this context.'));
    let share;
    let protocols = 0;
    try {
      readerName = String(readerName);
      share = enumValue(ACCESS_MODES, accessMode, 'SmartCardAccessMode');
      for (const name of options?.preferredProtocols ?? []) protocols |= enumValue(PROTOCOLS, name, 'SmartCardProtocol');
    } catch (error) {
      return Promise.reject(error);
    }
    if (this.#activeReaderTransactions.has(readerName)) {
      return Promise.reject(invalidState(`A transaction is active on "${readerName}" in this context.`));
    }
    return this.#run(async () => {
      let card;
      let protocol;
      try {
        ({ card, protocol } = await this.#client.connect(this.#handle, readerName, share, protocols));
      } catch (error) {
        throw exceptionFor(error);
      }
      const connection = newConnection(this, readerName, card, protocol);
      this.#connections.add(new WeakRef(connection));
      connectionsDropped.register(connection, { client: this.#client, context: this.#handle, card }, connection);
      const result = { connection };
      const name = PROTOCOL_NAMES.get(protocol);
      if (name !== undefined) result.activeProtocol = name;
      return result;
    });
  }

  // What SmartCardConnection needs of its context (not part of the interface).

  _client() {
    return this.#client;
  }

  _handle() {
    return this.#handle;
  }

  _busy() {
    return this.#operationInProgress;
  }

  _transactionOn(readerName) {
    return this.#activeReaderTransactions.get(readerName);
  }

  _setTransaction(readerName, connection) {
    if (connection === null) this.#activeReaderTransactions.delete(readerName);
    else this.#activeReaderTransactions.set(readerName, connection);
  }

  _forget(connection) {
    for (const ref of this.#connections) if (ref.deref() === connection || ref.deref() === undefined) this.#connections.delete(ref);
  }

  // Runs one host call as "the" operation of this context: it is marked in progress
  // now (synchronously, so an overlapping call sees it) and cleared when it settles.
  _run(body) {
    return this.#run(body);
  }

  #run(body) {
    this.#operationInProgress = true;
    return (async () => {
      try {
        return await body();
      } finally {
        this.#clearOperation();
      }
    })();
  }

  _begin() {
    this.#operationInProgress = true;
  }

  _end() {
    this.#clearOperation();
  }

  // Clears the operation and ends a transaction whose callback settled meanwhile.
  #clearOperation() {
    this.#operationInProgress = false;
    for (const ref of [...this.#connections]) {
      const connection = ref.deref();
      if (connection === undefined) {
        this.#connections.delete(ref);
        continue;
      }
      connection._endSettledTransaction();
      if (this.#operationInProgress) return;
    }
  }
}

// ---- SmartCardConnection ----

function newConnection(context, readerName, card, protocol) {
  return construct(SmartCardConnection, context, readerName, card, protocol);
}

export class SmartCardConnection {
  #context = null;
  #readerName = null;
  #card = null; // the host's card handle; null once disconnected
  #activeProtocol = 0;
  #transaction = null; // { pendingDisposition, pendingException, resolve, reject, settled }

  constructor() {
    if (!constructing) throw new TypeError('Illegal constructor');
  }

  _attach(context, readerName, card, protocol) {
    this.#context = context;
    this.#readerName = readerName;
    this.#card = card;
    this.#activeProtocol = protocol;
  }

  // The draft's common checks, in its order; a message when the call must be refused.
  #refusal({ transactionOfAnother = true } = {}) {
    const context = this.#context;
    if (context._busy()) return 'An operation is in progress on this context.';
    const holder = context._transactionOn(this.#readerName);
    if (transactionOfAnother ? holder !== undefined && holder !== this : holder !== undefined) {
      return `A transaction is active on "${this.#readerName}" in this context.`;
    }
    if (this.#card === null) return 'The connection is disconnected.';
    return null;
  }

  // One host call under the draft's rules, its answer converted by `done`.
  #call(call, done = () => undefined) {
    const refusal = this.#refusal();
    if (refusal !== null) return Promise.reject(invalidState(refusal));
    const context = this.#context;
    const client = context._client();
    return context._run(async () => {
      try {
        return done(await call(client, context._handle(), this.#card));
      } catch (error) {
        throw exceptionFor(error);
      }
    });
  }

  disconnect(disposition = 'leave') {
    let value;
    try {
      value = enumValue(DISPOSITIONS, disposition, 'SmartCardDisposition');
    } catch (error) {
      return Promise.reject(error);
    }
    return this.#call(
      (client, context, card) => client.disconnect(context, card, value),
      () => {
        connectionsDropped.unregister(this);
        this.#card = null;
        this.#context._forget(this);
      },
    );
  }

  transmit(sendBuffer, options = {}) {
    let bytes;
    let protocol = this.#activeProtocol;
    try {
      bytes = bufferBytes(sendBuffer, 'sendBuffer');
      if (options?.protocol !== undefined) protocol = enumValue(PROTOCOLS, options.protocol, 'SmartCardProtocol');
    } catch (error) {
      return Promise.reject(error);
    }
    const refusal = this.#refusal();
    if (refusal === null && !PROTOCOL_NAMES.has(protocol)) {
      return Promise.reject(invalidState('The connection has no protocol to transmit with (a direct connection?).'));
    }
    return this.#call(
      (client, context, card) => client.transmit(context, card, protocol, bytes),
      (reply) => arrayBufferOf(reply.response),
    );
  }

  status() {
    return this.#call(
      (client, context, card) => client.status(context, card),
      (status) => {
        const state = connectionState(status.state, status.protocol);
        if (state === undefined) {
          throw new DOMException(
            `The card's state ${formatHex32(status.state)} with protocol ${status.protocol} has no SmartCardConnectionState.`,
            'UnknownError',
          );
        }
        return { readerName: status.reader, state, answerToReset: arrayBufferOf(status.atr) };
      },
    );
  }

  control(controlCode, data) {
    let code;
    let bytes;
    try {
      code = unsignedLong(controlCode, 'controlCode');
      bytes = bufferBytes(data, 'data');
      if (bytes.length > MAX_CONTROL_INPUT) {
        throw new TypeError(`the host takes at most ${MAX_CONTROL_INPUT} bytes of control input, not ${bytes.length}`);
      }
    } catch (error) {
      return Promise.reject(error);
    }
    return this.#call((client, context, card) => client.control(context, card, code, bytes), arrayBufferOf);
  }

  getAttribute(tag) {
    let id;
    try {
      id = unsignedLong(tag, 'tag');
    } catch (error) {
      return Promise.reject(error);
    }
    return this.#call((client, context, card) => client.getAttrib(context, card, id), arrayBufferOf);
  }

  setAttribute(tag, value) {
    let id;
    let bytes;
    try {
      id = unsignedLong(tag, 'tag');
      bytes = bufferBytes(value, 'value');
    } catch (error) {
      return Promise.reject(error);
    }
    return this.#call((client, context, card) => client.setAttrib(context, card, id, bytes));
  }

  startTransaction(transaction, options = {}) {
    const signal = options?.signal;
    if (typeof transaction !== 'function') return Promise.reject(new TypeError('the transaction must be a function'));
    const refusal = this.#refusal({ transactionOfAnother: false });
    if (refusal !== null) return Promise.reject(invalidState(refusal));
    if (this.#transaction !== null) return Promise.reject(invalidState('This connection has a transaction already.'));
    if (signal?.aborted) return Promise.reject(abortReason(signal));

    const context = this.#context;
    const client = context._client();
    return new Promise((resolve, reject) => {
      context._begin();
      // The host has no way to cancel a transaction being begun: an abort ends it
      // as soon as it has begun (see onAbort below for one that already has).
      client.beginTransaction(context._handle(), this.#card).then(
        () => this.#began(transaction, signal, resolve, reject),
        (error) => {
          context._end();
          reject(signal?.aborted ? abortReason(signal) : exceptionFor(error));
        },
      );
    });
  }

  #began(transaction, signal, resolve, reject) {
    const context = this.#context;
    context._end();
    const state = { pendingDisposition: null, pendingException: null, resolve, reject, settled: false };
    this.#transaction = state;
    context._setTransaction(this.#readerName, this);

    // Settles the transaction once with `disposition`; `exception` (if any) rejects it.
    const settle = (disposition, exception) => {
      if (state.settled) return;
      state.settled = true;
      signal?.removeEventListener('abort', onAbort);
      if (exception !== null) state.pendingException = exception;
      if (context._busy()) state.pendingDisposition = disposition;
      else this.#endTransaction(disposition);
    };
    // Aborting a transaction that has begun ends it at once (reset), whatever the
    // callback still does: the host cannot cancel a call to the card.
    const onAbort = () => settle('reset', abortReason(signal));
    if (signal?.aborted) {
      settle('leave', abortReason(signal));
      return;
    }
    signal?.addEventListener('abort', onAbort);

    let callbackResult;
    try {
      callbackResult = Promise.resolve(transaction());
    } catch (error) {
      callbackResult = Promise.reject(error);
    }
    callbackResult.then(
      (value) => {
        // The callback's value is a SmartCardDisposition or nothing (then "reset");
        // any other value fails its conversion, which rejects like a throw.
        if (value !== undefined && value !== null && !DISPOSITIONS.has(value)) {
          settle('reset', new TypeError(`${JSON.stringify(value)} is not a valid value of SmartCardDisposition`));
          return;
        }
        const busy = context._busy();
        settle(value ?? 'reset', busy ? invalidState('The transaction ended while an operation was in progress.') : null);
      },
      (reason) => settle('reset', reason),
    );
  }

  // Called by the context when its operation clears.
  _endSettledTransaction() {
    const state = this.#transaction;
    if (state === null || state.pendingDisposition === null) return;
    const disposition = state.pendingDisposition;
    state.pendingDisposition = null;
    this.#endTransaction(disposition);
  }

  #endTransaction(disposition) {
    const state = this.#transaction;
    const context = this.#context;
    if (this.#card === null) {
      context._setTransaction(this.#readerName, null);
      this.#transaction = null;
      state.reject(invalidState('The connection is disconnected.'));
      return;
    }
    const client = context._client();
    context._begin();
    client.endTransaction(context._handle(), this.#card, DISPOSITIONS.get(disposition)).then(
      () => this.#transactionEnded(state, null),
      (error) => this.#transactionEnded(state, error),
    );
  }

  #transactionEnded(state, error) {
    const context = this.#context;
    context._setTransaction(this.#readerName, null);
    this.#transaction = null;
    context._end();
    if (state.pendingException !== null) state.reject(state.pendingException);
    else if (error !== null) state.reject(exceptionFor(error));
    else state.resolve(undefined);
  }
}

// ---- navigator.smartCard ----

/**
 * Defines navigator.smartCard (the same object on every read) where the browser has
 * none; returns the one in place otherwise. `options` go to SmartCardResourceManager.
 */
export function installSmartCard(target = globalThis.navigator, options = {}) {
  if (target.smartCard !== undefined) return target.smartCard;
  const manager = new SmartCardResourceManager(options);
  Object.defineProperty(target, 'smartCard', { value: manager, enumerable: true, configurable: true });
  return manager;
}

