// Runs once when the test loads the extension: talks to the host through the
// client module, posts every step to the test's server (config.json, written
// by the test next to this file, says where), then closes the port. Then, when
// config.json has "facade", it records the test's per-origin decisions for the
// relay and opens the pages the test names (the navigator.smartCard runs). Or,
// when config.json has "bench", it times round trips instead (bench.js).

import { ScardBridgeClient, ScardError, Protocol, ShareMode, Disposition } from '@vorn/scard-bridge-client/client';
import { startRelay } from '@vorn/scard-bridge-client/relay';
import { runBench } from './bench.js';
import { reporting } from './reporting.js';

// Firefox has browser.* (and chrome.*), the Chromium family chrome.* only.
const api = globalThis.browser ?? globalThis.chrome;

// Its listeners must be in place when the worker starts. Where the browser cannot be
// given a policy here (Chromium reads it from /etc), config.json's "managedStandIn"
// stands in for storage.managed.
const relay = startRelay({
  pageScript: 'page-script.js',
  relayScript: 'relay-script.js',
  workersScript: 'workers-script.js',
  promptPage: 'prompt.html',
  managed: {
    get: async () => {
      const { managedStandIn } = await (await fetch(api.runtime.getURL('config.json'))).json();
      return managedStandIn ?? (await api.storage.managed.get(null));
    },
  },
});

// Service workers may not use top-level await: everything runs from main().
let config;
let report;
let ask;

function describe(error) {
  return {
    message: String(error?.message ?? error),
    kind: error instanceof ScardError ? error.kind : 'exception',
    code: error?.codeHex ?? null,
    hint: error?.hint ?? null,
  };
}

// The decision the test made as the user beforehand; then the pages it opens, one
// at a time, and the grants it makes and revokes, until it answers with nothing to do.
async function facadeSession() {
  await relay.grants.decide(config.facade.refused, 'refused');
  await relay.sync();
  await report('origins-decided', { decisions: await relay.grants.all() });
  for (let turn = 1; ; turn++) {
    const order = await ask(`next-${turn}`);
    if (order.open) {
      const url = order.open.startsWith('/') ? api.runtime.getURL(order.open.slice(1)) : order.open;
      await api.tabs.create({ url });
    } else if (order.grant) {
      await relay.grants.decide(order.grant, 'granted');
      await relay.sync();
      await report('granted', { origin: order.grant });
    } else if (order.revoke) {
      await relay.grants.forget(order.revoke);
      await relay.sync();
      await report('revoked', { origin: order.revoke });
    } else {
      return;
    }
  }
}

