// Types for relay.js: navigator.smartCard for the web pages the user allows.

import type { PortLike } from './vorn-scard-client.js';
import type { SmartCardResourceManager } from './smart-card.js';

export declare const RELAY_PORT_NAME: 'vorn-smart-card';
export declare const GRANTS_KEY: 'vornSmartCardOrigins';
export declare const RELAYED_COMMANDS: readonly RelayedCommand[];
/** Host sessions for web pages: one per page, this many per origin... */
export declare const MAX_SESSIONS_PER_ORIGIN: 4;
/** ...and this many in all. */
export declare const MAX_SESSIONS: 5;

export type RelayedCommand =
  | 'get_version'
  | 'establish_context'
  | 'release_context'
  | 'list_readers'
  | 'list_readers_array'
  | 'get_status_change'
  | 'cancel'
  | 'connect'
  | 'disconnect'
  | 'begin_transaction'
  | 'end_transaction'
  | 'status'
  | 'transmit'
  | 'control'
  | 'get_attrib'
  | 'set_attrib';

export type OriginDecision = 'granted' | 'refused';

/** An https origin, or http on a loopback host; null for anything else. */
export declare function grantableOrigin(text: string): string | null;
/** "https://example.org:8443" -> "https://example.org/*" */
export declare function originPattern(origin: string): string;

/** The parts of the browser's storage area the grants use. */
export interface StorageLike {
  local: {
    get(key: string): Promise<{ [key: string]: unknown }>;
    set(items: { [key: string]: unknown }): Promise<void>;
  };
}

export declare class OriginGrants {
  constructor(storage?: StorageLike);
  all(): Promise<{ [origin: string]: OriginDecision }>;
  granted(): Promise<string[]>;
  decide(origin: string, decision: OriginDecision): Promise<string>;
  forget(origin: string): Promise<void>;
}

export interface RelayOptions {
  /** The extension's file built from installPageSmartCard(). */
  pageScript: string;
  /** The extension's file built from relayContentScript(). */
  relayScript: string;
  hostName?: string;
}

export interface Relay {
  grants: OriginGrants;
  /** Settles once the decisions are read and the scripts registered. */
  ready: Promise<void>;
  /** Reads the decisions again, ends pages no longer allowed, registers the scripts. */
  sync(): Promise<void>;
}

export declare function startRelay(options: RelayOptions): Relay;
export declare function relayContentScript(options?: { target?: Window }): void;
export declare function pageRelayPort(options?: { target?: Window; timeoutMs?: number }): Promise<PortLike>;
export declare function installPageSmartCard(options?: { target?: Window }): SmartCardResourceManager;
