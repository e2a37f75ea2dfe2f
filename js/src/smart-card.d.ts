// Types for smart-card.js: the Web Smart Card API's interfaces, dictionaries and enums.

import type { ScardBridgeClient } from './vorn-scard-client.js';

export type SmartCardResponseCode =
  | 'no-service'
  | 'no-smartcard'
  | 'not-ready'
  | 'not-transacted'
  | 'proto-mismatch'
  | 'reader-unavailable'
  | 'removed-card'
  | 'reset-card'
  | 'server-too-busy'
  | 'sharing-violation'
  | 'system-cancelled'
  | 'unknown-reader'
  | 'unpowered-card'
  | 'unresponsive-card'
  | 'unsupported-card'
  | 'unsupported-feature';
export type SmartCardProtocol = 'raw' | 't0' | 't1';
export type SmartCardAccessMode = 'shared' | 'exclusive' | 'direct';
export type SmartCardDisposition = 'leave' | 'reset' | 'unpower' | 'eject';
export type SmartCardConnectionState = 'absent' | 'present' | 'swallowed' | 'powered' | 'negotiable' | 't0' | 't1' | 'raw';

export interface SmartCardErrorOptions {
  responseCode: SmartCardResponseCode;
}

export declare class SmartCardError extends DOMException {
  constructor(message: string | undefined, options: SmartCardErrorOptions);
  readonly responseCode: SmartCardResponseCode;
}

export interface SmartCardReaderStateFlagsIn {
  unaware?: boolean;
  ignore?: boolean;
  unavailable?: boolean;
  empty?: boolean;
  present?: boolean;
  exclusive?: boolean;
  inuse?: boolean;
  mute?: boolean;
  unpowered?: boolean;
}

export interface SmartCardReaderStateFlagsOut {
  ignore: boolean;
  changed: boolean;
  unavailable: boolean;
  unknown: boolean;
  empty: boolean;
  present: boolean;
  exclusive: boolean;
  inuse: boolean;
  mute: boolean;
  unpowered: boolean;
}

export interface SmartCardReaderStateIn {
  readerName: string;
  currentState: SmartCardReaderStateFlagsIn;
  currentCount?: number;
}

export interface SmartCardReaderStateOut {
  readerName: string;
  eventState: SmartCardReaderStateFlagsOut;
  eventCount: number;
  answerToReset?: ArrayBuffer;
}

export interface SmartCardGetStatusChangeOptions {
  /** Milliseconds; none: wait without end. */
  timeout?: number;
  /** Ends the wait (the host's "cancel"); the promise rejects with the signal's reason. */
  signal?: AbortSignal;
}

export interface SmartCardConnectOptions {
  preferredProtocols?: SmartCardProtocol[];
}

export interface SmartCardConnectResult {
  connection: SmartCardConnection;
  activeProtocol?: SmartCardProtocol;
}

export interface SmartCardTransmitOptions {
  protocol?: SmartCardProtocol;
}

export interface SmartCardTransactionOptions {
  signal?: AbortSignal;
}

export interface SmartCardConnectionStatus {
  readerName: string;
  state: SmartCardConnectionState;
  answerToReset?: ArrayBuffer;
}

export type SmartCardTransactionCallback = () => Promise<SmartCardDisposition | null | undefined>;

export interface SmartCardResourceManagerOptions {
  /** Opens the connection to the host; default: the extension's native port. */
  connect?: () => ScardBridgeClient | Promise<ScardBridgeClient>;
}

export declare class SmartCardResourceManager {
  constructor(options?: SmartCardResourceManagerOptions);
  establishContext(): Promise<SmartCardContext>;
}

export declare class SmartCardContext {
  private constructor();
  listReaders(): Promise<string[]>;
  getStatusChange(
    readerStates: Iterable<SmartCardReaderStateIn>,
    options?: SmartCardGetStatusChangeOptions,
  ): Promise<SmartCardReaderStateOut[]>;
  connect(readerName: string, accessMode: SmartCardAccessMode, options?: SmartCardConnectOptions): Promise<SmartCardConnectResult>;
}

export declare class SmartCardConnection {
  private constructor();
  disconnect(disposition?: SmartCardDisposition): Promise<void>;
  transmit(sendBuffer: BufferSource, options?: SmartCardTransmitOptions): Promise<ArrayBuffer>;
  startTransaction(transaction: SmartCardTransactionCallback, options?: SmartCardTransactionOptions): Promise<void>;
  status(): Promise<SmartCardConnectionStatus>;
  control(controlCode: number, data: BufferSource): Promise<ArrayBuffer>;
  getAttribute(tag: number): Promise<ArrayBuffer>;
  setAttribute(tag: number, value: BufferSource): Promise<void>;
}

/** The SmartCardResponseCode of each PC/SC code that has one, by the code's number. */
export declare const RESPONSE_CODES: Readonly<Record<number, SmartCardResponseCode>>;
/** The most bytes of control input the host takes. */
export declare const MAX_CONTROL_INPUT: 2048;

/** The exception for a PC/SC code: a SmartCardError, TypeError or DOMException. */
export declare function errorForCode(code: number, message?: string): SmartCardError | TypeError | DOMException;
export declare function flagsInToState(flags?: SmartCardReaderStateFlagsIn): number;
export declare function stateToFlagsOut(state: number): SmartCardReaderStateFlagsOut;
export declare function connectionState(state: number, protocol: number): SmartCardConnectionState | undefined;

/** Defines navigator.smartCard where it is absent; the one in place otherwise. */
export declare function installSmartCard(
  target?: { smartCard?: SmartCardResourceManager } | Navigator,
  options?: SmartCardResourceManagerOptions & { global?: object },
): SmartCardResourceManager;

/** The four interfaces, as installSmartCard() makes them globals. */
export declare const INTERFACES: Readonly<{
  SmartCardResourceManager: typeof SmartCardResourceManager;
  SmartCardContext: typeof SmartCardContext;
  SmartCardConnection: typeof SmartCardConnection;
  SmartCardError: typeof SmartCardError;
}>;
/** Makes the interfaces globals of `global` (default globalThis) where it has none. */
export declare function exposeInterfaces(global?: object): void;
