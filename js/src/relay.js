// navigator.smartCard for web pages, through an extension. Three parts, one per world:
//
//   page (the page's own world)    content script (isolated world)      background
//   installPageSmartCard()  <-MessagePort->  relayContentScript()  <-runtime port->  startRelay()  <-native port->  host
//
// The page script is on every secure page the extension may reach; the background
// decides at the page's first establishContext(): an administrator's policy
// (storage.managed), then the user's decision for the site (storage.local), else it
// asks the user in a window of its own (consentPrompt()): allow once (for this page),
// always for this site, or deny. Only then does it open a native port: one host
// session per page, so that handles never cross origins.
// docs/web-smart-card.md ("Web pages") and SECURITY.md say what a page can do.

import { ScardBridgeClient, ScardError, StatusCode, HOST_NAME } from './vorn-scard-client.js';
import { installSmartCard } from './smart-card.js';

export const RELAY_PORT_NAME = 'vorn-smart-card';
/** storage.local key of the user's decisions: { [origin]: "granted" | "refused" }. */
export const GRANTS_KEY = 'vornSmartCardOrigins';
/** storage.managed keys an administrator sets: lists of origins. A blocked origin stays blocked whatever else says. */
export const POLICY_KEYS = Object.freeze({ allowed: 'allowedOrigins', blocked: 'blockedOrigins' });
/** The user's answers in the prompt. */
export const PROMPT_ANSWERS = Object.freeze(['once', 'always', 'deny']);
// storage.session key of the answers for one page and the denials (see startRelay).
const SESSION_KEY = 'vornSmartCardSession';
const SCRIPT_IDS = { page: 'vorn-smart-card-page', relay: 'vorn-smart-card-relay', workers: 'vorn-smart-card-workers' };
// Pages the scripts may be registered for: secure ones (https, http on loopback).
const PAGE_PATTERN = /^(https:\/\/|http:\/\/(localhost|127\.0\.0\.1|\[::1\]|\*\.localhost)(:\d+)?\/)/;
// Answers for this page only ("allow once", "deny") are kept for this many pages;
// the oldest is forgotten first (its page asks again).
const MAX_PAGE_ANSWERS = 256;
// A site the user denied this many times (pages, reloads) is not asked again until the
// browser closes: a page cannot make the prompt come back forever.
export const MAX_DENIALS = 3;
// How long the top page's content script has to vouch for a frame's delegation.
const DELEGATION_TIMEOUT_MS = 2000;

/**
 * Host sessions (native ports) the relay keeps open for web pages: one per page
 * (document), MAX_SESSIONS_PER_ORIGIN per origin across tabs and frames, and
 * MAX_SESSIONS in all. With the host's 32 contexts a session, web pages together
 * hold at most 160 of pcscd's 200 contexts (SECURITY.md). A handshake beyond a
 * bound is answered "busy" and starts nothing.
 */
export const MAX_SESSIONS_PER_ORIGIN = 4;
export const MAX_SESSIONS = 5;

/** The commands a page may send: those the facade uses. */
export const RELAYED_COMMANDS = Object.freeze([
  'get_version',
  'establish_context',
  'release_context',
  'list_readers',
  'list_readers_array',
  'get_status_change',
  'cancel',
  'connect',
  'disconnect',
  'begin_transaction',
  'end_transaction',
  'status',
  'transmit',
  'control',
  'get_attrib',
  'set_attrib',
]);
const RELAYED = new Set(RELAYED_COMMANDS);

function browserApi() {
  return globalThis.browser ?? globalThis.chrome;
}

/**
 * The origin of `text` when it is one a page may be granted: https, or http on the
 * loopback host (as browsers count it secure). null for anything else.
 */
export function grantableOrigin(text) {
  let url;
  try {
    url = new URL(text);
  } catch {
    return null;
  }
  if (url.protocol === 'https:') return url.origin;
  const host = url.hostname;
  const loopback = host === 'localhost' || host.endsWith('.localhost') || /^127(\.\d{1,3}){3}$/.test(host) || host === '[::1]';
  return url.protocol === 'http:' && loopback ? url.origin : null;
}

// Whether the host permission `mine` (a match pattern) covers the pattern `pattern`
// (scheme://host/*): the same, the scheme's every host, or every URL.
function covers(mine, pattern) {
  if (mine === pattern || mine === '<all_urls>') return true;
  const [scheme] = pattern.split('://');
  return mine === `${scheme}://*/*` || (mine === '*://*/*' && (scheme === 'https' || scheme === 'http'));
}

/** The match pattern of an origin's pages (patterns have no port: the relay checks it). */
export function originPattern(origin) {
  const url = new URL(origin);
  return `${url.protocol}//${url.hostname}/*`;
}

/** The user's decisions per origin, kept in storage.local. Absent means refused. */
export class OriginGrants {
  #storage;

  constructor(storage = browserApi().storage) {
    this.#storage = storage;
  }

  async all() {
    const stored = await this.#storage.local.get(GRANTS_KEY);
    return { ...(stored?.[GRANTS_KEY] ?? {}) };
  }

  async granted() {
    return Object.entries(await this.all())
      .filter(([, decision]) => decision === 'granted')
      .map(([origin]) => origin);
  }

  /** Records "granted" or "refused" for the origin of `text`; the origin recorded. */
  async decide(text, decision) {
    const origin = grantableOrigin(text);
    if (origin === null) throw new TypeError(`${JSON.stringify(text)} is not an https origin, nor http on localhost`);
    if (decision !== 'granted' && decision !== 'refused') throw new TypeError('the decision is "granted" or "refused"');
    const all = await this.all();
    all[origin] = decision;
    await this.#storage.local.set({ [GRANTS_KEY]: all });
    return origin;
  }

