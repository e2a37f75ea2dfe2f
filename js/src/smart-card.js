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
    case StatusCode.SCARD_W_SECURITY_VIOLATION:
      // The relay's answer to a connect the user denied (and pcscd's to a program polkit refuses).
      return new DOMException(message, 'NotAllowedError');
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

const isArrayBuffer = (value) => Object.prototype.toString.call(value) === '[object ArrayBuffer]';

// BufferSource -> a copy of its bytes. As WebIDL converts a BufferSource: an
// ArrayBuffer (of any realm) or a view of one; shared memory is a TypeError.
function bufferBytes(source, what) {
  if (isArrayBuffer(source)) return new Uint8Array(source.slice(0));
  if (ArrayBuffer.isView(source) && isArrayBuffer(source.buffer)) {
    return new Uint8Array(source.buffer.slice(source.byteOffset, source.byteOffset + source.byteLength));
  }
  throw new TypeError(`${what} must be an ArrayBuffer or a view of one (not of a SharedArrayBuffer)`);
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

/**
 * SmartCardConnectionState for a card state and active protocol; undefined when none
 * fits. The host reports any powered card with an ATR as specific; with no active
 * protocol (a direct connection) that card is one whose protocol is still to be
 * negotiated, which is how pcsc-lite itself reports it: "negotiable".
 */
export function connectionState(state, protocol) {
  const specific = state === WINDOWS_SPECIFIC ? 'specific' : CARD_STATES.find(([bit]) => (state & bit) !== 0)?.[1];
  if (specific !== 'specific') return specific;
  return PROTOCOL_NAMES.get(protocol) ?? (protocol === 0 ? 'negotiable' : undefined);
}

// An AbortSignal member of an options dictionary (undefined when absent).
function signalOption(options, what) {
  const signal = options?.signal;
  if (signal !== undefined && Object.prototype.toString.call(signal) !== '[object AbortSignal]') {
    throw new TypeError(`${what}.signal must be an AbortSignal`);
  }
  return signal;
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

// What a connection needs of its context, and how both are made. The classes'
// static blocks fill these in, so that neither class has a member a page could
// call besides the draft's.
let contextOf;
let connectionOf;
let constructing = false;

function construct(Class) {
  constructing = true;
  try {
    return new Class();
  } finally {
    constructing = false;
  }
}

function newContext(client, handle) {
  const context = contextOf.make(client, handle);
  contextsDropped.register(context, { client, handle }, context);
  return context;
}

const busyMessage = 'An operation is in progress on this context.';

// SmartCardReaderStateIn -> the host's record. Members are converted as WebIDL
// converts a dictionary: in the order of their names.
function readerRecord(entry) {
  if (entry === null || typeof entry !== 'object') throw new TypeError('each reader state must be an object');
  const count = entry.currentCount === undefined ? undefined : unsignedLong(entry.currentCount, 'currentCount');
  if (entry.currentState === null || typeof entry.currentState !== 'object') throw new TypeError('currentState is required');
  if (entry.readerName === undefined) throw new TypeError('readerName is required');
  let state = flagsInToState(entry.currentState);
  if (count !== undefined) state = ((state & 0xffff) | (count << 16)) >>> 0;
  return { reader: String(entry.readerName), currentState: state };
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

  static {
    contextOf = {
      make(client, handle) {
        const context = construct(SmartCardContext);
        context.#client = client;
        context.#handle = handle;
        return context;
      },
      client: (context) => context.#client,
      handle: (context) => context.#handle,
      busy: (context) => context.#operationInProgress,
      begin: (context) => {
        context.#operationInProgress = true;
      },
      end: (context) => context.#clearOperation(),
      run: (context, body) => context.#run(body),
      transactionOn: (context, readerName) => context.#activeReaderTransactions.get(readerName),
      setTransaction: (context, readerName, connection) => {
        if (connection === null) context.#activeReaderTransactions.delete(readerName);
        else context.#activeReaderTransactions.set(readerName, connection);
      },
      forget: (context, connection) => {
        for (const ref of context.#connections) {
          if (ref.deref() === connection || ref.deref() === undefined) context.#connections.delete(ref);
        }
      },
    };
  }

  listReaders() {
    if (this.#operationInProgress) return Promise.reject(invalidState(busyMessage));
    return this.#run(async () => {
      try {
        return await this.#client.listReaderNames(this.#handle);
      } catch (error) {
        throw exceptionFor(error);
      }
    });
  }

  getStatusChange(readerStates, options = {}) {
    // The arguments first (a TypeError wins over the state checks), as WebIDL does.
    let records;
    let signal;
    let timeout = INFINITE;
    try {
      if (readerStates === null || typeof readerStates?.[Symbol.iterator] !== 'function') {
        throw new TypeError('readerStates must be a sequence');
      }
      records = [...readerStates].map(readerRecord);
      signal = signalOption(options, 'options');
      if (options?.timeout !== undefined) {
        const ms = Number(options.timeout);
        if (!(ms >= 0)) throw new TypeError('timeout must be a number of milliseconds, 0 or more');
        timeout = Math.min(INFINITE, Math.ceil(ms));
      }
    } catch (error) {
      return Promise.reject(error);
    }
    if (this.#operationInProgress) return Promise.reject(invalidState(busyMessage));
    if (signal?.aborted) return Promise.reject(abortReason(signal));
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
      return answer.map((r) => ({
        readerName: r.reader,
        eventState: stateToFlagsOut(r.eventState),
        eventCount: r.eventState >>> 16,
        answerToReset: arrayBufferOf(r.atr),
      }));
    });
  }

  connect(readerName, accessMode, options = {}) {
    let share;
    let protocols = 0;
    try {
      if (readerName === undefined || accessMode === undefined) throw new TypeError('connect takes a reader name and an access mode');
      readerName = String(readerName);
      share = enumValue(ACCESS_MODES, accessMode, 'SmartCardAccessMode');
      const preferred = options?.preferredProtocols;
      if (preferred !== undefined) {
        if (preferred === null || typeof preferred[Symbol.iterator] !== 'function') throw new TypeError('preferredProtocols must be a sequence');
        for (const name of preferred) protocols |= enumValue(PROTOCOLS, name, 'SmartCardProtocol');
      }
    } catch (error) {
      return Promise.reject(error);
    }
    if (this.#operationInProgress) return Promise.reject(invalidState(busyMessage));
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
      const connection = connectionOf.make(this, readerName, card, protocol);
      this.#connections.add(new WeakRef(connection));
      connectionsDropped.register(connection, { client: this.#client, context: this.#handle, card }, connection);
      const result = { connection };
      const name = PROTOCOL_NAMES.get(protocol);
      if (name !== undefined) result.activeProtocol = name;
      return result;
    });
  }

  // Runs one host call as "the" operation of this context: it is marked in progress
  // now (synchronously, so an overlapping call sees it) and cleared when it settles.
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

  // Clears the operation and ends a transaction whose callback settled meanwhile.
  #clearOperation() {
    this.#operationInProgress = false;
    for (const ref of [...this.#connections]) {
      const connection = ref.deref();
      if (connection === undefined) {
        this.#connections.delete(ref);
        continue;
      }
      connectionOf.endSettledTransaction(connection);
      if (this.#operationInProgress) return;
    }
  }
}

// ---- SmartCardConnection ----

export class SmartCardConnection {
  #context = null;
  #readerName = null;
  #card = null; // the host's card handle; null once disconnected
  #activeProtocol = 0;
  #transaction = null; // { pendingDisposition, pendingException, resolve, reject, settled }

  constructor() {
    if (!constructing) throw new TypeError('Illegal constructor');
  }

  static {
    connectionOf = {
      make(context, readerName, card, protocol) {
        const connection = construct(SmartCardConnection);
        connection.#context = context;
        connection.#readerName = readerName;
        connection.#card = card;
        connection.#activeProtocol = protocol;
        return connection;
      },
      endSettledTransaction: (connection) => connection.#endSettledTransaction(),
    };
  }

  // The draft's common checks, in its order; a message when the call must be refused.
  #refusal({ transactionOfAnother = true } = {}) {
    const context = this.#context;
    if (contextOf.busy(context)) return busyMessage;
    const holder = contextOf.transactionOn(context, this.#readerName);
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
    const client = contextOf.client(context);
    return contextOf.run(context, async () => {
      try {
        return done(await call(client, contextOf.handle(context), this.#card));
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
        contextOf.forget(this.#context, this);
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
    let signal;
    try {
      if (typeof transaction !== 'function') throw new TypeError('the transaction must be a function');
      signal = signalOption(options, 'options');
    } catch (error) {
      return Promise.reject(error);
    }
    const refusal = this.#refusal({ transactionOfAnother: false });
    if (refusal !== null) return Promise.reject(invalidState(refusal));
    if (this.#transaction !== null) return Promise.reject(invalidState('This connection has a transaction already.'));
    if (signal?.aborted) return Promise.reject(abortReason(signal));

    const context = this.#context;
    const client = contextOf.client(context);
    return new Promise((resolve, reject) => {
      contextOf.begin(context);
      // The signal guards the wait for the transaction to begin, and only that. The
      // host cannot cancel a begin that waits for another program's transaction:
      // an abort settles the promise at once, and a begin that still succeeds is
      // ended with "leave" without running the callback. The context stays busy
      // until the host has answered both.
      let abandoned = false;
      const onAbort = () => {
        abandoned = true;
        reject(abortReason(signal));
      };
      signal?.addEventListener('abort', onAbort, { once: true });
      client.beginTransaction(contextOf.handle(context), this.#card).then(
        () => {
          signal?.removeEventListener('abort', onAbort);
          if (abandoned) this.#leaveAbandoned();
          else this.#began(transaction, resolve, reject);
        },
        (error) => {
          signal?.removeEventListener('abort', onAbort);
          contextOf.end(context);
          if (!abandoned) reject(exceptionFor(error));
        },
      );
    });
  }

  // A transaction that began after its signal fired: nothing runs in it.
  #leaveAbandoned() {
    const context = this.#context;
    const done = () => contextOf.end(context);
    if (this.#card === null) {
      done();
      return;
    }
    contextOf
      .client(context)
      .endTransaction(contextOf.handle(context), this.#card, DISPOSITIONS.get('leave'))
      .then(done, done);
  }

  #began(transaction, resolve, reject) {
    const context = this.#context;
    contextOf.end(context);
    const state = { pendingDisposition: null, pendingException: null, resolve, reject, settled: false };
    this.#transaction = state;
    contextOf.setTransaction(context, this.#readerName, this);

    // Settles the transaction once with `disposition`; `exception` (if any) rejects it.
    const settle = (disposition, exception) => {
      if (state.settled) return;
      state.settled = true;
      if (exception !== null) state.pendingException = exception;
      if (contextOf.busy(context)) state.pendingDisposition = disposition;
      else this.#endTransaction(disposition);
    };

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
        const busy = contextOf.busy(context);
        settle(value ?? 'reset', busy ? invalidState('The transaction ended while an operation was in progress.') : null);
      },
      (reason) => settle('reset', reason),
    );
  }

  // Called by the context when its operation clears.
  #endSettledTransaction() {
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
      contextOf.setTransaction(context, this.#readerName, null);
      this.#transaction = null;
      state.reject(invalidState('The connection is disconnected.'));
      return;
    }
    contextOf.begin(context);
    contextOf
      .client(context)
      .endTransaction(contextOf.handle(context), this.#card, DISPOSITIONS.get(disposition))
      .then(
        () => this.#transactionEnded(state, null),
        (error) => this.#transactionEnded(state, error),
      );
  }

  #transactionEnded(state, error) {
    const context = this.#context;
    contextOf.setTransaction(context, this.#readerName, null);
    this.#transaction = null;
    contextOf.end(context);
    if (state.pendingException !== null) state.reject(state.pendingException);
    else if (error !== null) state.reject(exceptionFor(error));
    else state.resolve(undefined);
  }
}

// ---- navigator.smartCard ----

export const INTERFACES = Object.freeze({ SmartCardResourceManager, SmartCardContext, SmartCardConnection, SmartCardError });

/**
 * Makes the four interfaces globals of `global` (as a browser's interface objects:
 * writable, configurable, not enumerable), each where the global has none, so that
 * a page's `error instanceof SmartCardError` works.
 */
export function exposeInterfaces(global = globalThis) {
  for (const [name, value] of Object.entries(INTERFACES)) {
    if (!Object.hasOwn(global, name)) Object.defineProperty(global, name, { value, writable: true, configurable: true, enumerable: false });
  }
}

/**
 * Defines navigator.smartCard (the same object on every read) and the interfaces as
 * globals where the browser has none; returns the one in place otherwise. `options`
 * go to SmartCardResourceManager; `options.global` (default globalThis) gets the
 * interfaces.
 */
export function installSmartCard(target = globalThis.navigator, { global = globalThis, ...options } = {}) {
  if (target.smartCard !== undefined) return target.smartCard;
  const manager = new SmartCardResourceManager(options);
  exposeInterfaces(global);
  Object.defineProperty(target, 'smartCard', { value: manager, enumerable: true, configurable: true });
  return manager;
}
