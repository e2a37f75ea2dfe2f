// Types for vorn-scard-client.js.

export declare const HOST_NAME: 'com.vorn.scard_bridge';
/** The host's major version this client speaks to. */
export declare const HOST_MAJOR_VERSION: 1;
export declare const Scope: Readonly<{ USER: 0; TERMINAL: 1; SYSTEM: 2 }>;
export declare const ShareMode: Readonly<{ EXCLUSIVE: 1; SHARED: 2; DIRECT: 3 }>;
export declare const Protocol: Readonly<{ UNDEFINED: 0; T0: 1; T1: 2; RAW: 4; T15: 8; ANY: 3 }>;
export declare const Disposition: Readonly<{ LEAVE_CARD: 0; RESET_CARD: 1; UNPOWER_CARD: 2; EJECT_CARD: 3 }>;
export declare const ReaderState: Readonly<Record<
  'UNAWARE' | 'IGNORE' | 'CHANGED' | 'UNKNOWN' | 'UNAVAILABLE' | 'EMPTY' | 'PRESENT' | 'ATRMATCH' |
  'EXCLUSIVE' | 'INUSE' | 'MUTE' | 'UNPOWERED', number>>;
export declare const CardState: Readonly<Record<
  'UNKNOWN' | 'ABSENT' | 'PRESENT' | 'SWALLOWED' | 'POWERED' | 'NEGOTIABLE' | 'SPECIFIC', number>>;
export declare const CARD_STATE_SPECIFIC_ENUM: 6;
export declare const PNP_NOTIFICATION: string;
export declare const INFINITE: 0xffffffff;
export type StatusCodeName =
  | 'SCARD_S_SUCCESS'
  | 'SCARD_F_INTERNAL_ERROR'
  | 'SCARD_E_CANCELLED'
  | 'SCARD_E_INVALID_HANDLE'
  | 'SCARD_E_INVALID_PARAMETER'
  | 'SCARD_E_INVALID_TARGET'
  | 'SCARD_E_NO_MEMORY'
  | 'SCARD_F_WAITED_TOO_LONG'
  | 'SCARD_E_INSUFFICIENT_BUFFER'
  | 'SCARD_E_UNKNOWN_READER'
  | 'SCARD_E_TIMEOUT'
  | 'SCARD_E_SHARING_VIOLATION'
  | 'SCARD_E_NO_SMARTCARD'
  | 'SCARD_E_UNKNOWN_CARD'
  | 'SCARD_E_CANT_DISPOSE'
  | 'SCARD_E_PROTO_MISMATCH'
  | 'SCARD_E_NOT_READY'
  | 'SCARD_E_INVALID_VALUE'
  | 'SCARD_E_SYSTEM_CANCELLED'
  | 'SCARD_F_COMM_ERROR'
  | 'SCARD_F_UNKNOWN_ERROR'
  | 'SCARD_E_INVALID_ATR'
  | 'SCARD_E_NOT_TRANSACTED'
  | 'SCARD_E_READER_UNAVAILABLE'
  | 'SCARD_P_SHUTDOWN'
  | 'SCARD_E_PCI_TOO_SMALL'
  | 'SCARD_E_READER_UNSUPPORTED'
  | 'SCARD_E_DUPLICATE_READER'
  | 'SCARD_E_CARD_UNSUPPORTED'
  | 'SCARD_E_NO_SERVICE'
  | 'SCARD_E_SERVICE_STOPPED'
  | 'SCARD_E_UNSUPPORTED_FEATURE'
  | 'SCARD_E_NO_READERS_AVAILABLE'
  | 'SCARD_E_COMM_DATA_LOST'
  | 'SCARD_E_SERVER_TOO_BUSY'
  | 'ERROR_NO_READERS_DETECTED'
  | 'SCARD_W_UNSUPPORTED_CARD'
  | 'SCARD_W_UNRESPONSIVE_CARD'
  | 'SCARD_W_UNPOWERED_CARD'
  | 'SCARD_W_RESET_CARD'
  | 'SCARD_W_REMOVED_CARD'
  | 'SCARD_W_SECURITY_VIOLATION'
  | 'SCARD_W_WRONG_CHV'
  | 'SCARD_W_CHV_BLOCKED';
/** PC/SC status codes by name (unsigned). */
export declare const StatusCode: Readonly<Record<StatusCodeName, number>>;