  /** Forgets the decision: the origin is refused again, and asked anew. */
  async forget(origin) {
    const all = await this.all();
    delete all[origin];
    await this.#storage.local.set({ [GRANTS_KEY]: all });
  }
}

// ---- decisions ----

/** An administrator's lists from storage.managed, as sets of origins (entries that are no origin are ignored). */
export function readPolicy(managed) {
  const list = (key) => new Set((Array.isArray(managed?.[key]) ? managed[key] : []).map((text) => grantableOrigin(String(text))).filter(Boolean));
  return { allowed: list(POLICY_KEYS.allowed), blocked: list(POLICY_KEYS.blocked) };
}

/**
 * What holds for `origin`: "blocked" (the administrator's), "granted" (the
 * administrator's or the user's), "refused" (the user's), or "ask".
 */
export function decisionFor(origin, policy, decisions) {
  if (policy.blocked.has(origin)) return 'blocked';
  if (policy.allowed.has(origin)) return 'granted';
  return decisions[origin] ?? 'ask';
}

/**
 * Whether an iframe's `allow` attribute (its permissions policy) delegates
 * "smart-card" to a document of `origin` in it, `src` being the frame's src: as the
 * draft's permissions policy, the feature's allowlist is `*`, `'src'` (also when
 * empty), `'self'`/`'none'` (never another origin) or origins.
 */
export function delegatesTo(allow, src, origin) {
  for (const directive of String(allow ?? '').split(';')) {
    const [feature, ...allowlist] = directive.trim().split(/\s+/);
    if (feature !== 'smart-card') continue;
    const members = allowlist.length === 0 ? ["'src'"] : allowlist;
    return members.some((member) => {
      if (member === '*') return true;
      if (member === "'src'") return urlOrigin(src) === origin;
      return grantableOrigin(member) === origin && !member.startsWith("'");
    });
  }
  return false;
}

// ---- background ----

// The sender's origin as the browser tells it (never what the page says). A
// sandboxed document's origin is opaque ("null") whatever its address: it is never
// an allowed origin. Firefox gives no sender.origin: there the address's origin is
// taken, and the relay's content script (relayContentScript) does not connect from
// a document whose origin is opaque.
function senderOrigin(sender) {
  if (!sender?.tab) return null;
  if (sender.origin !== undefined) return typeof sender.origin === 'string' && sender.origin !== 'null' ? sender.origin : null;
  return urlOrigin(sender.url);
}

function urlOrigin(text) {
  try {
    const origin = new URL(text).origin;
    return origin === 'null' ? null : origin;
  } catch {
    return null;
  }
}

function validRequest(message) {
  return (
    message !== null &&
    typeof message === 'object' &&
    typeof message.requestId === 'string' &&
    message.requestId.length > 0 &&
    typeof message.command === 'string' &&
    RELAYED.has(message.command) &&
    Array.isArray(message.params)
  );
}

function randomId() {
  return crypto.randomUUID();
}

/**
 * Runs the background's part: keeps the page scripts registered on the secure pages
 * the extension may reach, asks the user where nothing is decided, and relays each
 * allowed page's messages to a native port of its own.
 *
 * @param options.pageScript, options.relayScript the extension's files built from
 *   installPageSmartCard() and relayContentScript() (classic scripts)
 * @param options.workersScript the extension's file built from allowPageWorkers() (with
 *   the worker's part as text), run on the pages of the sites granted for good (by the
 *   user or the administrator): their dedicated workers get navigator.smartCard (none
 *   without it)
 * @param options.promptPage the extension's page built with consentPrompt()
 * @param options.managed where the administrator's policy is read (default storage.managed)
 * @returns { grants, ready, sync(): Promise<void> } (sync: re-reads the decisions now)
 */
