// Client for the Vorn Smart Card Bridge native-messaging host.
//
// One native port per client; every request gets a fresh requestId and its own
// promise, answers are matched by requestId (the host answers in the order the
// requests finish, not the order they were sent). Plain ES module, no build
// step: copy this file into an extension and import it.

export const HOST_NAME = 'com.vorn.scard_bridge';
/** The host's major version this client speaks to (get_version answers "1.x.y"). */
export const HOST_MAJOR_VERSION = 1;

// PC/SC constants, as pcsc-lite and the macOS framework number them.
export const Scope = Object.freeze({ USER: 0, TERMINAL: 1, SYSTEM: 2 });
export const ShareMode = Object.freeze({ EXCLUSIVE: 1, SHARED: 2, DIRECT: 3 });
export const Protocol = Object.freeze({ UNDEFINED: 0, T0: 1, T1: 2, RAW: 4, T15: 8, ANY: 3 });
export const Disposition = Object.freeze({ LEAVE_CARD: 0, RESET_CARD: 1, UNPOWER_CARD: 2, EJECT_CARD: 3 });
export const ReaderState = Object.freeze({
  UNAWARE: 0x0000,
  IGNORE: 0x0001,
  CHANGED: 0x0002,
  UNKNOWN: 0x0004,
  UNAVAILABLE: 0x0008,
  EMPTY: 0x0010,
  PRESENT: 0x0020,
  ATRMATCH: 0x0040,
  EXCLUSIVE: 0x0080,
  INUSE: 0x0100,
  MUTE: 0x0200,
  UNPOWERED: 0x0400,
});
export const CardState = Object.freeze({
  UNKNOWN: 0x01,
  ABSENT: 0x02,
  PRESENT: 0x04,
  SWALLOWED: 0x08,
  POWERED: 0x10,
  NEGOTIABLE: 0x20,
  SPECIFIC: 0x40,
});
// The host reports a powered card that has an ATR as 6, the Windows API's SCARD_SPECIFIC.
export const CARD_STATE_SPECIFIC_ENUM = 6;
// Waiting on this pseudo reader reports readers being plugged in and out (pcsc-lite).
export const PNP_NOTIFICATION = '\\\\?PnP?\\Notification';
export const INFINITE = 0xffffffff;

export const StatusCode = Object.freeze({
  SCARD_S_SUCCESS: 0x00000000,
  SCARD_F_INTERNAL_ERROR: 0x80100001,
  SCARD_E_CANCELLED: 0x80100002,
  SCARD_E_INVALID_HANDLE: 0x80100003,
  SCARD_E_INVALID_PARAMETER: 0x80100004,
  SCARD_E_INVALID_TARGET: 0x80100005,
  SCARD_E_NO_MEMORY: 0x80100006,
  SCARD_F_WAITED_TOO_LONG: 0x80100007,
  SCARD_E_INSUFFICIENT_BUFFER: 0x80100008,
  SCARD_E_UNKNOWN_READER: 0x80100009,
  SCARD_E_TIMEOUT: 0x8010000a,
  SCARD_E_SHARING_VIOLATION: 0x8010000b,
  SCARD_E_NO_SMARTCARD: 0x8010000c,
  SCARD_E_UNKNOWN_CARD: 0x8010000d,
  SCARD_E_CANT_DISPOSE: 0x8010000e,
  SCARD_E_PROTO_MISMATCH: 0x8010000f,
  SCARD_E_NOT_READY: 0x80100010,
  SCARD_E_INVALID_VALUE: 0x80100011,
  SCARD_E_SYSTEM_CANCELLED: 0x80100012,
  SCARD_F_COMM_ERROR: 0x80100013,
  SCARD_F_UNKNOWN_ERROR: 0x80100014,
  SCARD_E_INVALID_ATR: 0x80100015,
  SCARD_E_NOT_TRANSACTED: 0x80100016,
  SCARD_E_READER_UNAVAILABLE: 0x80100017,
  SCARD_P_SHUTDOWN: 0x80100018,
  SCARD_E_PCI_TOO_SMALL: 0x80100019,
  SCARD_E_READER_UNSUPPORTED: 0x8010001a,
  SCARD_E_DUPLICATE_READER: 0x8010001b,
  SCARD_E_CARD_UNSUPPORTED: 0x8010001c,
  SCARD_E_NO_SERVICE: 0x8010001d,
  SCARD_E_SERVICE_STOPPED: 0x8010001e,
  SCARD_E_UNSUPPORTED_FEATURE: 0x8010001f,
  SCARD_E_NO_READERS_AVAILABLE: 0x8010002e,
  SCARD_E_COMM_DATA_LOST: 0x8010002f,
  SCARD_E_SERVER_TOO_BUSY: 0x80100031,
  ERROR_NO_READERS_DETECTED: 0x000006f7,
  SCARD_W_UNSUPPORTED_CARD: 0x80100065,
  SCARD_W_UNRESPONSIVE_CARD: 0x80100066,
  SCARD_W_UNPOWERED_CARD: 0x80100067,
  SCARD_W_RESET_CARD: 0x80100068,
  SCARD_W_REMOVED_CARD: 0x80100069,
  SCARD_W_SECURITY_VIOLATION: 0x8010006a,
  SCARD_W_WRONG_CHV: 0x8010006b,
  SCARD_W_CHV_BLOCKED: 0x8010006c,
});

/**
 * The codes after which a context is no use and a new one must be established: the
 * PC/SC service behind it stopped, crashed or restarted. The host passes them on as the
 * platform gives them (docs/browsers.md, "When the service goes away"):
 * - SCARD_E_NO_SERVICE: no service runs (pcscd stopped; Windows' service stopped, and
 *   establish_context while no reader is present);
 * - SCARD_E_SERVICE_STOPPED: a context of a Windows service that has stopped;
 * - SCARD_E_INVALID_HANDLE: the context died with the service (a context of an earlier
 *   pcscd; on Windows, the calls after one that answered SCARD_E_SERVICE_STOPPED, the
 *   host having let the context go, and is_valid_context after its service stopped);
 * - SCARD_F_COMM_ERROR: pcsc-lite's answer to a wait in progress when pcscd goes away;
 * - SCARD_W_SECURITY_VIOLATION: pcsc-lite's answer to a call that was on its way in
 *   when pcscd went away (seen on slow builds; the next call answers SCARD_E_NO_SERVICE).
 *   pcscd also gives it where polkit refuses a program: a watch then keeps trying, at
 *   its longest back-off.
 */
export const NEW_CONTEXT_CODES = Object.freeze([
  StatusCode.SCARD_E_NO_SERVICE,
  StatusCode.SCARD_E_SERVICE_STOPPED,
  StatusCode.SCARD_E_INVALID_HANDLE,
  StatusCode.SCARD_F_COMM_ERROR,
  StatusCode.SCARD_W_SECURITY_VIOLATION,
]);

/** True for a failure that asks for a new context (a code of NEW_CONTEXT_CODES). */
export function needsNewContext(error) {
  return error instanceof ScardError && error.kind === 'scard' && NEW_CONTEXT_CODES.includes(error.code);
}

