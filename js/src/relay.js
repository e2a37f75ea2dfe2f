// navigator.smartCard for web pages, through an extension, on the origins the user
// allowed. Three parts, one per world:
//
//   page (the page's own world)    content script (isolated world)      background
//   installPageSmartCard()  <-MessagePort->  relayContentScript()  <-runtime port->  startRelay()  <-native port->  host
//
// The background registers the two scripts for the allowed origins only, checks
// the origin of every message against the user's current decisions, and opens one
// native port (one host session) per page, so that handles never cross origins.
// docs/web-smart-card.md ("Web pages") and SECURITY.md say what a page can do.

import { ScardBridgeClient, ScardError, StatusCode, HOST_NAME } from './vorn-scard-client.js';
import { installSmartCard } from './smart-card.js';

export const RELAY_PORT_NAME = 'vorn-smart-card';
/** storage.local key of the user's decisions: { [origin]: "granted" | "refused" }. */
export const GRANTS_KEY = 'vornSmartCardOrigins';
const SCRIPT_IDS = { page: 'vorn-smart-card-page', relay: 'vorn-smart-card-relay' };

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

/** The match pattern of an origin's pages (patterns have no port: the relay checks it). */
export function originPattern(origin) {
  const url = new URL(origin);
  return `${url.protocol}//${url.hostname}/*`;
}

/** The user's decisions per origin, kept in storage.local. Absent means refused. */
export class OriginGrants {
  constructor(storage = browserApi().storage) {
    this._storage = storage;
  }

  async all() {
    const stored = await this._storage.local.get(GRANTS_KEY);
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
    await this._storage.local.set({ [GRANTS_KEY]: all });
    return origin;
  }