export function startRelay({ pageScript, relayScript, workersScript = null, promptPage = 'prompt.html', hostName = HOST_NAME, api = browserApi(), managed = api.storage.managed }) {
  const grants = new OriginGrants(api.storage);
  let policy = readPolicy({});
  let decisions = {};
  const pages = new Set(); // { origin, document, page, native, lasting }
  const pageAnswers = new Map(); // document -> "once" | "deny", oldest first
  const prompts = new Map(); // id -> { origin, embeddedIn, settle, windowId }
  const delegations = new Map(); // token -> { tabId, settle }
  const asking = new Set(); // { origin, tabId, settled }: one prompt at a time per origin and per tab
  const denials = new Map(); // origin -> times the user denied it

  const end = (entry, reply) => {
    if (!pages.delete(entry)) return;
    try {
      entry.native.disconnect();
    } catch {
      // gone already
    }
    try {
      if (reply) entry.page.postMessage(reply);
      entry.page.disconnect();
    } catch {
      // the page went away
    }
  };
  const denial = (origin, why = 'the user has not allowed it') => ({ relay: 'denied', message: `${origin} may not use smart cards (${why})` });
  const refusal = (origin, why) => ({ relay: 'not-allowed', message: `${origin} may not use smart cards (${why})` });
  // Which bound a new session of `origin` from `document` would pass, if any.
  const overBound = (origin, document) => {
    const live = [...pages];
    if (live.some((entry) => entry.document === document)) return 'this page has a smart-card session already (one per page)';
    if (live.filter((entry) => entry.origin === origin).length >= MAX_SESSIONS_PER_ORIGIN) {
      return `${origin} has ${MAX_SESSIONS_PER_ORIGIN} smart-card sessions open already (pages of one site may have ${MAX_SESSIONS_PER_ORIGIN})`;
    }
    if (live.length >= MAX_SESSIONS) return `web pages have ${MAX_SESSIONS} smart-card sessions open already`;
    return null;
  };
  // A page allowed once keeps its session until the site is refused or blocked; one
  // allowed for the site, until the site is no longer granted.
  const stillAllowed = (entry) => {
    const now = decisionFor(entry.origin, policy, decisions);
    return entry.lasting ? now === 'granted' : now !== 'blocked' && now !== 'refused';
  };
  // The answers for a page and the denials outlive a stopped background (a service
  // worker stops when idle) in storage.session, until the browser closes.
  const session = api.storage.session;
  const keep = () => session?.set({ [SESSION_KEY]: { pages: [...pageAnswers], denials: [...denials] } }).catch(() => {});
  const restore = async () => {
    const kept = (await session?.get(SESSION_KEY).catch(() => null))?.[SESSION_KEY];
    for (const [document, answer] of kept?.pages ?? []) if (!pageAnswers.has(document)) pageAnswers.set(document, answer);
    for (const [origin, count] of kept?.denials ?? []) if (!denials.has(origin)) denials.set(origin, count);
  };
  const rememberForPage = (document, answer) => {
    pageAnswers.delete(document);
    pageAnswers.set(document, answer);
    if (pageAnswers.size > MAX_PAGE_ANSWERS) pageAnswers.delete(pageAnswers.keys().next().value);
    keep();
  };

  // Every secure page the extension may reach gets the scripts: where nothing is
  // decided yet, the page's first establishContext() asks the user. The pages of the
  // sites granted for good also get workersScript (their workers get the API).
  let workerPatterns = '';
  const grantedPatterns = (held) => {
    const granted = new Set([...policy.allowed, ...Object.keys(decisions)].filter((origin) => decisionFor(origin, policy, decisions) === 'granted'));
    return [...new Set([...granted].map(originPattern))].filter((pattern) => held.some((mine) => covers(mine, pattern))).sort();
  };
  const register = async ({ always = true } = {}) => {
    const held = (await api.permissions.getAll()).origins ?? [];
    const workers = workersScript ? grantedPatterns(held) : [];
    if (!always && workers.join(' ') === workerPatterns) return;
    workerPatterns = workers.join(' ');
    const matches = held.filter((pattern) => PAGE_PATTERN.test(pattern));
    const ours = new Set(Object.values(SCRIPT_IDS));
    const registered = (await api.scripting.getRegisteredContentScripts()).filter((script) => ours.has(script.id));
    if (registered.length > 0) await api.scripting.unregisterContentScripts({ ids: registered.map((script) => script.id) });
    if (matches.length === 0) return;
    // Every frame: the background decides which may have a session.
    const common = { runAt: 'document_start', allFrames: true, persistAcrossSessions: false };
    const scripts = [
      { id: SCRIPT_IDS.relay, js: [relayScript], world: 'ISOLATED', matches, ...common },
      { id: SCRIPT_IDS.page, js: [pageScript], world: 'MAIN', matches, ...common },
    ];
    if (workers.length > 0) scripts.push({ id: SCRIPT_IDS.workers, js: [workersScript], world: 'MAIN', matches: workers, ...common });
    await api.scripting.registerContentScripts(scripts);
  };

  const readManaged = async () => {
    try {
      return (await managed?.get(null)) ?? {};
    } catch {
      return {}; // no policy (Firefox: no managed storage for this extension)
    }
  };

  // One at a time: a change of the decisions may come while the last one is read.
  let syncing = Promise.resolve();
  const sync = ({ scripts = false } = {}) => {
    syncing = syncing
      .catch(() => {})
      .then(async () => {
        policy = readPolicy(await readManaged());
        decisions = await grants.all();
        for (const entry of [...pages]) if (!stillAllowed(entry)) end(entry, denial(entry.origin));
        await register({ always: scripts });
      });
    return syncing;
  };
  const syncLogged = (options) => sync(options).catch((error) => console.error('smart-card relay:', error));

  api.storage.onChanged.addListener((changes, area) => {
    if ((area === 'local' && GRANTS_KEY in changes) || area === 'managed') syncLogged();
  });
  api.permissions.onAdded?.addListener(() => syncLogged({ scripts: true }));
  api.permissions.onRemoved?.addListener(() => syncLogged({ scripts: true }));

  // ---- the prompt ----

  // Asks the user in a window of the extension: "once", "always", "deny" ("deny" too
  // when the window is closed unanswered), or "gone" when the page went away first.
  const ask = (origin, embeddedIn, gone, reader = null) =>
    new Promise((resolve) => {
      const id = randomId();
      const prompt = { origin, embeddedIn, reader, windowId: null };
      prompt.settle = (answer) => {
        if (!prompts.delete(id)) return;
        resolve(answer);
        if (prompt.windowId !== null) api.windows.remove(prompt.windowId).catch(() => {});
      };
      prompts.set(id, prompt);
      gone.then(() => prompt.settle('gone'));
      api.windows
        .create({ url: api.runtime.getURL(`${promptPage}?request=${id}`), type: 'popup', width: 460, height: 320, focused: true })
        .then((window) => {
          prompt.windowId = window.id;
          if (!prompts.has(id)) api.windows.remove(window.id).catch(() => {});
        })
        .catch(() => prompt.settle('deny'));
    });
  api.windows.onRemoved.addListener((windowId) => {
    for (const prompt of prompts.values()) if (prompt.windowId === windowId) prompt.settle('deny');
  });

  // What an extension page (the prompt) or the top page's content script (a frame's
  // delegation) tells the background.
  const ownPage = (sender) => sender.id === api.runtime.id && typeof sender.url === 'string' && sender.url.startsWith(api.runtime.getURL(''));
  api.runtime.onMessage.addListener((message, sender, respond) => {
    if (message?.vornSmartCardPrompt && ownPage(sender)) {
      const prompt = prompts.get(message.request);
      if (message.vornSmartCardPrompt === 'details') respond(prompt ? { origin: prompt.origin, embeddedIn: prompt.embeddedIn, reader: prompt.reader } : null);
      else if (message.vornSmartCardPrompt === 'answer' && PROMPT_ANSWERS.includes(message.answer)) prompt?.settle(message.answer);
      return false;
    }
    if (typeof message?.vornSmartCardDelegation === 'string') {
      const waiting = delegations.get(message.vornSmartCardDelegation);
      // Only the top page of the frame's own tab delegates.
      if (waiting && sender.tab?.id === waiting.tabId && sender.frameId === 0) waiting.settle(message);
    }
    return false;
  });

  // Asks the top page's content script whether the frame's element delegates to it:
  // the frame hands a token to its parent, whose content script reads the element.
  const delegation = (page, sender, origin) =>
    new Promise((resolve) => {
      const token = randomId();
      const settle = (answer) => {
        if (!delegations.delete(token)) return;
        clearTimeout(timer);
        resolve(answer !== null && delegatesTo(answer.allow, answer.src, origin));
      };
      const timer = setTimeout(() => settle(null), DELEGATION_TIMEOUT_MS);
      delegations.set(token, { tabId: sender.tab.id, settle });
      page.postMessage({ relay: 'delegation', token });
    });

  // ---- the pages ----

  // The origin of the top page that embeds a frame of another origin; null for a top page or a same-origin frame.
  const embeddingOf = (sender, origin) => {
    const top = urlOrigin(sender.tab?.url);
    return sender.frameId !== 0 && top !== origin ? top : null;
  };

  // Whether a page may connect to `reader`. A site granted for good (by the user or
  // the administrator) may use every reader; a page allowed once is asked per reader at
  // its first connect to it, naming the reader ("once": this reader for the page's
  // session; "always": the site; "deny": this connect fails, and the next ones to that
  // reader fail unasked). A page denied MAX_DENIALS readers is not asked again.
  const readerAllowed = async (entry, reader) => {
    for (;;) {
      if (!pages.has(entry) || !stillAllowed(entry)) return false;
      if (decisionFor(entry.origin, policy, decisions) === 'granted' || entry.readers.allowed.has(reader)) return true;
      if (entry.readers.denied.has(reader) || entry.readers.denied.size >= MAX_DENIALS) return false;
      const answer = await ask(entry.origin, entry.embeddedIn, entry.gone, reader);
      if (answer === 'gone') return false;
      if (answer === 'always') {
        await grants.decide(entry.origin, 'granted');
        await sync();
      } else if (answer === 'once') {
        entry.readers.allowed.add(reader);
      } else {
        entry.readers.denied.add(reader);
      }
    }
  };

  // Whether this page may have a session: "granted" (and whether for as long as the
  // site is granted), or the refusal to answer.
  const decide = async (page, origin, document, gone, delegated = false) => {
    const sender = page.sender;
    if (origin === null) return { refusal: denial('this page', 'its origin is opaque') };
    const tabId = sender.tab?.id;
    const top = urlOrigin(sender.tab?.url);
    const embeddedIn = embeddingOf(sender, origin);
    if (!delegated && embeddedIn !== null) {
      // A frame of another origin: only where the top page's element delegates to it.
      if (!(await delegation(page, sender, origin))) return { refusal: denial(origin, `${top ?? 'the page'} does not delegate "smart-card" to its frame`) };
    }
    await ready;
    await syncing.catch(() => {});
    let left = false;
    gone.then(() => (left = true));
    // One question at a time per origin and per tab: who waited reads the answers again.
    for (;;) {
      if (left) return { refusal: denial(origin, 'the page went away') };
      const now = decisionFor(origin, policy, decisions);
      if (now === 'blocked') return { refusal: refusal(origin, 'blocked by the administrator') };
      if (now === 'refused') return { refusal: refusal(origin, 'refused by the user') };
      if (now === 'granted') return { lasting: true };
      const before = pageAnswers.get(document);
      if (before === 'once') return { lasting: false };
      if (before === 'deny') return { refusal: refusal(origin, 'the user denied it on this page') };
      if ((denials.get(origin) ?? 0) >= MAX_DENIALS) return { refusal: refusal(origin, `the user denied it ${MAX_DENIALS} times`) };
      const open = [...asking].find((question) => question.origin === origin || question.tabId === tabId);
      if (!open) break;
      page.postMessage({ relay: 'asking' });
      await open.settled.catch(() => {});
    }
    page.postMessage({ relay: 'asking' });
    const question = { origin, tabId };
    let given;
    question.settled = ask(origin, embeddedIn, gone)
      .then(async (answer) => {
        given = answer;
        if (answer === 'always') {
          await grants.decide(origin, 'granted');
          await sync();
          return;
        }
        if (answer === 'gone') return;
        rememberForPage(document, answer);
        if (answer === 'deny') {
          denials.set(origin, (denials.get(origin) ?? 0) + 1);
          keep();
        }
      })
      .finally(() => asking.delete(question));
    asking.add(question);
    await question.settled;
    if (given === 'gone') return { refusal: denial(origin, 'the page went away') };
    return decide(page, origin, document, gone, true);
  };

  const openSession = (page, origin, document, lasting, gone) => {
    const bound = overBound(origin, document);
    if (bound !== null) {
      page.postMessage({ relay: 'busy', message: bound });
      page.disconnect();
      return null;
    }
    const native = api.runtime.connectNative(hostName);
    const readers = { allowed: new Set(), denied: new Set() };
    const entry = { origin, document, page, native, lasting, gone, embeddedIn: embeddingOf(page.sender, origin), readers, asking: Promise.resolve() };
    pages.add(entry);
    page.postMessage({ relay: 'open' });
    native.onMessage.addListener((message) => page.postMessage(message));
    native.onDisconnect.addListener(() => {
      const reason = native.error?.message ?? api.runtime.lastError?.message ?? 'the host ended';
      end(entry, { relay: 'closed', message: reason });
    });
    return (message) => {
      if (!pages.has(entry)) return;
      // Every message is checked against the decisions as they are now.
      if (!stillAllowed(entry)) {
        end(entry, denial(origin));
        return;
      }
      if (message?.relay === 'close') {
        end(entry, null);
        return;
      }
      if (!validRequest(message)) {
        page.postMessage({ relay: 'refused', requestId: String(message?.requestId ?? ''), command: String(message?.command ?? '') });
        return;
      }
      const request = { requestId: message.requestId, command: message.command, params: message.params };
      if (request.command !== 'connect' || decisionFor(origin, policy, decisions) === 'granted') {
        native.postMessage(request);
        return;
      }
      // One reader question at a time per page; the connect waits for its answer.
      const reader = String(request.params[1] ?? '');
      entry.asking = entry.asking.then(async () => {
        const allowed = await readerAllowed(entry, reader).catch(() => false);
        if (!pages.has(entry)) return;
        if (allowed) native.postMessage(request);
        // Answered as the host answers a refused call: SCARD_W_SECURITY_VIOLATION.
        else page.postMessage({ requestId: request.requestId, status: 'error', result: ['0x8010006A', `${origin} may not use the reader "${reader}" (the user has not allowed it)`] });
      });
    };
  };

  api.runtime.onConnect.addListener((page) => {
    // "vorn-smart-card:<id>": the id the page's content script drew for its document.
    const [name, documentId] = String(page.name).split(':');
    if (name !== RELAY_PORT_NAME || !documentId) return;
    const origin = senderOrigin(page.sender);
    const document = `${page.sender.tab?.id}/${page.sender.frameId}/${documentId}`;
    let relay;
    const waiting = [];
    let closed = false;
    let onGone;
    const gone = new Promise((resolve) => (onGone = resolve));
    page.onMessage.addListener((message) => (relay === undefined ? waiting.length < 64 && waiting.push(message) : relay?.(message)));
    page.onDisconnect.addListener(() => {
      closed = true;
      onGone();
      for (const entry of [...pages]) if (entry.page === page) end(entry, null);
    });
    decide(page, origin, document, gone)
      .then(({ refusal, lasting }) => {
        if (closed) return;
        if (refusal) {
          page.postMessage(refusal);
          page.disconnect();
          relay = null;
          return;
        }
        relay = openSession(page, origin, document, lasting, gone);
        for (const message of waiting.splice(0)) relay?.(message);
      })
      .catch((error) => {
        console.error('smart-card relay:', error);
        if (!closed) page.disconnect();
      });
  });
  api.tabs?.onRemoved?.addListener((tabId) => {
    for (const document of [...pageAnswers.keys()]) if (document.startsWith(`${tabId}/`)) pageAnswers.delete(document);
  });

  const ready = Promise.all([restore(), sync({ scripts: true })]).then(
    () => {},
    (error) => console.error('smart-card relay:', error),
  );
  return { grants, ready, sync };
}