const STATUS_NAMES = new Map(Object.entries(StatusCode).map(([name, code]) => [code, name]));

/** The PC/SC name of a status code, e.g. 0x8010000A -> "SCARD_E_TIMEOUT". */
export function statusName(code) {
  return STATUS_NAMES.get(code >>> 0) ?? `UNKNOWN_${formatHex32(code)}`;
}

/** "0x8010000A" -> 2148532234 (unsigned). Returns NaN for anything else. */
export function parseHex32(text) {
  if (typeof text !== 'string' || !/^(0x)?[0-9a-fA-F]{1,8}$/.test(text)) return NaN;
  return Number.parseInt(text.replace(/^0x/, ''), 16) >>> 0;
}

/** 2148532234 -> "0x8010000A", the form the host writes. */
export function formatHex32(value) {
  return '0x' + (value >>> 0).toString(16).toUpperCase().padStart(8, '0');
}

/** Names of the bits set in a reader state word (the event counter is ignored). */
export function readerStateNames(state) {
  const names = [];
  for (const [name, bit] of Object.entries(ReaderState)) {
    if (bit !== 0 && (state & bit) === bit) names.push(name);
  }
  return names;
}

/** Names of a card state from "status": the value 6 or pcsc-lite's bits. */
export function cardStateNames(state) {
  if (state === CARD_STATE_SPECIFIC_ENUM) return ['SPECIFIC'];
  const names = [];
  for (const [name, bit] of Object.entries(CardState)) {
    if ((state & bit) === bit) names.push(name);
  }
  return names;
}

/** Uint8Array, array of bytes or hex text (blanks and colons allowed) -> upper-case hex. */
export function toHex(data) {
  if (typeof data === 'string') {
    const hex = data.replace(/[\s:]/g, '');
    if (!/^([0-9a-fA-F]{2})*$/.test(hex)) {
      throw new TypeError(`not hexadecimal bytes: "${data}"`);
    }
    return hex.toUpperCase();
  }
  if (data instanceof Uint8Array || Array.isArray(data)) {
    let out = '';
    for (const byte of data) {
      if (!Number.isInteger(byte) || byte < 0 || byte > 255) {
        throw new TypeError(`not a byte: ${byte}`);
      }
      out += byte.toString(16).toUpperCase().padStart(2, '0');
    }
    return out;
  }
  throw new TypeError('bytes must be a Uint8Array, an array of numbers or hex text');
}

/** Hex text -> Uint8Array. */
export function hexToBytes(hex) {
  const clean = toHex(hex);
  const bytes = new Uint8Array(clean.length / 2);
  for (let i = 0; i < bytes.length; i++) bytes[i] = Number.parseInt(clean.substr(i * 2, 2), 16);
  return bytes;
}

const HINTS = [
  [
    /not found/i,
    'The browser found no host manifest for ' +
      HOST_NAME +
      ' (or its "path" is wrong). Run `vorn-scard-bridge-installer doctor` on this computer.',
  ],
  [
    // Firefox says this for a missing manifest and for one that does not allow the add-on alike.
    /no such native application/i,
    'Firefox found no host manifest for ' +
      HOST_NAME +
      ' that allows this add-on. Run `vorn-scard-bridge-installer doctor --firefox-id <add-on id>` on this computer.',
  ],
  [
    /forbidden/i,
    "The host manifest does not list this extension's id. Install again with " +
      '`vorn-scard-bridge-installer install --extension-id <this id>`.',
  ],
  [/failed to start/i, 'The host exists but could not be started. Run `vorn-scard-bridge-installer doctor`.'],
  [/exited/i, 'The host stopped. Its log says why (see docs/browsers.md, "Logs").'],
];

/**
 * Every failure the client reports.
 * kind: "scard" (the PC/SC service failed: code/codeHex/codeName are set),
 *       "rejected" (the host refused the request's data, e.g. an APDU shorter than 4 bytes),
 *       "unsupported" (the host does not know the command), "disconnected", "timeout",
 *       "invalid_argument", "protocol" (an answer the client does not understand),
 *       "version" (the host is a version this client cannot use),
 *       "denied" (the extension refused this page the host).
 */
export class ScardError extends Error {
  constructor(kind, message, { code = null, command = null, requestId = null, hint = null } = {}) {
    super(message);
    this.name = 'ScardError';
    this.kind = kind;
    this.code = code === null ? null : code >>> 0;
    this.codeHex = code === null ? null : formatHex32(code);
    this.codeName = code === null ? null : statusName(code);
    this.command = command;
    this.requestId = requestId;
    this.hint = hint;
  }
}

function requireHandle(value, what) {
  if (typeof value !== 'string' || value.length === 0) {
    throw new ScardError('invalid_argument', `${what} must be the handle string the host returned`);
  }
  return value;
}

function requireRange(value, low, high, what) {
  if (!Number.isInteger(value) || value < low || value > high) {
    const bound = high > 0xffff ? `0x${high.toString(16).toUpperCase()}` : String(high);
    throw new ScardError('invalid_argument', `${what} must be an integer from ${low} to ${bound}`);
  }
  return value;
}

function requireWord(value, what) {
  return requireRange(value, 0, 0xffffffff, what);
}

function requireText(value, what) {
  if (typeof value !== 'string' || value.length === 0) {
    throw new ScardError('invalid_argument', `${what} must be a non-empty string`);
  }
  return value;
}

function successList(result, command, minimum) {
  const status = Array.isArray(result) ? parseHex32(result[0]) : NaN;
  if (status > 0) {
    // A few commands carry a failing status in a "successful" list instead of failing.
    throw new ScardError('scard', `${command}: ${statusName(status)}`, { code: status, command });
  }
  if (status !== 0 || result.length < minimum || result.some((s) => typeof s !== 'string')) {
    throw new ScardError('protocol', `unexpected result for ${command}: ${JSON.stringify(result)}`, {
      command,
    });
  }
  return result;
}

function splitNames(joined) {
  return joined === '' ? [] : joined.split(',');
}

// A card's answer as hex -> { response, data, sw, sw1, sw2 }; sw is null when it is shorter than 2 bytes.
function splitStatusWord(response) {
  const sw = response.length >= 4 ? Number.parseInt(response.slice(-4), 16) : null;
  return {
    response,
    data: response.length >= 4 ? response.slice(0, -4) : response,
    sw,
    sw1: sw === null ? null : sw >> 8,
    sw2: sw === null ? null : sw & 0xff,
  };
}

// ---- PIN-pad readers ----

/** A reader control code in pcsc-lite's numbering, the one the host passes on: 0x42000000 + n. */
export function scardCtlCode(n) {
  return 0x42000000 + requireRange(n, 0, 0xffffff, 'the control code number');
}

/** Asks the reader for its features; no input, answers a TLV list. */
export const GET_FEATURE_REQUEST = scardCtlCode(3400);