/**
 * The codes after which a context is no use and a new one must be established (the service
 * stopped, crashed or restarted): SCARD_E_NO_SERVICE, SCARD_E_SERVICE_STOPPED,
 * SCARD_E_INVALID_HANDLE, SCARD_F_COMM_ERROR.
 */
export declare const NEW_CONTEXT_CODES: readonly number[];
/** True for a ScardError whose code is one of NEW_CONTEXT_CODES. */
export declare function needsNewContext(error: unknown): error is ScardError;

export declare function statusName(code: number): string;
export declare function parseHex32(text: string): number;
export declare function formatHex32(value: number): string;
export declare function readerStateNames(state: number): string[];
export declare function cardStateNames(state: number): string[];
export declare function toHex(data: string | Uint8Array | number[]): string;
export declare function hexToBytes(hex: string | Uint8Array | number[]): Uint8Array;

export type ScardErrorKind =
  | 'scard' | 'rejected' | 'unsupported' | 'disconnected' | 'timeout' | 'invalid_argument' | 'protocol'
  | 'version' | 'denied';

export declare class ScardError extends Error {
  readonly kind: ScardErrorKind;
  /** The PC/SC status (unsigned), for kind "scard". */
  readonly code: number | null;
  readonly codeHex: string | null;
  readonly codeName: string | null;
  readonly command: string | null;
  readonly requestId: string | null;
  /** What to do, when the browser could not start or reach the host. */
  readonly hint: string | null;
}

/** An opaque handle string as the host hands it out, e.g. "0x0A1B2C3D". */
export type Handle = string;
export type Bytes = string | Uint8Array | number[];

export interface RequestOptions { timeoutMs?: number }

/** A request as the host reads it. */
export interface HostRequest {
  requestId: string;
  command: string;
  params: unknown[];
}

/** An answer of the host. */
export interface HostAnswer {
  requestId: string;
  status: 'success' | 'error';
  result: unknown;
}

/** runtime.Port, or anything shaped like it. */
export interface PortLike {
  postMessage(message: HostRequest): void;
  disconnect(): void;
  onMessage: { addListener(listener: (message: HostAnswer) => void): void };
  onDisconnect: { addListener(listener: (port: PortLike) => void): void };
  /** Why the port closed (Firefox; the relay adds kind "denied"). */
  error?: { message: string; kind?: string } | null;
}

/** The parts of the browser's runtime the client uses. */
export interface RuntimeLike {
  connectNative(application: string): PortLike;
  lastError?: { message?: string } | null;
}

export interface ReaderStateIn { reader: string; currentState?: number; eventState?: number }
export interface ReaderStateOut {
  reader: string;
  currentState: number;
  eventState: number;
  atr: string;
  changed: boolean;
  present: boolean;
  eventCount: number;
  states: string[];
}

export interface CardEvent {
  type: 'inserted' | 'removed' | 'reader-added' | 'reader-removed';
  reader: string;
  atr: string;
  initial: boolean;
}

export interface Watcher { stop(): Promise<void>; done: Promise<void> }

export interface TransmitReply { response: string; data: string; sw: number | null; sw1: number | null; sw2: number | null }

/** pcsc-lite's numbering of reader control codes: 0x42000000 + n (n from 0 to 0xFFFFFF). */
export declare function scardCtlCode(n: number): number;
/** SCARD_CTL_CODE(3400) = 0x42000D48: asks the reader for its features. */
export declare const GET_FEATURE_REQUEST: 0x42000d48;

export type FeatureName =
  | 'VERIFY_PIN_START' | 'VERIFY_PIN_FINISH' | 'MODIFY_PIN_START' | 'MODIFY_PIN_FINISH' | 'GET_KEY_PRESSED'
  | 'VERIFY_PIN_DIRECT' | 'MODIFY_PIN_DIRECT' | 'MCT_READER_DIRECT' | 'MCT_UNIVERSAL' | 'IFD_PIN_PROPERTIES'
  | 'ABORT' | 'SET_SPE_MESSAGE' | 'VERIFY_PIN_DIRECT_APP_ID' | 'MODIFY_PIN_DIRECT_APP_ID' | 'WRITE_DISPLAY'
  | 'GET_KEY' | 'IFD_DISPLAY_PROPERTIES' | 'GET_TLV_PROPERTIES' | 'CCID_ESC_COMMAND' | 'EXECUTE_PACE';