// ---- the prompt page ----

/**
 * The prompt's part, on the extension page `promptPage` of startRelay (opened with
 * "?request=<id>"): shows the origin that asks in the element #origin (and the page
 * that embeds it in #embedded-in, hidden when none; the reader a connect names in
 * #reader's <strong>, hidden when the page asks for a context), and answers with the button
 * clicked: #once, #always or #deny. Closing the window denies.
 */
export async function consentPrompt({ api = browserApi(), document = globalThis.document, location = globalThis.location } = {}) {
  const request = new URLSearchParams(location.search).get('request');
  const details = await api.runtime.sendMessage({ vornSmartCardPrompt: 'details', request });
  if (!details) {
    globalThis.close();
    return;
  }
  document.getElementById('origin').textContent = details.origin;
  const reader = document.getElementById('reader');
  if (reader) {
    reader.hidden = !details.reader;
    reader.querySelector('strong').textContent = details.reader ?? '';
  }
  const embedded = document.getElementById('embedded-in');
  if (embedded) {
    embedded.hidden = details.embeddedIn === null;
    embedded.querySelector('span').textContent = details.embeddedIn ?? '';
  }
  // A service worker that waits for the answer must not be stopped meanwhile.
  setInterval(() => api.runtime.sendMessage({ vornSmartCardPrompt: 'waiting', request }).catch(() => {}), 20000);
  for (const answer of PROMPT_ANSWERS) {
    const button = document.getElementById(answer);
    button.disabled = false;
    button.addEventListener('click', async () => {
      await api.runtime.sendMessage({ vornSmartCardPrompt: 'answer', request, answer });
      globalThis.close();
    });
  }
}

