// The relay's decisions that need no browser: whose word wins for an origin, and
// which frames a page delegates "smart-card" to; how the page's ports share its one
// session. The prompt, the frames, the workers and the sessions themselves are tried
// in Chromium and Firefox (tests/browser).

import { test } from 'node:test';
import assert from 'node:assert/strict';

import { MAX_DENIALS, RELAY_PORT_NAME, decisionFor, delegatesTo, pageSession, readPolicy, startRelay } from '../src/relay.js';

test("the administrator's block wins, then the administrator's allow, then the user; else the user is asked", () => {
  const policy = readPolicy({
    allowedOrigins: ['https://allowed.example', 'https://both.example', 'not an origin', 'http://remote.example'],
    blockedOrigins: ['https://blocked.example/some/page', 'https://both.example'],
  });
  assert.deepEqual([...policy.allowed], ['https://allowed.example', 'https://both.example'], 'only secure origins are read');
  const user = { 'https://blocked.example': 'granted', 'https://allowed.example': 'refused', 'https://user.example': 'granted', 'https://no.example': 'refused' };
  const cases = [
    ['https://blocked.example', 'blocked'],
    ['https://both.example', 'blocked'],
    ['https://allowed.example', 'granted'],
    ['https://user.example', 'granted'],
    ['https://no.example', 'refused'],
    ['https://new.example', 'ask'],
    ['https://allowed.example:8443', 'ask'],
  ];
  for (const [origin, expected] of cases) assert.equal(decisionFor(origin, policy, user), expected, origin);
  for (const odd of [undefined, null, { allowedOrigins: 'https://a.example' }, { blockedOrigins: [42] }]) {
    assert.deepEqual(readPolicy(odd), { allowed: new Set(), blocked: new Set() }, JSON.stringify(odd));
  }
});

test('a frame gets "smart-card" only as its element\'s allow attribute delegates it', () => {
  const frame = 'https://frame.example';
  const src = 'https://frame.example/app';
  const cases = [
    ['smart-card', src, true],
    ["smart-card 'src'", src, true],
    ['smart-card', 'https://elsewhere.example/', false], // the frame navigated away from its src
    ['smart-card *', 'https://elsewhere.example/', true],
    ['smart-card https://frame.example', 'about:blank', true],
    ['smart-card https://other.example', src, false],
    ["smart-card 'self'", src, false],
    ["smart-card 'none'", src, false],
    ['camera; smart-card', src, true],
    ['camera *; usb *', src, false],
    ['smart-cards', src, false],
    ['', src, false],
    [null, src, false],
  ];
  for (const [allow, frameSrc, expected] of cases) assert.equal(delegatesTo(allow, frameSrc, frame), expected, `allow=${JSON.stringify(allow)} src=${frameSrc}`);
});

// ---- the background's decisions, against a stand-in of the extension APIs ----

function event() {
  const listeners = [];
  return { addListener: (listener) => listeners.push(listener), fire: (...args) => listeners.map((listener) => listener(...args)) };
}

// What startRelay uses of the browser: windows stand for prompts, native ports count hosts.
function fakeBrowser({ managed = {}, kept = {} } = {}) {
  const local = {};
  const state = { prompts: [], hosts: 0, managed, scripts: [] };
  let nextWindow = 1;
  const api = {
    runtime: {
      id: 'ext',
      getURL: (file) => `ext://ext/${file}`,
      onConnect: event(),
      onMessage: event(),
      connectNative: () => {
        state.hosts += 1;
        return { onMessage: event(), onDisconnect: event(), postMessage() {}, disconnect: () => (state.hosts -= 1) };
      },
    },
    storage: {
      local: {
        get: async (key) => ({ [key]: local[key] }),
        set: async (items) => {
          Object.assign(local, items);
          api.storage.onChanged.fire(Object.fromEntries(Object.keys(items).map((k) => [k, {}])), 'local');
        },
      },
      // storage.session: what a restarted background finds (`kept`, shared by the test).
      session: {
        get: async (key) => ({ [key]: kept[key] }),
        set: async (items) => void Object.assign(kept, structuredClone(items)),
      },
      onChanged: event(),
    },
    permissions: { getAll: async () => ({ origins: ['https://*/*'] }), onAdded: event(), onRemoved: event() },
    scripting: {
      getRegisteredContentScripts: async () => state.scripts,
      unregisterContentScripts: async ({ ids }) => void (state.scripts = state.scripts.filter((script) => !ids.includes(script.id))),
      registerContentScripts: async (scripts) => void state.scripts.push(...scripts),
    },
    windows: {
      create: async ({ url }) => {
        const prompt = { id: nextWindow++, request: new URL(url).searchParams.get('request'), open: true };
        state.prompts.push(prompt);
        return { id: prompt.id };
      },
      remove: async (id) => {
        const prompt = state.prompts.find((p) => p.id === id);
        if (prompt?.open) {
          prompt.open = false;
          api.windows.onRemoved.fire(id);
        }
      },
      onRemoved: event(),
    },
    tabs: { onRemoved: event() },
  };
  return { api, state };
}