/** Feature tags of the GET_FEATURE_REQUEST answer (VERIFY_PIN_DIRECT: 0x06, ...). */
export declare const Feature: Readonly<Record<FeatureName, number>>;
/**
 * Control code of each feature the reader offers, under its name; tags without a name are
 * kept under their number. Empty when the reader refused the query.
 */
export type ReaderFeatures = { [name in FeatureName]?: number } & { [tag: number]: number };
export declare function parseFeatureList(data: Bytes): ReaderFeatures;

export declare const PinEncoding: Readonly<{ BINARY: 'binary'; BCD: 'bcd'; ASCII: 'ascii' }>;

/** The fields of PIN_VERIFY_STRUCTURE / PIN_MODIFY_STRUCTURE both have (docs/browsers.md, "PIN-pad readers"). */
export interface PinEntryOptions {
  /** The reader's control code for the operation; asked from the reader (getFeatures) when omitted. */
  controlCode?: number;
  /** bTimerOut: seconds to wait for the PIN, 0 = the reader's default. Default 30. */
  timeout?: number;
  /** bTimerOut2: seconds after the first key, 0 = the reader's default. Default 0. */
  timeout2?: number;
  /** bmFormatString bits 1-0. Default "ascii". */
  encoding?: 'ascii' | 'bcd' | 'binary';
  /** bmFormatString bits 6-3: where the PIN goes in the data field. Default 0. */
  pinPosition?: number;
  /** bmFormatString bit 7 clear: pinPosition counts bits instead of bytes. Default false. */
  positionInBits?: boolean;
  /** bmFormatString bit 2. Default false (left). */
  rightJustify?: boolean;
  /**
   * bmPINBlockString bits 3-0, bytes. Default: the data field after pinPosition, shared by
   * the PINs written into it, at most 15.
   */
  pinBlockSize?: number;
  /** bmPINBlockString bits 7-4: size of a PIN length field, in bits. Default 0 (none). */
  pinLengthSize?: number;
  /** bmPINLengthFormat bits 3-0: where the PIN length goes. Default 0. */
  pinLengthPosition?: number;
  /** bmPINLengthFormat bit 4: pinLengthPosition counts bytes. Default false (bits). */
  pinLengthInBytes?: boolean;
  /** wPINMaxExtraDigit. Defaults 4 and 8. */
  minDigits?: number;
  maxDigits?: number;
  /** bEntryValidationCondition: 1 max digits typed, 2 OK key, 4 time-out (sum them). Default 2. */
  entryValidation?: number;
  /** wLangId. Default 0x0409 (English, US). */
  langId?: number;
  /** bTeoPrologue, 3 bytes. Default 00 00 00. */
  teoPrologue?: Bytes;
}

export interface PinVerifyOptions extends PinEntryOptions {
  /** bNumberMessage. Default 1. */
  numberMessage?: number;
  /** bMsgIndex. Default 0. */
  msgIndex?: number;
}

export interface PinModifyOptions extends PinEntryOptions {
  /** bInsertionOffsetOld, bytes into the data field. Default 0. */
  oldPinOffset?: number;
  /** bInsertionOffsetNew. Default: after the old PIN's block (at oldPinOffset when enterOldPin is false). */
  newPinOffset?: number;
  /** bConfirmPIN bit 1: the user types the current PIN first. Default true. */
  enterOldPin?: boolean;
  /** bConfirmPIN bit 0: the user types the new PIN twice. Default true. */
  confirmNewPin?: boolean;
  /** bNumberMessage. Default: the number of PINs the user types. */
  numberMessage?: number;
  /** bMsgIndex1..3. Defaults 0, 1, 2. */
  msgIndex1?: number;
  msgIndex2?: number;
  msgIndex3?: number;
}

export declare function buildPinVerifyStructure(apduTemplate: Bytes, options?: PinVerifyOptions): Uint8Array;
export declare function buildPinModifyStructure(apduTemplate: Bytes, options?: PinModifyOptions): Uint8Array;

export interface PinEntryReply extends TransmitReply {
  sw: number;
  sw1: number;
  sw2: number;
  /** sw is 0x9000. */
  ok: boolean;
}