async function cardSession(client) {
  let context;
  try {
    context = await client.establishContext();
  } catch (error) {
    if (error.kind === 'unsupported') {
      await report('card-commands-unsupported', describe(error));
      return;
    }
    throw error;
  }
  await report('context', { context, valid: await client.isValidContext(context) });

  const readers = await client.listReaders(context);
  await report('readers', { readers });
  const reader = config.reader;
  if (!readers.includes(reader)) {
    await report('reader-missing', { reader, readers });
    await client.releaseContext(context);
    return;
  }

  const events = [];
  const watcher = client.watchCards({
    readers: [reader],
    onEvent: (event) => {
      events.push(event);
      report('card-event', { event }).catch(() => {});
    },
    onError: (error) => report('watch-error', describe(error)).catch(() => {}),
  });

  await report('waiting-for-card', { reader });
  const arrived = await client.waitForCard(context, { readers: [reader], timeoutMs: 60000 });
  await report('card', arrived);

  const { card, protocol } = await client.connect(context, reader, ShareMode.SHARED, Protocol.ANY);
  await report('connected', { card, protocol });

  const replies = [];
  for (const apdu of config.apdus) replies.push(await client.transmit(context, card, protocol, apdu));
  await report('transmitted', { replies });

  let rejected = null;
  try {
    await client.transmit(context, card, protocol, '00A404');
  } catch (error) {
    rejected = describe(error);
  }
  await report('short-apdu', { rejected });

  const status = await client.status(context, card);
  await report('status', { status });

  await client.disconnect(context, card, Disposition.LEAVE_CARD);
  await report('card-disconnected');

  // The test now detaches the card; the watcher must see it go.
  await ask('detach-card');
  for (let i = 0; i < 600 && !events.some((e) => e.type === 'removed'); i++) {
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  await watcher.stop();
  await report('watched', { events });

  await client.releaseContext(context);
  let afterRelease = null;
  try {
    await client.listReaders(context);
  } catch (error) {
    afterRelease = describe(error);
  }
  await report('released', { afterRelease });
  return true;
}

// The test driver's PIN pad: the user "types" 1234, the card's PIN; then, told by a
// vendor code of the driver, a wrong PIN.
async function pinPadSession(client) {
  const context = await client.establishContext();
  const reader = config.pinPadReader;
  if (!(await client.listReaders(context)).includes(reader)) {
    await report('pin-pad-missing', { reader });
    await client.releaseContext(context);
    return;
  }
  const { card } = await client.connect(context, reader, ShareMode.SHARED, Protocol.T1);
  const features = await client.getFeatures(context, card);
  const template = '0020008008FFFFFFFFFFFFFFFF';
  const right = await client.verifyPinDirect(context, card, template);
  await client.control(context, card, config.typePinsCode, '30303030');
  const wrong = await client.verifyPinDirect(context, card, template, {
    controlCode: features.VERIFY_PIN_DIRECT,
  });
  await client.control(context, card, config.resetCode, '');
  await client.disconnect(context, card, Disposition.LEAVE_CARD);
  await client.releaseContext(context);
  await report('pin-pad', { features, right, wrong });
}

// A watch that outlives pcscd: with the card in, the test stops pcscd, starts it again
// and puts the card back; the watch reports the reader and its card gone, then both back,
// then the card leaving.
async function serviceRestartSession(client) {
  await ask('restart:insert-card');
  const events = [];
  const count = (type) => events.filter((e) => e.type === type && e.reader === config.reader).length;
  const watcher = client.watchCards({
    readers: [config.reader],
    onEvent: (event) => {
      events.push(event);
      report('restart:event', { event }).catch(() => {});
    },
    onError: (error) => report('watch-error', describe(error)).catch(() => {}),
  });
  const until = async (done) => {
    for (let i = 0; i < 600 && !done(); i++) await new Promise((resolve) => setTimeout(resolve, 100));
  };
  await until(() => count('inserted') === 1);
  await report('restart:watching', { events });
  await until(() => count('reader-added') === 1 && count('inserted') === 2);
  // The card leaves while the watch runs, so that what follows starts without it.
  await ask('restart:remove-card');
  await until(() => count('removed') === 2);
  await watcher.stop();
  await report('restart:watched', { events });
}

async function main() {
  config = await (await fetch(api.runtime.getURL('config.json'))).json();
  ({ report, ask } = reporting(config.reportUrl));
  if (config.bench) {
    await runBench(api.runtime, config.bench, report).catch((error) => report('error', describe(error)));
    return;
  }
  let client;
  try {
    await report('started', { id: api.runtime.id });
    client = ScardBridgeClient.connect({ requestTimeoutMs: config.requestTimeoutMs });
    const healthy = await client.healthcheck();
    const version = await client.getVersion();
    await report('hello', { healthy, version });

    let missing = null;
    try {
      await ScardBridgeClient.connect({ hostName: 'com.vorn.no_such_host', requestTimeoutMs: 10000 }).healthcheck();
    } catch (error) {
      missing = describe(error);
    }
    await report('missing-host', { missing });

    let unsupported = null;
    try {
      await client.request('no_such_command');
    } catch (error) {
      unsupported = describe(error);
    }
    await report('unsupported', { unsupported });

    const cardSessionRan = config.cardSession && (await cardSession(client));
    if (config.pinPadReader) await pinPadSession(client);
    if (config.restartPcscd && cardSessionRan) await serviceRestartSession(client);

    await report('closing');
    client.close();
    await report('port-closed');
    if (config.facade) await facadeSession();
  } catch (error) {
    await report('error', describe(error)).catch(() => {});
    client?.close();
  }
}

main();