/** The feature tags of the reader's answer to GET_FEATURE_REQUEST. */
export const Feature = Object.freeze({
  VERIFY_PIN_START: 0x01,
  VERIFY_PIN_FINISH: 0x02,
  MODIFY_PIN_START: 0x03,
  MODIFY_PIN_FINISH: 0x04,
  GET_KEY_PRESSED: 0x05,
  VERIFY_PIN_DIRECT: 0x06,
  MODIFY_PIN_DIRECT: 0x07,
  MCT_READER_DIRECT: 0x08,
  MCT_UNIVERSAL: 0x09,
  IFD_PIN_PROPERTIES: 0x0a,
  ABORT: 0x0b,
  SET_SPE_MESSAGE: 0x0c,
  VERIFY_PIN_DIRECT_APP_ID: 0x0d,
  MODIFY_PIN_DIRECT_APP_ID: 0x0e,
  WRITE_DISPLAY: 0x0f,
  GET_KEY: 0x10,
  IFD_DISPLAY_PROPERTIES: 0x11,
  GET_TLV_PROPERTIES: 0x12,
  CCID_ESC_COMMAND: 0x13,
  EXECUTE_PACE: 0x20,
});

const FEATURE_NAMES = new Map(Object.entries(Feature).map(([name, tag]) => [tag, name]));

/**
 * The reader's answer to GET_FEATURE_REQUEST (hex or bytes) -> { VERIFY_PIN_DIRECT: 0x42330006, ... }:
 * each feature's control code, under its name, or under its tag number for tags the
 * client does not name. Entries whose value is not a 4-byte code are skipped; a list
 * cut inside an entry is refused (kind "protocol").
 */
export function parseFeatureList(data) {
  const bytes = hexToBytes(data);
  const features = {};
  for (let at = 0; at < bytes.length; at += 2 + bytes[at + 1]) {
    if (at + 2 > bytes.length || at + 2 + bytes[at + 1] > bytes.length) {
      const message = `the reader's feature list is cut short in the entry at byte ${at}: ${toHex(bytes)}`;
      throw new ScardError('protocol', message, { command: 'control' });
    }
    if (bytes[at + 1] !== 4) continue;
    const key = FEATURE_NAMES.get(bytes[at]) ?? bytes[at];
    // The code is big-endian, whatever the computer's byte order.
    features[key] ??= ((bytes[at + 2] << 24) | (bytes[at + 3] << 16) | (bytes[at + 4] << 8) | bytes[at + 5]) >>> 0;
  }
  return features;
}

// A failed GET_FEATURE_REQUEST with one of these says the card handle or the service is
// unusable (or the host refused the parameters), not that the reader has no features.
const CONNECTION_FAILURES = new Set([
  StatusCode.SCARD_E_INVALID_HANDLE,
  StatusCode.SCARD_E_NO_SERVICE,
  StatusCode.SCARD_E_SERVICE_STOPPED,
  StatusCode.SCARD_E_UNKNOWN_READER,
  StatusCode.SCARD_E_READER_UNAVAILABLE,
  StatusCode.SCARD_E_NO_SMARTCARD,
  StatusCode.SCARD_E_SHARING_VIOLATION,
  StatusCode.SCARD_E_CANCELLED,
  StatusCode.SCARD_W_REMOVED_CARD,
  StatusCode.SCARD_W_RESET_CARD,
  StatusCode.SCARD_F_COMM_ERROR,
  StatusCode.SCARD_F_UNKNOWN_ERROR,
]);

/** How the reader writes the PIN digits into the APDU (bmFormatString bits 1-0). */
export const PinEncoding = Object.freeze({ BINARY: 'binary', BCD: 'bcd', ASCII: 'ascii' });
const PIN_ENCODING_BITS = new Map([
  ['binary', 0],
  ['bcd', 1],
  ['ascii', 2],
]);

const PIN_OPTIONS = [
  'controlCode', 'timeout', 'timeout2', 'encoding', 'pinPosition', 'positionInBits', 'rightJustify', 'pinBlockSize',
  'pinLengthSize', 'pinLengthPosition', 'pinLengthInBytes', 'minDigits', 'maxDigits', 'entryValidation', 'langId',
  'teoPrologue',
];
const VERIFY_OPTIONS = new Set([...PIN_OPTIONS, 'numberMessage', 'msgIndex']);
const MODIFY_OPTIONS = new Set([
  ...PIN_OPTIONS, 'oldPinOffset', 'newPinOffset', 'enterOldPin', 'confirmNewPin', 'numberMessage', 'msgIndex1',
  'msgIndex2', 'msgIndex3',
]);

function requireFlag(value, what) {
  if (typeof value !== 'boolean') throw new ScardError('invalid_argument', `${what} must be true or false`);
  return value;
}

// The fields both PIN structures share, checked, with the APDU template as bytes.
// pinsInField: how many PINs the reader writes into the data field (for the default block size).
function pinEntryFields(apduTemplate, options, known, pinsInField) {
  if (options === null || typeof options !== 'object') {
    throw new ScardError('invalid_argument', 'the PIN options must be an object');
  }
  const unknown = Object.keys(options).find((key) => !known.has(key));
  if (unknown !== undefined) throw new ScardError('invalid_argument', `unknown PIN option "${unknown}"`);
  const {
    timeout = 30,
    timeout2 = 0,
    encoding = PinEncoding.ASCII,
    pinPosition = 0,
    positionInBits = false,
    rightJustify = false,
    pinLengthSize = 0,
    pinLengthPosition = 0,
    pinLengthInBytes = false,
    minDigits = 4,
    maxDigits = 8,
    entryValidation = 0x02,
    langId = 0x0409,
    teoPrologue = [0, 0, 0],
  } = options;
  const apdu = hexToBytes(apduTemplate);
  if (apdu.length < 5 || apdu.length > 260) {
    throw new ScardError(
      'invalid_argument',
      `the APDU template must have 5 to 260 bytes (header, Lc and the data field for the PIN), not ${apdu.length}`,
    );
  }
  if (!PIN_ENCODING_BITS.has(encoding)) {
    throw new ScardError('invalid_argument', `encoding must be "ascii", "bcd" or "binary", not ${JSON.stringify(encoding)}`);
  }
  requireRange(pinPosition, 0, 15, 'pinPosition');
  requireFlag(positionInBits, 'positionInBits');
  requireRange(maxDigits, 1, 255, 'maxDigits');
  requireRange(minDigits, 1, maxDigits, 'minDigits (at most maxDigits)');
  const dataLength = apdu.length - 5;
  const pinBytes = encoding === PinEncoding.BCD ? Math.ceil(maxDigits / 2) : maxDigits;
  // By default the PINs share the data field after pinPosition, as far as the 4 bits of the block size go.
  const sharedField = Math.max(0, Math.floor((dataLength - pinPosition) / pinsInField));
  const blockSize = requireRange(options.pinBlockSize ?? (positionInBits ? 0 : Math.min(15, sharedField)), 0, 15, 'pinBlockSize');
  const prologue = hexToBytes(teoPrologue);
  if (prologue.length !== 3) throw new ScardError('invalid_argument', 'teoPrologue must be 3 bytes');
  const formatString =
    (positionInBits ? 0 : 0x80) |
    (pinPosition << 3) |
    (requireFlag(rightJustify, 'rightJustify') ? 0x04 : 0) |
    PIN_ENCODING_BITS.get(encoding);
  const lengthFormat =
    (requireFlag(pinLengthInBytes, 'pinLengthInBytes') ? 0x10 : 0) | requireRange(pinLengthPosition, 0, 15, 'pinLengthPosition');
  return {
    apdu,
    blockSize,
    pinPosition,
    positionInBits,
    // [value, width] of bTimerOut, bTimerOut2, bmFormatString, bmPINBlockString, bmPINLengthFormat
    leading: [
      [requireRange(timeout, 0, 255, 'timeout'), 1],
      [requireRange(timeout2, 0, 255, 'timeout2'), 1],
      [formatString, 1],
      [(requireRange(pinLengthSize, 0, 15, 'pinLengthSize') << 4) | blockSize, 1],
      [lengthFormat, 1],
    ],
    maxExtraDigit: [(minDigits << 8) | maxDigits, 2],
    entryValidation: [requireRange(entryValidation, 1, 7, 'entryValidation'), 1],
    langId: [requireRange(langId, 0, 0xffff, 'langId'), 2],
    // bTeoPrologue, ulDataLength
    trailing: [...[...prologue].map((byte) => [byte, 1]), [apdu.length, 4]],
    // Checks that a PIN written at this offset (bytes into the data field) stays inside it.
    fitsAt(offset, what) {
      const end = offset + Math.max(blockSize, pinBytes);
      if (end > dataLength) {
        throw new ScardError(
          'invalid_argument',
          `a PIN of ${maxDigits} digits at ${what} ${offset} needs a data field of ${end} bytes; ` +
            `the template has ${dataLength}`,
        );
      }
    },
  };
}