const settle = () => new Promise((resolve) => setTimeout(resolve, 0));

async function started(options) {
  const { api, state } = fakeBrowser(options);
  const relay = startRelay({ pageScript: 'p.js', relayScript: 'r.js', workersScript: 'w.js', api, managed: { get: async () => state.managed } });
  await relay.ready;
  let tabs = 0;
  const open = (origin, tabId = ++tabs) => {
    const page = {
      name: `${RELAY_PORT_NAME}:${Math.random()}`,
      sender: { tab: { id: tabId, url: `${origin}/` }, frameId: 0, origin, url: `${origin}/` },
      said: [],
      onMessage: event(),
      onDisconnect: event(),
      postMessage: (message) => page.said.push(message.relay),
      disconnect() {},
    };
    api.runtime.onConnect.fire(page);
    return page;
  };
  const answer = async (answer) => {
    const prompt = state.prompts.find((p) => p.open);
    assert.ok(prompt, 'a prompt is open');
    api.runtime.onMessage.fire({ vornSmartCardPrompt: 'answer', request: prompt.request, answer }, { id: 'ext', url: 'ext://ext/prompt.html' }, () => {});
    await settle();
  };
  const openPrompts = () => state.prompts.filter((p) => p.open).length;
  await settle();
  return { api, state, relay, open, answer, openPrompts };
}

test('one prompt at a time per site; "once" serves the page that asked, "always" every page', async () => {
  const { state, open, answer, openPrompts } = await started();
  const a = open('https://site.example');
  const b = open('https://site.example');
  await settle();
  assert.equal(openPrompts(), 1, 'the second page waits for the first answer');
  assert.equal(state.hosts, 0, 'no host before the answer');
  await answer('once');
  assert.deepEqual([a.said.at(-1), state.hosts], ['open', 1]);
  assert.equal(openPrompts(), 1, 'the other page is asked in turn');
  await answer('always');
  assert.deepEqual([b.said.at(-1), state.hosts], ['open', 2]);
  const c = open('https://site.example');
  await settle();
  assert.deepEqual([c.said.at(-1), state.prompts.length], ['open', 2], 'always: no more prompts');
});

test('deny holds for the page; a site denied three times is not asked again, even by a restarted background', async () => {
  const kept = {};
  const { state, open, answer, openPrompts } = await started({ kept });
  for (let i = 1; i <= MAX_DENIALS; i++) {
    const page = open('https://pest.example');
    await settle();
    await answer('deny');
    assert.equal(page.said.at(-1), 'not-allowed');
  }
  const again = open('https://pest.example');
  await settle();
  assert.deepEqual([again.said.at(-1), openPrompts(), state.hosts], ['not-allowed', 0, 0]);
  const restarted = await started({ kept });
  const later = restarted.open('https://pest.example');
  await settle();
  assert.deepEqual([later.said.at(-1), restarted.openPrompts()], ['not-allowed', 0]);
});

test("the administrator's list wins: no prompt, and a site blocked later loses its sessions", async () => {
  const { api, state, open, relay, openPrompts } = await started({ managed: { allowedOrigins: ['https://corp.example'], blockedOrigins: ['https://bad.example'] } });
  const corp = open('https://corp.example');
  const bad = open('https://bad.example');
  await relay.grants.decide('https://bad.example', 'granted');
  await settle();
  assert.deepEqual([corp.said.at(-1), bad.said.at(-1), openPrompts(), state.hosts], ['open', 'not-allowed', 0, 1]);
  state.managed = { blockedOrigins: ['https://corp.example'] };
  api.storage.onChanged.fire({}, 'managed');
  await settle();
  assert.deepEqual([corp.said.at(-1), state.hosts], ['denied', 0]);
});