// ---- content script ----

/**
 * The content script's part: hands the page a MessagePort wired to the background.
 * On the top page it also tells the background whether a frame's element delegates
 * "smart-card" to the frame (its `allow` attribute), when the frame asks.
 */
export function relayContentScript({ api = browserApi(), target = globalThis.window } = {}) {
  // A sandboxed document (CSP sandbox, sandboxed iframe) has an opaque origin
  // whatever its address: it never reaches the extension.
  if (target.origin === 'null' || !target.isSecureContext) return;
  // This document's own id: answers "for this page" end with it.
  const documentId = crypto.randomUUID();
  if (target === target.top) {
    target.addEventListener(
      'message',
      (event) => {
        const token = event.data?.vornSmartCardDelegation;
        if (typeof token !== 'string' || event.source === target) return;
        const element = [...target.document.querySelectorAll('iframe')].find((frame) => frame.contentWindow === event.source);
        if (!element) return;
        api.runtime.sendMessage({ vornSmartCardDelegation: token, allow: element.getAttribute('allow') ?? '', src: element.src }).catch(() => {});
      },
      true,
    );
  }
  target.addEventListener('message', (event) => {
    if (event.source !== target || event.data?.vornSmartCard !== 'connect') return;
    // One extension answers: another one's relay on the same page would open a second
    // session and ask the user a second time.
    event.stopImmediatePropagation();
    const channel = new MessageChannel();
    const port = api.runtime.connect({ name: `${RELAY_PORT_NAME}:${documentId}` });
    let open = true;
    const close = (notice) => {
      if (!open) return;
      open = false;
      if (notice) channel.port1.postMessage(notice);
      channel.port1.close();
    };
    port.onMessage.addListener((message) => {
      // The background asks this frame's parent to vouch for it.
      if (message?.relay === 'delegation') target.parent.postMessage({ vornSmartCardDelegation: String(message.token) }, '*');
      else channel.port1.postMessage(message);
    });
    port.onDisconnect.addListener(() =>
      close({ relay: 'closed', message: api.runtime.lastError?.message ?? 'the extension closed the connection' }),
    );
    channel.port1.onmessage = (message) => {
      if (message.data?.relay === 'close') {
        port.disconnect();
        close(null);
        return;
      }
      port.postMessage(message.data);
    };
    target.postMessage({ vornSmartCardRelay: event.data.id }, target.location.origin, [channel.port2]);
  });
}