// [value, width in bytes] fields, little-endian and packed, followed by the APDU template.
function packStructure(fields, apdu) {
  const headerLength = fields.reduce((sum, [, width]) => sum + width, 0);
  const out = new Uint8Array(headerLength + apdu.length);
  let at = 0;
  for (const [value, width] of fields) {
    for (let i = 0; i < width; i++) out[at++] = (value >>> (8 * i)) & 0xff;
  }
  out.set(apdu, at);
  return out;
}

/**
 * PIN_VERIFY_STRUCTURE (19 bytes + the template) for FEATURE_VERIFY_PIN_DIRECT: the reader
 * asks for the PIN on its own keypad and writes it into apduTemplate. Options and defaults
 * in docs/browsers.md ("PIN-pad readers"). Throws a ScardError (kind "invalid_argument").
 */
export function buildPinVerifyStructure(apduTemplate, options = {}) {
  const f = pinEntryFields(apduTemplate, options, VERIFY_OPTIONS, 1);
  const { numberMessage = 0x01, msgIndex = 0 } = options;
  if (!f.positionInBits) f.fitsAt(f.pinPosition, 'pinPosition');
  return packStructure(
    [
      ...f.leading,
      f.maxExtraDigit,
      f.entryValidation,
      [requireRange(numberMessage, 0, 255, 'numberMessage'), 1],
      f.langId,
      [requireRange(msgIndex, 0, 255, 'msgIndex'), 1],
      ...f.trailing,
    ],
    f.apdu,
  );
}

/**
 * PIN_MODIFY_STRUCTURE (24 bytes + the template) for FEATURE_MODIFY_PIN_DIRECT: the reader
 * asks for the current PIN (unless enterOldPin is false) and the new one (twice unless
 * confirmNewPin is false) and writes them at oldPinOffset and newPinOffset of the data field.
 */
export function buildPinModifyStructure(apduTemplate, options = {}) {
  const { enterOldPin = true, confirmNewPin = true, oldPinOffset = 0 } = options;
  const f = pinEntryFields(apduTemplate, options, MODIFY_OPTIONS, requireFlag(enterOldPin, 'enterOldPin') ? 2 : 1);
  // Without the current PIN the new one takes the old one's place.
  const { newPinOffset = enterOldPin ? oldPinOffset + f.blockSize : oldPinOffset } = options;
  const prompts = (enterOldPin ? 1 : 0) + 1 + (requireFlag(confirmNewPin, 'confirmNewPin') ? 1 : 0);
  const { numberMessage = prompts, msgIndex1 = 0, msgIndex2 = 1, msgIndex3 = 2 } = options;
  requireRange(oldPinOffset, 0, 255, 'oldPinOffset');
  if (enterOldPin) f.fitsAt(oldPinOffset, 'oldPinOffset');
  f.fitsAt(requireRange(newPinOffset, 0, 255, 'newPinOffset'), 'newPinOffset');
  return packStructure(
    [
      ...f.leading,
      [oldPinOffset, 1],
      [newPinOffset, 1],
      f.maxExtraDigit,
      [(enterOldPin ? 0x02 : 0) | (confirmNewPin ? 0x01 : 0), 1],
      f.entryValidation,
      [requireRange(numberMessage, 0, 255, 'numberMessage'), 1],
      f.langId,
      [requireRange(msgIndex1, 0, 255, 'msgIndex1'), 1],
      [requireRange(msgIndex2, 0, 255, 'msgIndex2'), 1],
      [requireRange(msgIndex3, 0, 255, 'msgIndex3'), 1],
      ...f.trailing,
    ],
    f.apdu,
  );
}

// The reader's answer to a PIN entry: the card's status word (and any data before it).
function pinEntryReply(output) {
  const reply = splitStatusWord(output);
  if (reply.sw === null) {
    throw new ScardError('protocol', `the reader answered the PIN entry with "${output}", not a status word`, {
      command: 'control',
    });
  }
  return { ...reply, ok: reply.sw === 0x9000 };
}

export class ScardBridgeClient {
  /**
   * Connects to the host through the browser: browser.runtime where there is one
   * (Firefox), else chrome.runtime (Chromium family).
   */
  static connect({ hostName = HOST_NAME, runtime = undefined, ...options } = {}) {
    const rt = runtime ?? globalThis.browser?.runtime ?? globalThis.chrome?.runtime;
    if (!rt?.connectNative) {
      throw new ScardError(
        'disconnected',
        'runtime.connectNative is not available: the extension needs the "nativeMessaging" permission',
      );
    }
    const client = new ScardBridgeClient(rt.connectNative(hostName), { runtime: rt, ...options });
    client.checkHostVersion();
    return client;
  }

  /**
   * @param port a runtime.Port (or anything with postMessage, onMessage, onDisconnect, disconnect)
   * @param options.requestTimeoutMs default time-out of a request, none when 0 (the default)
   * @param options.runtime where lastError is read on disconnect (Chromium reports it there)
   */
  constructor(port, { requestTimeoutMs = 0, runtime = undefined } = {}) {
    this._port = port;
    this._runtime = runtime;
    this._requestTimeoutMs = requestTimeoutMs;
    this._pending = new Map();
    this._nextId = 1;
    this._prefix = Math.random().toString(36).slice(2, 8);
    this._closed = null; // the ScardError that closed the client
    this._disconnectListeners = new Set();
    this._joinedReaderNames = false;
    /** Settles once checkHostVersion has: with the host's version, or its failure. */
    this.ready = Promise.resolve(null);
    port.onMessage.addListener((message) => this._onMessage(message));
    port.onDisconnect.addListener((p) => this._onDisconnect(p));
  }

