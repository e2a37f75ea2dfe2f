// What a request costs inside the browser: one-at-a-time round trips through
// runtime.connectNative, timed with performance.now(), to our host and to the
// framed echo (a host that sends every frame back: the floor). Every round
// starts new host processes; the hosts take turns request by request, so that
// a slow moment of the machine falls on both. Posts "bench-round" per round,
// then "bench-done".

import { ScardBridgeClient, Protocol, ShareMode } from '@vorn/scard-bridge-client/client';

// One request in flight on `port`; resolves with the answer that carries its requestId.
function roundTripper(port, name) {
  let pending = null;
  let next = 0;
  port.onMessage.addListener((message) => {
    if (pending && message?.requestId === pending.requestId) {
      const { resolve } = pending;
      pending = null;
      resolve(message);
    }
  });
  port.onDisconnect.addListener((p) => {
    const reason = p?.error?.message ?? globalThis.chrome?.runtime?.lastError?.message ?? '';
    pending?.reject(new Error(`${name} disconnected: ${reason}`));
    pending = null;
  });
  return (command, params) =>
    new Promise((resolve, reject) => {
      pending = { requestId: `bench-${++next}`, resolve, reject };
      port.postMessage({ requestId: pending.requestId, command, params });
    });
}

function summary(samples) {
  const sorted = [...samples].sort((a, b) => a - b);
  const at = (q) => sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
  const total = samples.reduce((sum, x) => sum + x, 0);
  const mean = total / samples.length;
  return { count: samples.length, mean, p50: at(0.5), p90: at(0.9), p99: at(0.99), max: sorted.at(-1) };
}

// Opens `name` and, for our host, a card connection for the transmits. The echo
// gets the same messages with made-up handles: it only sends them back.
async function openSide(runtime, name, bench) {
  const port = runtime.connectNative(name);
  const side = { name, port, ask: roundTripper(port, name), transmit: null };
  let context = '0x00000001';
  let card = '0x00000002';
  let protocol = Protocol.T1;
  if (name === bench.host) {
    const client = new ScardBridgeClient(port, { runtime, requestTimeoutMs: 30000 });
    context = await client.establishContext();
    ({ card, protocol } = await client.connect(context, bench.reader, ShareMode.SHARED, Protocol.ANY));
    const check = await client.transmit(context, card, protocol, bench.apdu);
    if (check.sw !== 0x9000) throw new Error(`the virtual card answered ${check.response} to ${bench.apdu}`);
  }
  side.transmit = [context, card, protocol, bench.apdu];
  return side;
}

// The smallest step of performance.now() seen here (browsers coarsen it).
function timerStep() {
  let step = Infinity;
  for (let i = 0; i < 50; i++) {
    const start = performance.now();
    let now = start;
    while (now === start) now = performance.now();
    step = Math.min(step, now - start);
  }
  return step;
}

export async function runBench(runtime, bench, report) {
  for (let round = 0; round < bench.rounds; round++) {
    const names = round % 2 === 0 ? [bench.host, bench.echo] : [bench.echo, bench.host];
    const sides = [];
    for (const name of names) sides.push(await openSide(runtime, name, bench));
    const figures = {};
    for (const [kind, params] of [
      ['healthcheck', () => []],
      ['transmit', (side) => side.transmit],
    ]) {
      const samples = Object.fromEntries(sides.map((s) => [s.name, []]));
      for (let i = 0; i < bench.warmup + bench.count; i++) {
        for (const side of sides) {
          const started = performance.now();
          const answer = await side.ask(kind, params(side));
          const took = performance.now() - started;
          if (side.name === bench.host && answer.status !== 'success') {
            throw new Error(`${side.name}: ${kind} answered ${JSON.stringify(answer)}`);
          }
          if (i >= bench.warmup) samples[side.name].push(took);
        }
      }
      for (const side of sides) figures[`${kind}:${side.name}`] = summary(samples[side.name]);
    }
    for (const side of sides) side.port.disconnect();
    await report('bench-round', { round, figures });
  }
  await report('bench-done', { timerStepMs: timerStep() });
}
