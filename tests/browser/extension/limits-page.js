// A web page served by the test to try the relay's limits, as a hostile page would:
// raw handshakes from sandboxed documents and from frames of another origin (none may
// start a host), and more sessions and contexts than a page and a site may have.
// And a page that asks once for smart cards, and for readers (consent).
// ?mode=probe|frames|bounds|session|consent&label=...&src=...&allow=... (the frame of "frames")
import { ScardBridgeClient } from '@vorn/scard-bridge-client/client';
import { pageRelayPort } from '@vorn/scard-bridge-client/relay';
import { reporting, outcome } from './reporting.js';

const HANDSHAKES = 8;
const CONTEXTS = 32; // the host's per-session cap

const query = new URLSearchParams(location.search);
const label = query.get('label') ?? 'page';
const here = (params) => `limits.html?${new URLSearchParams(params)}`;

// A raw handshake posted to any listener: what the relay's first word was, if any.
function handshake(timeoutMs) {
  return new Promise((resolve) => {
    const id = Math.random().toString(36).slice(2);
    const timer = setTimeout(() => resolve('no answer'), timeoutMs);
    addEventListener('message', (event) => {
      if (event.data?.vornSmartCardRelay !== id || !event.ports?.[0]) return;
      event.ports[0].onmessage = ({ data }) => {
        clearTimeout(timer);
        if (data?.relay !== 'asking') resolve(String(data?.relay)); // else the user is asked
      };
    });
    postMessage({ vornSmartCard: 'connect', id }, '*');
  });
}

function frame(src, sandbox, allow) {
  const element = document.createElement('iframe');
  if (sandbox) element.sandbox = 'allow-scripts';
  if (allow !== null) element.allow = allow;
  element.src = src;
  document.body.append(element);
}

async function contexts(manager) {
  const made = [];
  for (let i = 0; i < CONTEXTS; i++) made.push(await manager.establishContext());
  return made;
}

async function main(config) {
  const { report, ask } = reporting(config.reportUrl);
  const mode = query.get('mode');
  if (mode === 'probe') {
    const answers = await Promise.all(Array.from({ length: HANDSHAKES }, () => handshake(1500)));
    await report(`${label}:probe`, { origin: self.origin, smartCard: typeof navigator.smartCard, answers });
    location.replace('about:blank'); // ends the session it may have
  } else if (mode === 'frames') {
    // On an allowed page: a sandboxed frame of its own address; on another site's
    // page: a frame of the allowed site, delegated to with ?allow=... or not.
    frame(query.get('src'), query.has('sandbox'), query.get('allow'));
  } else if (mode === 'consent') {
    // The first establishContext() of a site nothing is decided for waits for the user.
    let result;
    try {
      const context = await navigator.smartCard.establishContext();
      result = { readers: (await context.listReaders()).length };
      // With ?reader=: connects to it twice, then twice to a reader the user denies.
      if (query.has('reader')) {
        const connect = (reader) =>
          context.connect(reader, 'direct').then(
            ({ connection }) => connection.disconnect().then(() => 'connected'),
            (error) => error.name,
          );
        result.connects = [];
        for (const reader of [query.get('reader'), query.get('reader'), 'Not Allowed Reader', 'Not Allowed Reader']) {
          result.connects.push(await connect(reader));
        }
      }
    } catch (error) {
      result = outcome(error);
    }
    await report(`consent:${label}`, { origin: self.origin, ...result });
    location.replace('about:blank');
  } else if (mode === 'bounds') {
    const tries = await Promise.allSettled(Array.from({ length: HANDSHAKES }, () => pageRelayPort()));
    const open = tries.filter((t) => t.status === 'fulfilled').map((t) => t.value);
    const refused = tries.filter((t) => t.status === 'rejected').map((t) => t.reason.codeHex ?? t.reason.kind);
    // The one session relays the API's commands and no others.
    const client = new ScardBridgeClient(open[0]);
    let shutdown = null;
    await client.request('shutdown').catch((error) => (shutdown = error.kind));
    const version = await client.getVersion();
    let made = 0;
    let beyond = null;
    for (; made < CONTEXTS + 1; made++) {
      try {
        await client.establishContext();
      } catch (error) {
        beyond = error.codeHex;
        break;
      }
    }
    await report('bounds:page', { open: open.length, refused, shutdown, version, made, beyond });
    for (let i = 1; i <= 4; i++) frame(here({ mode: 'session', label: `frame-${i}` }), false, null);
    await ask('bounds:other-program');
    await report('bounds:done');
  } else if (mode === 'session') {
    // A same-origin frame: the API as its page has it, a session of its own.
    let result;
    try {
      result = { contexts: (await contexts(navigator.smartCard)).length };
    } catch (error) {
      result = outcome(error);
    }
    await report(`bounds:${label}`, { smartCard: typeof navigator.smartCard, ...result });
  }
}

fetch('config.json')
  .then((response) => response.json())
  .then(main)
  .catch((error) => fetch('/report', { method: 'POST', body: JSON.stringify({ step: 'error', where: label, ...outcome(error) }) }));