  get connected() {
    return this._closed === null;
  }

  /** Number of requests still waiting for an answer. */
  get pendingCount() {
    return this._pending.size;
  }

  /** Called once with the ScardError that describes why the port closed. */
  onDisconnect(listener) {
    if (this._closed) {
      queueMicrotask(() => listener(this._closed));
    } else {
      this._disconnectListeners.add(listener);
    }
    return () => this._disconnectListeners.delete(listener);
  }

  /** Closes the port; the host sees the end of its input and exits. */
  close() {
    if (this._closed) return;
    try {
      this._port.disconnect();
    } finally {
      // runtime.Port does not fire onDisconnect for the side that disconnects.
      this._shutDown(new ScardError('disconnected', 'the client closed the connection'));
    }
  }

  /**
   * Sends one request and resolves with the host's "result" on status "success".
   * Rejects with a ScardError on every kind of failure.
   */
  request(command, params = [], { timeoutMs = this._requestTimeoutMs } = {}) {
    if (this._closed) {
      const kind = this._closed.kind === 'version' || this._closed.kind === 'denied' ? this._closed.kind : 'disconnected';
      return Promise.reject(new ScardError(kind, this._closed.message, { command, hint: this._closed.hint }));
    }
    // Never empty: the host silently drops requests without a usable requestId.
    const requestId = `${this._prefix}-${this._nextId++}`;
    return new Promise((resolve, reject) => {
      const entry = { command, resolve, reject, timer: null };
      if (timeoutMs > 0) {
        entry.timer = setTimeout(() => {
          this._pending.delete(requestId);
          reject(
            new ScardError('timeout', `${command}: no answer within ${timeoutMs} ms`, { command, requestId }),
          );
        }, timeoutMs);
      }
      this._pending.set(requestId, entry);
      try {
        this._port.postMessage({ requestId, command, params });
      } catch (error) {
        this._settle(requestId);
        reject(new ScardError('disconnected', `${command}: ${error?.message ?? error}`, { command, requestId }));
      }
    });
  }

  _settle(requestId) {
    const entry = this._pending.get(requestId);
    if (!entry) return null;
    this._pending.delete(requestId);
    if (entry.timer !== null) clearTimeout(entry.timer);
    return entry;
  }

  _onMessage(message) {
    if (message === null || typeof message !== 'object' || typeof message.requestId !== 'string') return;
    const entry = this._settle(message.requestId);
    if (!entry) return; // timed out already, or not ours
    const { command } = entry;
    const { requestId, status, result } = message;
    if (status === 'success') {
      // transmit reports a refused APDU as a "successful" ["error", message].
      if (Array.isArray(result) && result[0] === 'error') {
        entry.reject(new ScardError('rejected', `${command}: ${result[1] ?? 'rejected'}`, { command, requestId }));
        return;
      }
      entry.resolve(result);
      return;
    }
    if (status === 'error') {
      if (result === 'command_not_supported') {
        entry.reject(
          new ScardError('unsupported', `the host does not support the command "${command}"`, { command, requestId }),
        );
        return;
      }
      if (Array.isArray(result) && result.length >= 2 && !Number.isNaN(parseHex32(result[0]))) {
        entry.reject(new ScardError('scard', String(result[1]), { code: parseHex32(result[0]), command, requestId }));
        return;
      }
    }
    entry.reject(
      new ScardError('protocol', `${command}: unexpected answer ${JSON.stringify(message)}`, { command, requestId }),
    );
  }

  _onDisconnect(port) {
    const reason =
      port?.error?.message ?? this._runtime?.lastError?.message ?? globalThis.chrome?.runtime?.lastError?.message;
    const message = reason ? `the native host disconnected: ${reason}` : 'the native host disconnected';
    // A relay that refuses the page says so (relay.js); the browser's reasons get a hint.
    if (port?.error?.kind === 'denied') {
      this._shutDown(new ScardError('denied', port.error.message));
      return;
    }
    const hint = reason ? (HINTS.find(([pattern]) => pattern.test(reason))?.[1] ?? null) : null;
    this._shutDown(new ScardError('disconnected', message, { hint }));
  }

  _shutDown(error) {
    if (this._closed) return;
    this._closed = error;
    const pending = [...this._pending.entries()];
    this._pending.clear();
    for (const [requestId, entry] of pending) {
      if (entry.timer !== null) clearTimeout(entry.timer);
      const kind = error.kind === 'version' || error.kind === 'denied' ? error.kind : 'disconnected';
      entry.reject(new ScardError(kind, error.message, { command: entry.command, requestId, hint: error.hint }));
    }
    for (const listener of this._disconnectListeners) {
      try {
        listener(error);
      } catch {
        // A listener's failure must not keep the others from hearing about it.
      }
    }
    this._disconnectListeners.clear();
  }

  // Calls a command after checking its arguments, so that a bad argument fails
  // as a rejected promise like every other failure.
  _call(command, build, options) {
    let params;
    try {
      params = build();
    } catch (error) {
      return Promise.reject(error);
    }
    return this.request(command, params, options);
  }

  // ---- host ----

  /** Resolves true when the host answers its health check. */
  async healthcheck(options) {
    const result = await this.request('healthcheck', [], options);
    return Array.isArray(result) && result[0] === 'OK';
  }

  /** The host's version, e.g. "1.0.0" (the host answers a plain string here). */
  async getVersion(options) {
    const result = await this.request('get_version', [], options);
    if (typeof result !== 'string') {
      throw new ScardError('protocol', `unexpected version ${JSON.stringify(result)}`, { command: 'get_version' });
    }
    return result;
  }

  /**
   * Asks the host its version; a host of another major version closes the client,
   * and every request then fails with a ScardError of kind "version" that says
   * which versions met. Sets `ready` to the answer (connect() calls this).
   */
  checkHostVersion(options) {
    this.ready = this.getVersion(options).then((version) => {
      const major = Number.parseInt(version, 10);
      if (major !== HOST_MAJOR_VERSION) {
        const error = new ScardError(
          'version',
          `the host is version ${version}, this client (for host ${HOST_MAJOR_VERSION}.x) cannot use it: ` +
            'install a host and a client of the same major version',
          { command: 'get_version' },
        );
        this._shutDown(error);
        this._port.disconnect();
        throw error;
      }
      return version;
    });
    // Nobody may wait for it; the failure still reaches every request.
    this.ready.catch(() => {});
    return this.ready;
  }

  /** Asks the host to stop. It sends no answer; resolves once the request is posted. */
  shutdown() {
    if (this._closed) return Promise.resolve();
    this._port.postMessage({ requestId: `${this._prefix}-${this._nextId++}`, command: 'shutdown', params: [] });
    return Promise.resolve();
  }

  // ---- contexts ----

  /** A new PC/SC context: an opaque handle string such as "0x0A1B2C3D". */
  async establishContext(options) {
    return successList(await this.request('establish_context', [], options), 'establish_context', 2)[1];
  }

  async releaseContext(context, options) {
    successList(await this._call('release_context', () => [requireHandle(context, 'context')], options), 'release_context', 1);
  }