// ---- page ----

// The first word on a channel to the relay: the session is open (a port shaped like
// runtime.Port), or why not; "asking" while the user is asked (the time-out stops).
function relayAnswer(channel, timer) {
  return new Promise((resolve, reject) => {
    channel.onmessage = ({ data }) => {
      clearTimeout(timer);
      if (data?.relay === 'asking') return;
      if (data?.relay === 'open') {
        resolve(wrapMessagePort(channel));
        return;
      }
      channel.close();
      const message = String(data?.message ?? 'the extension closed the connection');
      if (data?.relay === 'not-allowed') reject(new DOMException(message, 'NotAllowedError'));
      else if (data?.relay === 'busy') reject(new ScardError('scard', message, { code: StatusCode.SCARD_E_SERVER_TOO_BUSY }));
      else reject(new ScardError(data?.relay === 'denied' ? 'denied' : 'disconnected', message));
    };
  });
}

// The first word that tells a worker why the page's session did not open (relayAnswer reads it).
function refusalWord(error) {
  const message = String(error?.message ?? error);
  if (error?.name === 'NotAllowedError') return { relay: 'not-allowed', message };
  if (error instanceof ScardError && error.code === StatusCode.SCARD_E_SERVER_TOO_BUSY) return { relay: 'busy', message };
  return { relay: error instanceof ScardError && error.kind === 'denied' ? 'denied' : 'closed', message };
}

/**
 * A port to the host through the content script, shaped like runtime.Port for
 * ScardBridgeClient, once the extension has opened a host session for this page.
 * Waits while the extension asks the user. Fails with a "NotAllowedError"
 * DOMException when the user or the administrator does not allow this site, or with
 * a ScardError: kind "disconnected" when no relay answers in time (no extension on
 * this page), "denied" when the extension refuses this document (an opaque origin,
 * a frame not delegated to), and kind "scard" with SCARD_E_SERVER_TOO_BUSY
 * (0x80100031) when a session bound is reached (MAX_SESSIONS_PER_ORIGIN...).
 */
export function pageRelayPort({ target = globalThis.window, timeoutMs = 5000 } = {}) {
  const id = `${Date.now().toString(36)}-${Math.random().toString(36).slice(2)}`;
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      target.removeEventListener('message', onMessage);
      reject(new ScardError('disconnected', 'no smart-card extension answered on this page'));
    }, timeoutMs);
    const onMessage = (event) => {
      if (event.source !== target || event.data?.vornSmartCardRelay !== id || !event.ports?.[0]) return;
      target.removeEventListener('message', onMessage);
      relayAnswer(event.ports[0], timer).then(resolve, reject);
    };
    target.addEventListener('message', onMessage);
    target.postMessage({ vornSmartCard: 'connect', id }, target.location.origin);
  });
}

/**
 * The page's one host session, shared by its navigator.smartCard and those of its
 * workers: each call gives a port of its own (runtime.Port's shape) over the same
 * relay port, opened at the first call and again after it closed. Request ids are
 * tagged per port, so that answers go back to the port that asked. Contexts a port
 * established and did not release are released when it disconnects (a worker that
 * ended); the session ends with its last port.
 */