  /** Forgets the decision: the origin is refused again, and asked anew. */
  async forget(origin) {
    const all = await this.all();
    delete all[origin];
    await this._storage.local.set({ [GRANTS_KEY]: all });
  }
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

/**
 * Why a sender may not have a host session, or null when it may: its origin must be
 * allowed and, in a frame, be the origin of the top-level page (a site's API is not
 * lent to the frames of another site, nor to another site's frames in it).
 */
function senderRefusal(sender, origin, allowed) {
  if (origin === null || !allowed.has(origin)) return 'denied';
  if (sender.frameId !== 0 && urlOrigin(sender.tab?.url) !== origin) return 'denied';
  return null;
}

// The document a port comes from: one host session each.
function senderDocument(sender) {
  return `${sender.tab?.id}/${sender.frameId}/${sender.documentId ?? ''}`;
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

/**
 * Runs the background's part: keeps the page scripts registered for the granted
 * origins, and relays each page's messages to a native port of its own.
 *
 * @param options.pageScript, options.relayScript the extension's files built from
 *   installPageSmartCard() and relayContentScript() (classic scripts)
 * @returns { grants, sync(): Promise<void> } (sync: re-reads the decisions now)
 */
export function startRelay({ pageScript, relayScript, hostName = HOST_NAME, api = browserApi() }) {
  const grants = new OriginGrants(api.storage);
  let allowed = new Set();
  const pages = new Set(); // { origin, page, native }

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
  const denial = (origin) => ({ relay: 'denied', message: `${origin} may not use smart cards (the user has not allowed it)` });
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

  const register = async () => {
    const origins = [...allowed];
    const ours = new Set(Object.values(SCRIPT_IDS));
    const registered = (await api.scripting.getRegisteredContentScripts()).filter((script) => ours.has(script.id));
    if (registered.length > 0) await api.scripting.unregisterContentScripts({ ids: registered.map((script) => script.id) });
    if (origins.length === 0) return;
    const matches = [...new Set(origins.map(originPattern))];
    // Every frame: a frame of the top page's origin gets the API as the page does; the
    // background refuses a session to any other.
    const common = { matches, runAt: 'document_start', allFrames: true, persistAcrossSessions: false };
    await api.scripting.registerContentScripts([
      { id: SCRIPT_IDS.relay, js: [relayScript], world: 'ISOLATED', ...common },
      { id: SCRIPT_IDS.page, js: [pageScript], world: 'MAIN', ...common },
    ]);
  };

  // One at a time: a change of the decisions may come while the last one registers.
  let syncing = Promise.resolve();
  const sync = () => {
    syncing = syncing
      .catch(() => {})
      .then(async () => {
        allowed = new Set(await grants.granted());
        for (const entry of [...pages]) if (!allowed.has(entry.origin)) end(entry, denial(entry.origin));
        await register();
      });
    return syncing;
  };

  api.storage.onChanged.addListener((changes, area) => {
    if (area === 'local' && GRANTS_KEY in changes) sync().catch((error) => console.error('smart-card relay:', error));
  });

  // A worker woken by a page reads the decisions first: what the page sends
  // meanwhile waits for them.
  let ready = null;
  const connectPage = (page) => {
    const origin = senderOrigin(page.sender);
    if (senderRefusal(page.sender, origin, allowed) !== null) {
      page.postMessage(denial(origin ?? 'this page'));
      page.disconnect();
      return null;
    }
    const document = senderDocument(page.sender);
    const bound = overBound(origin, document);
    if (bound !== null) {
      page.postMessage({ relay: 'busy', message: bound });
      page.disconnect();
      return null;
    }
    const native = api.runtime.connectNative(hostName);
    const entry = { origin, document, page, native };
    pages.add(entry);
    page.postMessage({ relay: 'open' });
    native.onMessage.addListener((message) => page.postMessage(message));
    native.onDisconnect.addListener(() => {
      const reason = native.error?.message ?? api.runtime.lastError?.message ?? 'the host ended';
      end(entry, { relay: 'closed', message: reason });
    });
    return (message) => {
      // Every message is checked against the decisions as they are now.
      if (!pages.has(entry)) return;
      if (!allowed.has(origin)) {
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
      native.postMessage({ requestId: message.requestId, command: message.command, params: message.params });
    };
  };
  api.runtime.onConnect.addListener((page) => {
    if (page.name !== RELAY_PORT_NAME) return;
    let relay;
    const waiting = [];
    let closed = false;
    page.onMessage.addListener((message) => (relay === undefined ? waiting.push(message) : relay?.(message)));
    page.onDisconnect.addListener(() => {
      closed = true;
      for (const entry of [...pages]) if (entry.page === page) end(entry, null);
    });
    ready.then(() => {
      if (closed) return;
      relay = connectPage(page);
      for (const message of waiting.splice(0)) relay?.(message);
    });
  });

  ready = sync().catch((error) => console.error('smart-card relay:', error));
  return { grants, ready, sync };
}

// ---- content script ----

/** The content script's part: hands the page a MessagePort wired to the background. */
export function relayContentScript({ api = browserApi(), target = globalThis.window } = {}) {
  // A sandboxed document (CSP sandbox, sandboxed iframe) has an opaque origin
  // whatever its address: it never reaches the extension.
  if (target.origin === 'null' || !target.isSecureContext) return;
  target.addEventListener('message', (event) => {
    if (event.source !== target || event.data?.vornSmartCard !== 'connect') return;
    const channel = new MessageChannel();
    const port = api.runtime.connect({ name: RELAY_PORT_NAME });
    let open = true;
    const close = (notice) => {
      if (!open) return;
      open = false;
      if (notice) channel.port1.postMessage(notice);
      channel.port1.close();
    };
    port.onMessage.addListener((message) => channel.port1.postMessage(message));
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

/**
 * A port to the host through the content script, shaped like runtime.Port for
 * ScardBridgeClient, once the extension has opened a host session for this page.
 * Fails with a ScardError: kind "disconnected" when no relay answers in time (the
 * extension is missing or not allowed on this page), "denied" when the extension
 * refuses this page, and kind "scard" with SCARD_E_SERVER_TOO_BUSY (0x80100031)
 * when a session bound is reached (MAX_SESSIONS_PER_ORIGIN...).
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
      const channel = event.ports[0];
      // The background's first word: the session is open, or why not.
      channel.onmessage = ({ data }) => {
        clearTimeout(timer);
        if (data?.relay === 'open') {
          resolve(wrapMessagePort(channel));
          return;
        }
        channel.close();
        const message = String(data?.message ?? 'the extension closed the connection');
        if (data?.relay === 'busy') reject(new ScardError('scard', message, { code: StatusCode.SCARD_E_SERVER_TOO_BUSY }));
        else reject(new ScardError(data?.relay === 'denied' ? 'denied' : 'disconnected', message));
      };
    };
    target.addEventListener('message', onMessage);
    target.postMessage({ vornSmartCard: 'connect', id }, target.location.origin);
  });
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
 * through the relay (a port per resource manager connection).
 */
export function installPageSmartCard({ target = globalThis.window } = {}) {
  // A sandboxed document's origin is opaque: the relay never serves it.
  if (target.origin === 'null' || !target.isSecureContext) return null;
  return installSmartCard(target.navigator, {
    global: target,
    connect: async () => {
      const client = new ScardBridgeClient(await pageRelayPort({ target }));
      client.checkHostVersion();
      return client;
    },
  });
}