  /** True for a context the service accepts, false for an invalid handle. */
  async isValidContext(context, options) {
    try {
      successList(
        await this._call('is_valid_context', () => [requireHandle(context, 'context')], options),
        'is_valid_context',
        1,
      );
      return true;
    } catch (error) {
      if (error.kind === 'scard' && error.code === StatusCode.SCARD_E_INVALID_HANDLE) return false;
      throw error;
    }
  }

  /** Ends a getStatusChange wait on the same context (it fails with SCARD_E_CANCELLED). */
  async cancel(context, options) {
    successList(await this._call('cancel', () => [requireHandle(context, 'context')], options), 'cancel', 1);
  }

  // ---- readers ----

  /**
   * Reader names. An empty list when no reader is connected. (The host joins the names
   * with commas, so a reader whose name holds a comma cannot be told apart.)
   */
  async listReaders(context, options) {
    try {
      const result = await this._call('list_readers', () => [requireHandle(context, 'context')], options);
      return splitNames(successList(result, 'list_readers', 2)[1]);
    } catch (error) {
      if (error.kind === 'scard' && error.code === StatusCode.SCARD_E_NO_READERS_AVAILABLE) return [];
      throw error;
    }
  }

  /**
   * Reader names, each whole even when it holds a comma (list_readers_array); from a
   * host without that command, list_readers' comma-joined list. [] when no reader is
   * connected.
   */
  async listReaderNames(context, options) {
    if (!this._joinedReaderNames) {
      try {
        const result = await this._call('list_readers_array', () => [requireHandle(context, 'context')], options);
        return successList(result, 'list_readers_array', 1).slice(1);
      } catch (error) {
        if (error.kind === 'scard' && error.code === StatusCode.SCARD_E_NO_READERS_AVAILABLE) return [];
        if (error.kind !== 'unsupported') throw error;
        this._joinedReaderNames = true;
      }
    }
    return this.listReaders(context, options);
  }

  async listReaderGroups(context, options) {
    const result = await this._call('list_reader_groups', () => [requireHandle(context, 'context')], options);
    return splitNames(successList(result, 'list_reader_groups', 2)[1]);
  }

  /**
   * Waits until a reader's state differs from the currentState given for it, or timeoutMs
   * passes (then it fails with SCARD_E_TIMEOUT).
   * @param readers [{ reader, currentState = UNAWARE }]
   * @returns [{ reader, currentState, eventState, atr, changed, present, eventCount, states }]
   */
  async getStatusChange(context, timeoutMs, readers, options) {
    const list = await this._call(
      'get_status_change',
      () => {
        if (!Array.isArray(readers) || readers.length > 100) {
          throw new ScardError('invalid_argument', 'readers must be a list of at most 100 entries');
        }
        const params = [requireHandle(context, 'context'), requireWord(timeoutMs, 'timeoutMs'), readers.length];
        for (const entry of readers) {
          params.push(requireWord(entry.currentState ?? 0, 'currentState'));
          params.push(requireWord(entry.eventState ?? 0, 'eventState'));
          params.push(requireText(entry.reader, 'reader'));
        }
        return params;
      },
      options,
    );
    const result = successList(list, 'get_status_change', 2);
    const count = Number.parseInt(result[1], 10);
    if (count !== readers.length || result.length !== 2 + 3 * count) {
      throw new ScardError('protocol', `get_status_change: ${count} records for ${readers.length} readers`);
    }
    return readers.map((entry, i) => {
      const eventState = parseHex32(result[3 + 3 * i]);
      return {
        reader: entry.reader,
        currentState: parseHex32(result[2 + 3 * i]),
        eventState,
        atr: result[4 + 3 * i],
        changed: (eventState & ReaderState.CHANGED) !== 0,
        present: (eventState & ReaderState.PRESENT) !== 0,
        eventCount: eventState >>> 16,
        states: readerStateNames(eventState & 0xffff),
      };
    });
  }

  // ---- cards ----

  /** @returns { card, protocol } with card the opaque handle string, protocol a number */
  async connect(context, reader, shareMode = ShareMode.SHARED, protocols = Protocol.ANY, options) {
    const result = await this._call(
      'connect',
      () => [requireHandle(context, 'context'), requireText(reader, 'reader'), requireWord(shareMode, 'shareMode'), requireWord(protocols, 'protocols')],
      options,
    );
    const list = successList(result, 'connect', 4);
    return { card: list[2], protocol: parseHex32(list[3]) };
  }

  async reconnect(context, card, shareMode = ShareMode.SHARED, protocols = Protocol.ANY, initialization = Disposition.LEAVE_CARD, options) {
    const result = await this._call(
      'reconnect',
      () => [
        requireHandle(context, 'context'),
        requireHandle(card, 'card'),
        requireWord(shareMode, 'shareMode'),
        requireWord(protocols, 'protocols'),
        requireWord(initialization, 'initialization'),
      ],
      options,
    );
    const list = successList(result, 'reconnect', 4);
    return { card: list[2], protocol: parseHex32(list[3]) };
  }

  async disconnect(context, card, disposition = Disposition.LEAVE_CARD, options) {
    successList(
      await this._call(
        'disconnect',
        () => [requireHandle(context, 'context'), requireHandle(card, 'card'), requireWord(disposition, 'disposition')],
        options,
      ),
      'disconnect',
      1,
    );
  }

  async beginTransaction(context, card, options) {
    successList(
      await this._call('begin_transaction', () => [requireHandle(context, 'context'), requireHandle(card, 'card')], options),
      'begin_transaction',
      1,
    );
  }

  async endTransaction(context, card, disposition = Disposition.LEAVE_CARD, options) {
    successList(
      await this._call(
        'end_transaction',
        () => [requireHandle(context, 'context'), requireHandle(card, 'card'), requireWord(disposition, 'disposition')],
        options,
      ),
      'end_transaction',
      1,
    );
  }

  /** @returns { reader, state, states, protocol, atr } */
  async status(context, card, options) {
    const result = await this._call('status', () => [requireHandle(context, 'context'), requireHandle(card, 'card')], options);
    const list = successList(result, 'status', 7);
    const state = parseHex32(list[4]);
    return { reader: list[3], state, states: cardStateNames(state), protocol: parseHex32(list[5]), atr: list[6] };
  }

  /**
   * Sends one APDU. apdu: hex text, Uint8Array or array of bytes.
   * @returns { response, data, sw, sw1, sw2 } with response the whole answer as hex and sw
   *          the status word as a number (0x9000 for success)
   */
  async transmit(context, card, protocol, apdu, options) {
    const result = await this._call(
      'transmit',
      () => [requireHandle(context, 'context'), requireHandle(card, 'card'), requireWord(protocol, 'protocol'), toHex(apdu)],
      options,
    );
    return splitStatusWord(successList(result, 'transmit', 5)[4]);
  }

  /** Sends a reader control code with data (hex text or bytes); resolves with the output as hex. */
  async control(context, card, controlCode, data, options) {
    const result = await this._call(
      'control',
      () => [requireHandle(context, 'context'), requireHandle(card, 'card'), requireWord(controlCode, 'controlCode'), toHex(data)],
      options,
    );
    return successList(result, 'control', 4)[3];
  }

