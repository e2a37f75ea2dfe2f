// Types for relay.js: navigator.smartCard for the web pages the user allows.

import type { PortLike } from './vorn-scard-client.js';
import type { SmartCardResourceManager } from './smart-card.js';

export declare const RELAY_PORT_NAME: 'vorn-smart-card';
export declare const GRANTS_KEY: 'vornSmartCardOrigins';
/** The storage.managed keys an administrator sets: lists of origins. */
export declare const POLICY_KEYS: { readonly allowed: 'allowedOrigins'; readonly blocked: 'blockedOrigins' };
/** The user's answers in the prompt: allow on this page, always for this site, deny. */
export declare const PROMPT_ANSWERS: readonly PromptAnswer[];
export type PromptAnswer = 'once' | 'always' | 'deny';
export declare const RELAYED_COMMANDS: readonly RelayedCommand[];
/** Host sessions for web pages: one per page, this many per origin... */
export declare const MAX_SESSIONS_PER_ORIGIN: 4;
/** ...and this many in all. */
export declare const MAX_SESSIONS: 5;
/** A site denied this many times is not asked again until the browser closes. */
export declare const MAX_DENIALS: 3;

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

/** An administrator's lists, as read from storage.managed. */
export interface OriginPolicy {
  allowed: Set<string>;
  blocked: Set<string>;
}
/** Reads storage.managed's lists; entries that are no secure origin are ignored. */
export declare function readPolicy(managed: unknown): OriginPolicy;
/** What holds for an origin: the administrator's block, then allow, then the user's decision, else "ask". */
export declare function decisionFor(
  origin: string,
  policy: OriginPolicy,
  decisions: { [origin: string]: OriginDecision },
): 'blocked' | 'granted' | 'refused' | 'ask';
/** Whether an iframe's allow attribute delegates "smart-card" to a document of `origin` in it. */
export declare function delegatesTo(allow: string | null | undefined, src: string, origin: string): boolean;

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
  /**
   * The extension's file built from allowPageWorkers() (with the worker's part as text),
   * run on the pages of the sites granted for good: their dedicated workers get
   * navigator.smartCard (none without it).
   */
  workersScript?: string;
  /** The extension's page built with consentPrompt() (default "prompt.html"). */
  promptPage?: string;
  hostName?: string;
  /** Where the administrator's policy is read (default storage.managed). */
  managed?: { get(keys: null): Promise<{ [key: string]: unknown }> };
}

export interface Relay {
  grants: OriginGrants;
  /** Settles once the decisions are read and the scripts registered. */
  ready: Promise<void>;
  /** Reads the decisions and the policy again, and ends the sessions no longer allowed. */
  sync(): Promise<void>;
}

/** The prompt window's part: shows who asks (#origin, #embedded-in, #reader at a connect) and answers with #once, #always or #deny. */
export declare function consentPrompt(options?: { document?: Document; location?: Location }): Promise<void>;

export declare function startRelay(options: RelayOptions): Relay;
export declare function relayContentScript(options?: { target?: Window }): void;
export declare function pageRelayPort(options?: { target?: Window; timeoutMs?: number }): Promise<PortLike>;
/** The page's one host session: each call gives a port of its own over it (the page's facade, each worker's). */
export declare function pageSession(options?: { target?: Window; timeoutMs?: number }): () => Promise<PortLike>;
/** navigator.smartCard on a page, through the relay (and in its workers where allowPageWorkers() ran). */
export declare function installPageSmartCard(options?: { target?: Window }): SmartCardResourceManager | null;
/** The part that runs first in a worker the page started: navigator.smartCard over the page's session. */
export declare function installWorkerSmartCard(options?: { scope?: typeof globalThis; timeoutMs?: number }): SmartCardResourceManager;
/**
 * On a page of a site granted for good: its dedicated workers get navigator.smartCard.
 * `workerScript`: the source of a classic script that calls installWorkerSmartCard().
 */
export declare function allowPageWorkers(options: { target?: Window; workerScript: string }): void;