test('the workers script runs on the pages of the sites granted for good, and no longer once they are not', async () => {
  const { relay, state } = await started({ managed: { allowedOrigins: ['https://corp.example'], blockedOrigins: ['https://bad.example'] } });
  const workers = () => state.scripts.find((script) => script.js[0] === 'w.js')?.matches ?? [];
  assert.deepEqual(workers(), ['https://corp.example/*']);
  await relay.grants.decide('https://site.example:8443', 'granted');
  await relay.grants.decide('https://bad.example', 'granted');
  await relay.grants.decide('https://refused.example', 'refused');
  await relay.sync();
  assert.deepEqual(workers(), ['https://corp.example/*', 'https://site.example/*']);
  await relay.grants.forget('https://site.example:8443');
  await relay.sync();
  assert.deepEqual(workers(), ['https://corp.example/*']);
  assert.equal(state.scripts.length, 3, 'the page and relay scripts stay');
});

test('a page that goes away while asked closes its prompt, and counts as no answer', async () => {
  const { state, open, openPrompts } = await started();
  const page = open('https://gone.example');
  await settle();
  assert.equal(openPrompts(), 1);
  page.onDisconnect.fire();
  await settle();
  assert.deepEqual([openPrompts(), state.hosts], [0, 0]);
  open('https://gone.example');
  await settle();
  assert.equal(openPrompts(), 1, 'the next page is asked');
});

// ---- one session per page, shared by the page and its workers ----

// A window whose content script answers each handshake with a port to a stand-in relay
// that records what reaches it.
function relayedWindow() {
  const target = new EventTarget();
  const state = { handshakes: 0, received: [], relay: null };
  target.location = { origin: 'https://site.example' };
  target.postMessage = (data) => {
    if (data?.vornSmartCard !== 'connect') return;
    state.handshakes += 1;
    const channel = new MessageChannel();
    state.relay = channel.port1;
    channel.port1.onmessage = ({ data: message }) => state.received.push(message);
    const event = new Event('message');
    Object.assign(event, { data: { vornSmartCardRelay: data.id }, source: target, ports: [channel.port2] });
    target.dispatchEvent(event);
    channel.port1.postMessage({ relay: 'open' });
  };
  return { target, state };
}

const until = async (predicate) => {
  for (let i = 0; i < 200 && !predicate(); i++) await new Promise((resolve) => setTimeout(resolve, 1));
  assert.ok(predicate());
};

test("the page's ports share one session: answers go to the port that asked, and a port that leaves gives back its contexts", async () => {
  const { target, state } = relayedWindow();
  const open = pageSession({ target, timeoutMs: 1000 });
  const [page, worker] = await Promise.all([open(), open()]);
  const heard = { page: [], worker: [] };
  page.onMessage.addListener((message) => heard.page.push(message));
  worker.onMessage.addListener((message) => heard.worker.push(message));
  page.postMessage({ requestId: '1', command: 'establish_context', params: [] });
  worker.postMessage({ requestId: '1', command: 'establish_context', params: [], relay: 'close' });
  await until(() => state.received.length === 2);
  assert.equal(state.handshakes, 1, 'one session for both');
  const [forPage, forWorker] = state.received.map((message) => message.requestId);
  assert.notEqual(forPage, forWorker);
  assert.deepEqual(state.received[1], { requestId: forWorker, command: 'establish_context', params: [] }, 'a port speaks no relay word');
  state.relay.postMessage({ requestId: forWorker, status: 'success', result: ['0x00000000', '0x0000002A'] });
  state.relay.postMessage({ requestId: forPage, status: 'success', result: ['0x00000000', '0x0000002B'] });
  await until(() => heard.page.length === 1 && heard.worker.length === 1);
  assert.deepEqual([heard.page[0].result[1], heard.worker[0].result[1], heard.worker[0].requestId], ['0x0000002B', '0x0000002A', '1']);

  worker.disconnect();
  await until(() => state.received.length === 3);
  assert.deepEqual([state.received[2].command, state.received[2].params], ['release_context', ['0x0000002A']]);
  page.disconnect();
  await until(() => state.received.length === 5);
  assert.deepEqual(state.received.slice(3), [
    { requestId: 'p1:release', command: 'release_context', params: ['0x0000002B'] },
    { relay: 'close' },
  ], 'the session ends with its last port');
  const again = await open();
  assert.equal(state.handshakes, 2, 'and the next port opens a new one');
  again.disconnect();
  state.relay.close();
});