  /** A reader attribute's value as hex. */
  async getAttrib(context, card, attributeId, options) {
    const result = await this._call(
      'get_attrib',
      () => [requireHandle(context, 'context'), requireHandle(card, 'card'), requireWord(attributeId, 'attributeId')],
      options,
    );
    return successList(result, 'get_attrib', 5)[4];
  }

  /** Sets a reader attribute to `value` (hex text or bytes); the reader decides which it allows. */
  async setAttrib(context, card, attributeId, value, options) {
    const result = await this._call(
      'set_attrib',
      () => [requireHandle(context, 'context'), requireHandle(card, 'card'), requireWord(attributeId, 'attributeId'), toHex(value)],
      options,
    );
    successList(result, 'set_attrib', 1);
  }

  // ---- PIN-pad readers ----

  /**
   * The reader's features: { VERIFY_PIN_DIRECT: 0x42330006, ... } (see parseFeatureList).
   * A reader that refuses GET_FEATURE_REQUEST has none: {}. Failures that say the card
   * handle or the service cannot be used (SCARD_E_INVALID_HANDLE, SCARD_W_REMOVED_CARD,
   * SCARD_E_NO_SERVICE...) still reject.
   */
  async getFeatures(context, card, options) {
    let output;
    try {
      output = await this.control(context, card, GET_FEATURE_REQUEST, '', options);
    } catch (error) {
      if (error.kind === 'scard' && !CONNECTION_FAILURES.has(error.code)) return {};
      throw error;
    }
    return parseFeatureList(output);
  }

  /**
   * Verifies a PIN typed on the reader's keypad: sends buildPinVerifyStructure(apduTemplate,
   * pinOptions) with the reader's VERIFY_PIN_DIRECT code (pinOptions.controlCode, else asked
   * from the reader). @returns { ok, sw, sw1, sw2, response, data }; ok: sw is 0x9000.
   */
  async verifyPinDirect(context, card, apduTemplate, pinOptions = {}, options) {
    const structure = buildPinVerifyStructure(apduTemplate, pinOptions);
    const code = await this._pinPadCode(context, card, 'VERIFY_PIN_DIRECT', pinOptions.controlCode, options);
    return pinEntryReply(await this.control(context, card, code, structure, options));
  }

  /** Changes a PIN on the reader's keypad, like verifyPinDirect with buildPinModifyStructure. */
  async modifyPinDirect(context, card, apduTemplate, pinOptions = {}, options) {
    const structure = buildPinModifyStructure(apduTemplate, pinOptions);
    const code = await this._pinPadCode(context, card, 'MODIFY_PIN_DIRECT', pinOptions.controlCode, options);
    return pinEntryReply(await this.control(context, card, code, structure, options));
  }

  async _pinPadCode(context, card, feature, controlCode, options) {
    if (controlCode !== undefined) return requireWord(controlCode, 'controlCode');
    const code = (await this.getFeatures(context, card, options))[feature];
    if (code === undefined) {
      throw new ScardError('scard', `the reader does not offer ${feature} (no PIN pad)`, {
        code: StatusCode.SCARD_E_UNSUPPORTED_FEATURE,
        command: 'control',
      });
    }
    return code;
  }

  // ---- reader metadata (mostly unsupported by PC/SC, reported as SCARD_E_UNSUPPORTED_FEATURE) ----

  async introduceReader(context, readerName, deviceName, options) {
    const result = await this._call(
      'introduce_reader',
      () => [requireHandle(context, 'context'), requireText(readerName, 'readerName'), requireText(deviceName, 'deviceName')],
      options,
    );
    successList(result, 'introduce_reader', 1);
  }

  /** The reader's device type (0x20: USB). */
  async getDeviceTypeId(context, readerName, options) {
    const result = await this._call(
      'get_device_type_id',
      () => [requireHandle(context, 'context'), requireText(readerName, 'readerName')],
      options,
    );
    return parseHex32(successList(result, 'get_device_type_id', 2)[1]);
  }

  async getReaderIcon(context, readerName, options) {
    const result = await this._call(
      'get_reader_icon',
      () => [requireHandle(context, 'context'), requireText(readerName, 'readerName')],
      options,
    );
    return successList(result, 'get_reader_icon', 2)[1];
  }

  async getTransmitCount(context, options) {
    const result = await this._call('get_transmit_count', () => [requireHandle(context, 'context')], options);
    return Number.parseInt(successList(result, 'get_transmit_count', 2)[1], 10);
  }

  // ---- helpers ----

  /**
   * Resolves with { reader, atr } once a card is in one of `readers` (all readers when
   * omitted). Fails with SCARD_E_TIMEOUT after timeoutMs (INFINITE by default), and with
   * SCARD_E_CANCELLED when `signal` aborts (which cancels waits on this context).
   */
  async waitForCard(context, { readers = undefined, timeoutMs = INFINITE, signal = undefined } = {}) {
    const names = readers ?? (await this.listReaders(context));
    if (names.length === 0) {
      throw new ScardError('scard', 'no reader is connected', { code: StatusCode.SCARD_E_NO_READERS_AVAILABLE, command: 'get_status_change' });
    }
    const onAbort = () => this.cancel(context).catch(() => {});
    signal?.addEventListener('abort', onAbort, { once: true });
    try {
      let states = names.map((reader) => ({ reader, currentState: ReaderState.UNAWARE }));
      let wait = 0; // the first call only reads the current states
      const deadline = timeoutMs === INFINITE ? Infinity : Date.now() + timeoutMs;
      for (;;) {
        if (signal?.aborted) {
          throw new ScardError('scard', 'the wait was cancelled', { code: StatusCode.SCARD_E_CANCELLED, command: 'get_status_change' });
        }
        const answer = await this.getStatusChange(context, wait, states);
        const withCard = answer.find((r) => r.present && (r.eventState & ReaderState.MUTE) === 0);
        if (withCard) return { reader: withCard.reader, atr: withCard.atr };
        states = answer.map((r) => ({ reader: r.reader, currentState: (r.eventState & ~ReaderState.CHANGED) >>> 0 }));
        wait = deadline === Infinity ? INFINITE : Math.max(0, Math.min(INFINITE - 1, deadline - Date.now()));
        if (wait === 0 && deadline !== Infinity) {
          throw new ScardError('scard', 'no card within the time-out', { code: StatusCode.SCARD_E_TIMEOUT, command: 'get_status_change' });
        }
      }
    } finally {
      signal?.removeEventListener('abort', onAbort);
    }
  }