export function pageSession({ target = globalThis.window, timeoutMs = 5000 } = {}) {
  let opening = null;
  let nextTag = 1;
  const open = () =>
    (opening ??= pageRelayPort({ target, timeoutMs }).then(
      (relay) => {
        const users = new Map(); // tag -> { deliver, lost }
        relay.onMessage.addListener((message) => {
          const id = String(message?.requestId ?? '');
          const colon = id.indexOf(':');
          users.get(id.slice(0, colon))?.deliver({ ...message, requestId: id.slice(colon + 1) });
        });
        relay.onDisconnect.addListener(() => {
          opening = null;
          for (const user of [...users.values()]) user.lost(relay.error);
          users.clear();
        });
        return { relay, users };
      },
      (error) => {
        opening = null;
        throw error;
      },
    ));
  return async () => {
    const { relay, users } = await open();
    const tag = `p${nextTag++}`;
    const contexts = new Set(); // the host's handles this port established and holds
    const establishing = new Set(); // request ids of its establish_context
    const messageListeners = [];
    const disconnectListeners = [];
    let connected = true;
    const port = {
      error: undefined,
      postMessage(message) {
        if (!connected) throw new Error('Attempting to use a disconnected port object');
        if (message === null || typeof message !== 'object') return;
        const { requestId, command, params } = message;
        if (command === 'establish_context') establishing.add(requestId);
        if (command === 'release_context' && Array.isArray(params)) contexts.delete(params[0]);
        // Only a request goes on: nothing a port sends can speak for the relay.
        relay.postMessage({ requestId: `${tag}:${requestId}`, command, params });
      },
      disconnect() {
        if (!connected) return;
        connected = false;
        users.delete(tag);
        try {
          for (const context of contexts) relay.postMessage({ requestId: `${tag}:release`, command: 'release_context', params: [context] });
          if (users.size === 0) {
            opening = null;
            relay.disconnect();
          }
        } catch {
          // the session is gone, and what it held with it
        }
      },
      onMessage: { addListener: (listener) => messageListeners.push(listener) },
      onDisconnect: { addListener: (listener) => disconnectListeners.push(listener) },
    };
    users.set(tag, {
      deliver(message) {
        if (establishing.delete(message.requestId) && message.status === 'success' && Array.isArray(message.result)) contexts.add(message.result[1]);
        for (const listener of messageListeners) listener(message);
      },
      lost(error) {
        connected = false;
        port.error = error;
        for (const listener of disconnectListeners) listener(port);
      },
    });
    return port;
  };
}

function wrapMessagePort(channel) {
  const messageListeners = [];
  const disconnectListeners = [];
  let open = true;
  const port = {
    error: undefined,
    postMessage(message) {
      if (!open) throw new Error('Attempting to use a disconnected port object');
      channel.postMessage(message);
    },
    disconnect() {
      if (!open) return;
      open = false;
      channel.postMessage({ relay: 'close' });
      channel.close();
    },
    onMessage: { addListener: (listener) => messageListeners.push(listener) },
    onDisconnect: { addListener: (listener) => disconnectListeners.push(listener) },
  };
  channel.onmessage = (event) => {
    const message = event.data;
    if (message?.relay === undefined) {
      for (const listener of messageListeners) listener(message);
      return;
    }
    if (message.relay === 'refused') {
      // A request the relay would not pass on: fail it like the host's refusal.
      const answer = { requestId: message.requestId, status: 'error', result: 'command_not_supported' };
      for (const listener of messageListeners) listener(answer);
      return;
    }
    if (!open) return;
    open = false;
    port.error = { message: message.message, kind: message.relay === 'denied' ? 'denied' : 'closed' };
    channel.close();
    for (const listener of disconnectListeners) listener(port);
  };
  return port;
}

/**
 * The page's part: defines navigator.smartCard, whose contexts reach the host
 * through the relay, one session per page (pageSession). On the pages where
 * allowPageWorkers() ran, the dedicated workers the page starts get navigator.smartCard
 * too, over the page's session (wrapWorkers).
 */
export function installPageSmartCard({ target = globalThis.window } = {}) {
  // A sandboxed document's origin is opaque: the relay never serves it.
  if (target.origin === 'null' || !target.isSecureContext) return null;
  const session = pageSession({ target });
  const manager = installSmartCard(target.navigator, {
    global: target,
    connect: async () => {
      const client = new ScardBridgeClient(await session());
      client.checkHostVersion();
      return client;
    },
  });
  wrapWorkers({ target, session });
  return manager;
}

// ---- dedicated workers ----
//
// No extension script runs in a worker. The page's Worker constructor is wrapped: a
// worker of the page's own origin starts from a blob: whose first statement installs
// navigator.smartCard in the worker (installWorkerSmartCard), and which then loads
// the page's script by its absolute address (importScripts, or import() for a module
// worker). The worker's facade is the page's own code in the worker's realm; its
// requests reach the page over a MessagePort that only the two scripts hold, and
// the page passes them on in its one session (pageSession): the worker gets what the
// page would, asked for by the page, within the page's bounds.

/** Key of the first message a wrapped worker receives: the page's control port. */
const WORKER_HANDSHAKE = 'vornSmartCardWorker';
// Holds, on the pages of the sites granted for good (allowPageWorkers), the source of
// what runs first in their workers: only there are workers started from a blob:,
// which changes what they see (docs/web-smart-card.md, "Workers"). Set before the
// page's scripts run, and fixed; a page could only have set it to run its own code
// in its own workers.
const WORKER_SCRIPT = Symbol.for('vorn-smart-card-worker-script');

/**
 * The part startRelay's workersScript runs, before the page's scripts, on the pages
 * of the sites granted for good: from then on the dedicated workers the page starts
 * get navigator.smartCard. `workerScript`: the source of a classic script that calls
 * installWorkerSmartCard(), as the extension's build bundles it (the example's
 * build.mjs: `import workerScript from './worker-script.js?script'`).
 */
export function allowPageWorkers({ target = globalThis.window, workerScript }) {
  if (typeof workerScript !== 'string' || workerScript.length === 0) throw new TypeError("allowPageWorkers needs the worker script's source");
  if (!Object.hasOwn(target, WORKER_SCRIPT)) Object.defineProperty(target, WORKER_SCRIPT, { value: workerScript });
}

