// Types for vorn-scard-client.js.

export declare const HOST_NAME: 'com.vorn.scard_bridge';
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
export declare const StatusCode: Readonly<Record<string, number>>;

export declare function statusName(code: number): string;
export declare function parseHex32(text: string): number;
export declare function formatHex32(value: number): string;
export declare function readerStateNames(state: number): string[];
export declare function cardStateNames(state: number): string[];
export declare function toHex(data: string | Uint8Array | number[]): string;
export declare function hexToBytes(hex: string | Uint8Array | number[]): Uint8Array;

export type ScardErrorKind =
  | 'scard' | 'rejected' | 'unsupported' | 'disconnected' | 'timeout' | 'invalid_argument' | 'protocol';

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

export interface PortLike {
  postMessage(message: unknown): void;
  disconnect(): void;
  onMessage: { addListener(listener: (message: any) => void): void };
  onDisconnect: { addListener(listener: (port: any) => void): void };
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

export declare class ScardBridgeClient {
  static connect(options?: { hostName?: string; runtime?: any; requestTimeoutMs?: number }): ScardBridgeClient;
  constructor(port: PortLike, options?: { requestTimeoutMs?: number; runtime?: any });
  readonly connected: boolean;
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

  introduceReader(context: Handle, readerName: string, deviceName: string, options?: RequestOptions): Promise<void>;
  getDeviceTypeId(context: Handle, readerName: string, options?: RequestOptions): Promise<number>;
  getReaderIcon(context: Handle, readerName: string, options?: RequestOptions): Promise<string>;
  getTransmitCount(context: Handle, options?: RequestOptions): Promise<number>;

  waitForCard(context: Handle, options?: { readers?: string[]; timeoutMs?: number; signal?: AbortSignal }): Promise<{ reader: string; atr: string }>;
  watchCards(options: {
    onEvent: (event: CardEvent) => void;
    onError?: (error: ScardError) => void;
    context?: Handle;
    readers?: string[];
    waitTimeoutMs?: number;
  }): Watcher;
}

export default ScardBridgeClient;
