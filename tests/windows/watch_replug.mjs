// A running watch of the JavaScript client survives the only reader unplugged and plugged
// back, against the Windows host under Wine with the stand-in WinSCard: the stand-in stops
// Windows' Smart Card service when pcscd goes (its last reader removed) and starts it when
// pcscd lists readers again. The client (js/src) drives the host as its native-messaging
// child, over the host's pipes.
//
//   node watch_replug.mjs HOST READER_CONFIG
// HOST: a program that runs the host (standin.sh's host.sh); READER_CONFIG: the
// configuration pcscd is started again with (a build's tests/reader.conf.d). Root only,
// inside scripts/hermetic.sh, with pcscd running: the script stops it and starts it again.
// Every wait is bounded; exits non-zero on the first failure.

import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { ScardBridgeClient, NEW_CONTEXT_CODES, formatHex32 } from '../../js/src/vorn-scard-client.js';
import { VirtualCard } from '../browser/virtual_card.mjs';

const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const [HOST, READER_CONFIG] = process.argv.slice(2);
const VPCD_PORT = 35964;
const READER = 'Virtual PCD 00 01';
const WAIT_MS = 30000;
const started = Date.now();

function say(text) {
  console.log(`watch_replug: ${((Date.now() - started) / 1000).toFixed(1)} s: ${text}`);
}

async function waitUntil(predicate, what, timeoutMs = WAIT_MS) {
  const deadline = Date.now() + timeoutMs;
  while (!predicate()) {
    if (Date.now() > deadline) throw new Error(`${what}: not within ${timeoutMs} ms`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

// runtime.Port over the host's pipes: each message a 32-bit length (native order, little
// endian here) and its JSON.
function hostPort(child) {
  const messageListeners = [];
  const disconnectListeners = [];
  let input = Buffer.alloc(0);
  child.stdout.on('data', (chunk) => {
    input = Buffer.concat([input, chunk]);
    while (input.length >= 4 && input.length >= 4 + input.readUInt32LE(0)) {
      const message = JSON.parse(input.subarray(4, 4 + input.readUInt32LE(0)).toString('utf8'));
      input = input.subarray(4 + input.readUInt32LE(0));
      for (const listener of messageListeners) listener(message);
    }
  });
  child.once('exit', () => {
    for (const listener of disconnectListeners) listener({});
  });
  return {
    postMessage(message) {
      const body = Buffer.from(JSON.stringify(message), 'utf8');
      const header = Buffer.alloc(4);
      header.writeUInt32LE(body.length);
      child.stdin.write(Buffer.concat([header, body]));
    },
    disconnect: () => child.stdin.end(),
    onMessage: { addListener: (listener) => messageListeners.push(listener) },
    onDisconnect: { addListener: (listener) => disconnectListeners.push(listener) },
  };
}

function pcscdPid() {
  return Number(fs.readFileSync('/run/pcscd/pcscd.pid', 'utf8').replace(/\0/g, '').trim());
}

function alive(pid) {
  try {
    return !/^\d+ \(.*\) Z/.test(fs.readFileSync(`/proc/${pid}/stat`, 'utf8'));
  } catch {
    return false;
  }
}

// The failures the host answered, with the command they answered.
const failures = [];
const child = spawn(HOST, [], { stdio: ['pipe', 'pipe', 'ignore'] });
const port = hostPort(child);
const commands = new Map();
const post = port.postMessage;
port.postMessage = (message) => {
  commands.set(message.requestId, message.command);
  post(message);
};
port.onMessage.addListener((message) => {
  if (message.status === 'error' && Array.isArray(message.result)) {
    failures.push({ command: commands.get(message.requestId), code: message.result[0], text: message.result[1] });
  }
});
const client = new ScardBridgeClient(port, { requestTimeoutMs: WAIT_MS });
let card = new VirtualCard({ port: VPCD_PORT });
const events = [];
let watch = null;

// Whether the watch reported `type` for the reader since event number `after`; fails once
// the watch has ended.
function seen(type, after = 0) {
  const ended = events.find((e) => e.type === 'error');
  if (ended) throw new Error(`the watch ended: ${ended.error.message}`);
  return events.slice(after).some((e) => e.type === type && e.reader === READER);
}

try {
  await card.insert();
  watch = client.watchCards({
    onEvent: (event) => {
      events.push(event);
      if (event.reader === READER) say(`${event.type}${event.initial ? ' (initial)' : ''}`);
    },
    onError: (error) => {
      events.push({ type: 'error', error });
      say(`the watch ended: ${error.message}`);
    },
  });
  await waitUntil(() => seen('inserted'), 'the watch reporting the card');
  // A context of the page's own from before the stop, to see what its calls answer after.
  const old = await client.establishContext();

  say('the only reader unplugged: pcscd stops');
  const pid = pcscdPid();
  process.kill(pid, 'SIGTERM');
  await waitUntil(() => !alive(pid), `the exit of pcscd ${pid}`);
  card.socket?.destroy(); // vpcd went with pcscd
  const gone = events.length;
  await waitUntil(() => seen('reader-removed'), 'the watch reporting the reader gone');

  // What a page meets while the service is stopped: every code asks for a new context.
  const probes = [
    ['establish_context', []],
    ['list_readers', [old]],
    ['is_valid_context', [old]],
  ];
  for (const [command, params] of probes) {
    await assert.rejects(client.request(command, params), (error) => {
      say(`while stopped, ${command} answers ${formatHex32(error.code)} "${error.message}"`);
      return error.kind === 'scard';
    });
  }
  const whileStopped = failures.length;

  say('the reader plugged back: pcscd starts');
  const restarted = spawnSync(path.join(ROOT, 'tests/fixtures/start_pcscd.sh'), ['--config', READER_CONFIG], {
    encoding: 'utf8',
    timeout: WAIT_MS,
  });
  assert.equal(restarted.status, 0, restarted.stdout + restarted.stderr);
  card = new VirtualCard({ port: VPCD_PORT });
  await card.insert();
  await waitUntil(() => seen('inserted', gone), 'the watch reporting the card again');

  assert.deepEqual(
    events.filter((e) => e.reader === READER).map((e) => e.type),
    ['inserted', 'removed', 'reader-removed', 'reader-added', 'inserted'],
  );
  const lost = failures.slice(0, whileStopped).filter((f) => !NEW_CONTEXT_CODES.includes(Number.parseInt(f.code, 16)));
  assert.deepEqual(lost, [], 'every failure of a lost service asks for a new context');
  const codes = [...new Set(failures.slice(0, whileStopped).map((f) => `${f.command} ${f.code}`))];
  say(`passed; the host answered, while the service was stopped: ${codes.join(', ')}`);
} finally {
  await watch?.stop();
  say('watch stopped');
  card.socket?.destroy();
  client.close();
  const exited = await Promise.race([
    new Promise((resolve) => (child.exitCode !== null ? resolve(true) : child.once('exit', () => resolve(true)))),
    new Promise((resolve) => setTimeout(() => resolve(false), 10000).unref()),
  ]);
  if (!exited) {
    child.kill('SIGKILL');
    console.error('watch_replug: the host did not exit within 10 s of the end of its input');
    process.exitCode = 1;
  }
  say('host exited');
}