function wrapWorkers({ target, session }) {
  const Original = target.Worker;
  if (typeof Original !== 'function') return;
  const postMessage = Original.prototype.postMessage;
  const terminate = Original.prototype.terminate;
  const ends = new WeakMap(); // worker -> () => ends what it holds

  // A worker's control port: it asks for sessions ("connect", with a port) and says
  // it closes; the page answers each on its port as the content script answers the page.
  const serve = (control, url) => {
    const channels = new Set();
    const end = () => {
      for (const channel of channels) channel.end();
      channels.clear();
      control.close();
    };
    control.onmessage = ({ data, ports }) => {
      if (data?.worker === 'ready') URL.revokeObjectURL(url);
      else if (data?.worker === 'closing') end();
      else if (data?.worker === 'connect' && ports?.length === 1) {
        const channel = ports[0];
        let port = null;
        let ended = false;
        const entry = {
          end() {
            ended = true;
            port?.disconnect();
            channel.close();
          },
        };
        channels.add(entry);
        channel.postMessage({ relay: 'asking' }); // the page's own handshake has the time-out
        session().then(
          (opened) => {
            if (ended) {
              opened.disconnect();
              return;
            }
            port = opened;
            port.onMessage.addListener((message) => channel.postMessage(message));
            port.onDisconnect.addListener(() => {
              channel.postMessage(refusalWord(new ScardError(port.error?.kind === 'denied' ? 'denied' : 'disconnected', port.error?.message ?? 'the session ended')));
              channels.delete(entry);
              channel.close();
            });
            channel.onmessage = ({ data: message }) => {
              if (message?.relay === 'close') {
                channels.delete(entry);
                entry.end();
              } else if (message?.relay === undefined) {
                port.postMessage(message);
              }
            };
            channel.postMessage({ relay: 'open' });
          },
          (error) => {
            channels.delete(entry);
            if (ended) return;
            channel.postMessage(refusalWord(error));
            channel.close();
          },
        );
      }
    };
    return end;
  };

  function Worker(scriptURL, options = undefined) {
    if (new.target === undefined) throw new TypeError("Failed to construct 'Worker': Please use the 'new' operator.");
    let address = null;
    try {
      address = new URL(String(scriptURL), target.document.baseURI);
    } catch {
      // the browser's own constructor says why
    }
    // Only the page's own scripts at an http(s) address: a data: worker is of no origin,
    // and a page may revoke its blob: address as soon as the worker is made (the blob:
    // start would load it later).
    const own = address !== null && /^https?:$/.test(address.protocol) && address.origin === target.location.origin;
    const workerScript = target[WORKER_SCRIPT];
    if (typeof workerScript !== 'string' || !own) return Reflect.construct(Original, [scriptURL, options], new.target);
    const load = options?.type === 'module'
      ? `import(${JSON.stringify(address.href)}).catch((error) => setTimeout(() => { throw error; }));`
      : `importScripts(${JSON.stringify(address.href)});`;
    const url = URL.createObjectURL(new Blob([`${workerScript}\n${load}\n`], { type: 'text/javascript' }));
    let worker;
    try {
      worker = Reflect.construct(Original, [url, options], new.target);
    } catch {
      // A policy refuses blob: workers (CSP worker-src, Trusted Types): the page's worker as it asked.
      URL.revokeObjectURL(url);
      return Reflect.construct(Original, [scriptURL, options], new.target);
    }
    const control = new MessageChannel();
    postMessage.call(worker, { [WORKER_HANDSHAKE]: true }, [control.port2]);
    ends.set(worker, serve(control.port1, url));
    return worker;
  }
  Object.defineProperty(Worker, 'prototype', { value: Original.prototype });
  Object.setPrototypeOf(Worker, Object.getPrototypeOf(Original));
  Object.defineProperty(Original.prototype, 'terminate', {
    value: function terminateWorker() {
      ends.get(this)?.();
      return terminate.call(this);
    },
    writable: true,
    configurable: true,
    enumerable: false,
  });
  Object.defineProperty(target, 'Worker', { value: Worker, writable: true, configurable: true, enumerable: false });
}

/**
 * The worker's part, first in a worker that wrapWorkers started: defines
 * navigator.smartCard (and the interfaces) in the worker, its sessions asked of the
 * page over the control port the page hands it in its first message. The extension
 * bundles a classic script that calls this, and gives its source to
 * allowPageWorkers({ workerScript }).
 */
export function installWorkerSmartCard({ scope = globalThis, timeoutMs = 5000 } = {}) {
  if (scope.navigator?.smartCard !== undefined) return scope.navigator.smartCard;
  let control = null;
  const controlPort = new Promise((resolve) => {
    const take = (event) => {
      if (event.data?.[WORKER_HANDSHAKE] !== true || event.ports?.length !== 1) return;
      // The worker's own scripts never see the page's port.
      event.stopImmediatePropagation();
      scope.removeEventListener('message', take, true);
      control = event.ports[0];
      control.postMessage({ worker: 'ready' });
      resolve(control);
    };
    // Capturing, and first: at the target, capturing listeners run before the others.
    scope.addEventListener('message', take, true);
  });
  const close = scope.close;
  if (typeof close === 'function') {
    Object.defineProperty(scope, 'close', {
      value: function closeWorker() {
        control?.postMessage({ worker: 'closing' });
        return close.call(this);
      },
      writable: true,
      configurable: true,
      enumerable: false,
    });
  }
  return installSmartCard(scope.navigator, {
    global: scope,
    connect: async () => {
      const channel = new MessageChannel();
      const timer = setTimeout(() => channel.port1.onmessage?.({ data: { relay: 'closed', message: 'no page answered this worker' } }), timeoutMs);
      const answered = relayAnswer(channel.port1, timer);
      controlPort.then((port) => port.postMessage({ worker: 'connect' }, [channel.port2]));
      const client = new ScardBridgeClient(await answered);
      client.checkHostVersion();
      return client;
    },
  });
}