export declare class ScardBridgeClient {
  /** Opens the native port and asks the host its version (see ready). */
  static connect(options?: { hostName?: string; runtime?: RuntimeLike; requestTimeoutMs?: number }): ScardBridgeClient;
  constructor(port: PortLike, options?: { requestTimeoutMs?: number; runtime?: RuntimeLike });
  readonly connected: boolean;
  /** The host's version once checkHostVersion has it (null when it was not asked). */
  ready: Promise<string | null>;
  checkHostVersion(options?: RequestOptions): Promise<string>;
  readonly pendingCount: number;
  onDisconnect(listener: (error: ScardError) => void): () => void;
  close(): void;
  request(command: string, params?: unknown[], options?: RequestOptions): Promise<unknown>;

  healthcheck(options?: RequestOptions): Promise<boolean>;
  getVersion(options?: RequestOptions): Promise<string>;
  shutdown(): Promise<void>;

  establishContext(options?: RequestOptions): Promise<Handle>;
  releaseContext(context: Handle, options?: RequestOptions): Promise<void>;
  isValidContext(context: Handle, options?: RequestOptions): Promise<boolean>;
  cancel(context: Handle, options?: RequestOptions): Promise<void>;

  listReaders(context: Handle, options?: RequestOptions): Promise<string[]>;
  /** Each name whole (list_readers_array); list_readers' list from an older host. */
  listReaderNames(context: Handle, options?: RequestOptions): Promise<string[]>;
  listReaderGroups(context: Handle, options?: RequestOptions): Promise<string[]>;
  getStatusChange(context: Handle, timeoutMs: number, readers: ReaderStateIn[], options?: RequestOptions): Promise<ReaderStateOut[]>;

  connect(context: Handle, reader: string, shareMode?: number, protocols?: number, options?: RequestOptions): Promise<{ card: Handle; protocol: number }>;
  reconnect(context: Handle, card: Handle, shareMode?: number, protocols?: number, initialization?: number, options?: RequestOptions): Promise<{ card: Handle; protocol: number }>;
  disconnect(context: Handle, card: Handle, disposition?: number, options?: RequestOptions): Promise<void>;
  beginTransaction(context: Handle, card: Handle, options?: RequestOptions): Promise<void>;
  endTransaction(context: Handle, card: Handle, disposition?: number, options?: RequestOptions): Promise<void>;
  status(context: Handle, card: Handle, options?: RequestOptions): Promise<{ reader: string; state: number; states: string[]; protocol: number; atr: string }>;

  transmit(context: Handle, card: Handle, protocol: number, apdu: Bytes, options?: RequestOptions): Promise<TransmitReply>;
  control(context: Handle, card: Handle, controlCode: number, data: Bytes, options?: RequestOptions): Promise<string>;
  getAttrib(context: Handle, card: Handle, attributeId: number, options?: RequestOptions): Promise<string>;
  setAttrib(context: Handle, card: Handle, attributeId: number, value: Bytes, options?: RequestOptions): Promise<void>;

  getFeatures(context: Handle, card: Handle, options?: RequestOptions): Promise<ReaderFeatures>;
  verifyPinDirect(
    context: Handle, card: Handle, apduTemplate: Bytes, pinOptions?: PinVerifyOptions, options?: RequestOptions,
  ): Promise<PinEntryReply>;
  modifyPinDirect(
    context: Handle, card: Handle, apduTemplate: Bytes, pinOptions?: PinModifyOptions, options?: RequestOptions,
  ): Promise<PinEntryReply>;

  introduceReader(context: Handle, readerName: string, deviceName: string, options?: RequestOptions): Promise<void>;
  getDeviceTypeId(context: Handle, readerName: string, options?: RequestOptions): Promise<number>;
  getReaderIcon(context: Handle, readerName: string, options?: RequestOptions): Promise<string>;
  getTransmitCount(context: Handle, options?: RequestOptions): Promise<number>;

  waitForCard(context: Handle, options?: { readers?: string[]; timeoutMs?: number; signal?: AbortSignal }): Promise<{ reader: string; atr: string }>;
  watchCards(options: {
    onEvent: (event: CardEvent) => void;
    onError?: (error: ScardError) => void;
    context?: Handle;
    /** Watch only these readers, each while it is connected. */
    readers?: string[];
    waitTimeoutMs?: number;
    /** How often readers are listed where the PnP notification cannot be waited on (1000). */
    pollIntervalMs?: number;
    /** The first wait before a new context is tried once the service went away (250); doubles up to maxRetryDelayMs (4000). */
    retryDelayMs?: number;
    maxRetryDelayMs?: number;
  }): Watcher;
}

export default ScardBridgeClient;