  /**
   * Watches readers and reports cards being inserted and removed, by looping
   * get_status_change. Uses a context of its own unless one is given (a "cancel"
   * ends every wait on its context).
   *
   * onEvent receives { type: "inserted" | "removed" | "reader-added" | "reader-removed",
   *                    reader, atr, initial } (initial: there already at the first listing).
   * readers: watch only these names (each while it is connected).
   * When the service goes away (a failure in NEW_CONTEXT_CODES) the watch reports every
   * reader gone, then establishes a context of its own again, after retryDelayMs and
   * doubling up to maxRetryDelayMs, until the service answers, and reports the readers
   * and cards it finds. Where \\?PnP?\Notification cannot be waited on, it lists the
   * readers every pollIntervalMs.
   * onError receives a ScardError that ended the watch (the host went away, say).
   * @returns { stop(): Promise<void>, done: Promise<void> }
   */
  watchCards({
    onEvent,
    onError = () => {},
    context = undefined,
    readers = undefined,
    waitTimeoutMs = 60000,
    pollIntervalMs = 1000,
    retryDelayMs = 250,
    maxRetryDelayMs = 4000,
  } = {}) {
    if (typeof onEvent !== 'function') throw new TypeError('watchCards needs an onEvent callback');
    let stopped = false;
    let waiting = false;
    let ctx = context;
    let ownContext = context === undefined;
    let usePnp = true; // until the platform shows that it has no PnP notification
    const known = new Map(); // reader -> { state, present, atr, initial }
    let pnpState = ReaderState.UNAWARE;
    let pnpSeen = false;
    let firstListing = true;
    let retryDelay = retryDelayMs;
    let wake = null; // ends the current pause early

    const emit = (event) => {
      try {
        onEvent(event);
      } catch {
        // The watcher keeps running whatever its listener does.
      }
    };

    const pause = (ms) =>
      new Promise((resolve) => {
        const timer = setTimeout(() => {
          wake = null;
          resolve();
        }, ms);
        wake = () => {
          clearTimeout(timer);
          wake = null;
          resolve();
        };
      });

    const forget = (name, entry) => {
      known.delete(name);
      if (entry.present) emit({ type: 'removed', reader: name, atr: '', initial: false });
      emit({ type: 'reader-removed', reader: name, atr: '', initial: false });
    };

    const refreshReaders = async () => {
      const listed = await this.listReaderNames(ctx);
      const names = readers === undefined ? listed : listed.filter((name) => readers.includes(name));
      for (const name of names) {
        if (!known.has(name)) {
          known.set(name, { state: ReaderState.UNAWARE, present: null, atr: '', initial: firstListing });
          if (!firstListing) emit({ type: 'reader-added', reader: name, atr: '', initial: false });
        }
      }
      for (const [name, entry] of [...known.entries()]) if (!names.includes(name)) forget(name, entry);
      firstListing = false;
    };

    // The service went away: its readers are gone with it, and so is the context.
    const serviceLost = () => {
      for (const [name, entry] of [...known.entries()]) forget(name, entry);
      pnpState = ReaderState.UNAWARE;
      pnpSeen = false;
      firstListing = false;
      // Gives the host back the context's slot; the service answers as it can.
      if (ownContext && ctx !== undefined && this.connected) this.releaseContext(ctx).catch(() => {});
      ctx = undefined;
      ownContext = true;
    };

    // Reports what one answer of get_status_change says; true when the readers must be listed again.
    const take = (answer) => {
      let readersChanged = false;
      for (const r of answer) {
        if (r.reader === PNP_NOTIFICATION) {
          if ((r.eventState & ReaderState.UNKNOWN) !== 0) {
            // The platform does not know the pseudo reader (Apple's PC/SC): list instead.
            usePnp = false;
            readersChanged = true;
            continue;
          }
          readersChanged ||= pnpSeen && r.changed;
          pnpSeen = true;
          pnpState = (r.eventState & ~ReaderState.CHANGED) >>> 0;
          continue;
        }
        const entry = known.get(r.reader);
        if (!entry) continue;
        if ((r.eventState & (ReaderState.UNKNOWN | ReaderState.UNAVAILABLE)) !== 0) readersChanged = true;
        const present = r.present && (r.eventState & ReaderState.MUTE) === 0;
        if (entry.present === null) {
          if (present) emit({ type: 'inserted', reader: r.reader, atr: r.atr, initial: entry.initial });
        } else if (present && !entry.present) {
          emit({ type: 'inserted', reader: r.reader, atr: r.atr, initial: false });
        } else if (!present && entry.present) {
          emit({ type: 'removed', reader: r.reader, atr: '', initial: false });
        } else if (present && entry.present && r.eventCount !== entry.state >>> 16 && r.atr !== entry.atr) {
          // Swapped between two waits: report both halves.
          emit({ type: 'removed', reader: r.reader, atr: '', initial: false });
          emit({ type: 'inserted', reader: r.reader, atr: r.atr, initial: false });
        }
        entry.present = present;
        entry.atr = r.atr;
        entry.state = (r.eventState & ~ReaderState.CHANGED) >>> 0;
      }
      return readersChanged;
    };

    // One wait on the known readers (and the PnP notification, where there is one).
    const watchOnce = async () => {
      if (stopped) return; // stop() came while a context was made or readers listed
      const entries = [...known.entries()].map(([reader, e]) => ({ reader, currentState: e.state }));
      const pnp = usePnp;
      if (pnp) entries.push({ reader: PNP_NOTIFICATION, currentState: pnpState });
      if (entries.length === 0) {
        await pause(pollIntervalMs);
        if (!stopped) await refreshReaders();
        return;
      }
      let answer;
      waiting = true;
      try {
        answer = await this.getStatusChange(ctx, pnp ? waitTimeoutMs : Math.min(waitTimeoutMs, pollIntervalMs), entries);
      } catch (error) {
        if (stopped || error.kind !== 'scard') throw error;
        if (error.code === StatusCode.SCARD_E_TIMEOUT) {
          retryDelay = retryDelayMs;
          if (!pnp) await refreshReaders();
          return;
        }
        if (error.code !== StatusCode.SCARD_E_UNKNOWN_READER && error.code !== StatusCode.SCARD_E_READER_UNAVAILABLE) {
          throw error;
        }
        // No PnP pseudo reader on this platform, or a reader went away.
        if (pnp && !pnpSeen) usePnp = false;
        else await pause(pollIntervalMs);
        if (!stopped) await refreshReaders();
        return;
      } finally {
        waiting = false;
      }
      retryDelay = retryDelayMs;
      if (take(answer)) await refreshReaders();
    };

    const loop = async () => {
      while (!stopped) {
        try {
          if (ctx === undefined) {
            ctx = await this.establishContext();
            await refreshReaders();
          } else if (firstListing) {
            await refreshReaders();
          }
          await watchOnce();
        } catch (error) {
          if (stopped) return;
          if (!needsNewContext(error)) throw error;
          serviceLost();
          await pause(retryDelay);
          retryDelay = Math.min(retryDelay * 2, maxRetryDelayMs);
        }
      }
    };

    const done = loop()
      .catch((error) => {
        if (!stopped) onError(error instanceof ScardError ? error : new ScardError('protocol', String(error?.message ?? error)));
      })
      .finally(async () => {
        if (ownContext && ctx !== undefined && this.connected) {
          await this.releaseContext(ctx).catch(() => {});
        }
      });

    return {
      done,
      stop: async () => {
        if (stopped) return done;
        stopped = true;
        wake?.();
        if (waiting && ctx !== undefined && this.connected) await this.cancel(ctx).catch(() => {});
        return done;
      },
    };
  }
}

export default ScardBridgeClient;
