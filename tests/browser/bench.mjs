// What a request costs inside a real browser: Chromium and Firefox, in the same
// run, each load the test extension in its bench mode (extension/bench.js),
// which times one-at-a-time round trips of `healthcheck` and of `transmit` to
// the virtual card with performance.now(), through our host and through the
// framed echo (vorn-bench-echo, the floor: what the browser's messaging and the
// pipes cost with a host that does nothing). Prints a table; run.sh --bench
// runs it. Nothing here asserts a time.
//
// The card is vorn-bench-card (the end-to-end tests' card in C++): this test's
// card in JavaScript cannot ask the kernel for immediate ACKs, and every APDU
// would wait 40 ms for a delayed one.
//
// Environment: VORN_HOST, VORN_INSTALLER, VORN_ECHO_HOST, VORN_BENCH_CARD (built programs),
// VORN_BROWSERS, VORN_BENCH_ROUNDS (5), VORN_BENCH_COUNT (1000 per round, kind
// and host), VORN_BENCH_WARMUP (50), VORN_BENCH_RESULTS (a JSON file to write),
// VORN_VPCD_PORT / VORN_VPCD_READER.

import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

import { SELECT_TEST_APPLET } from './virtual_card.mjs';
import {
  HOST_NAME,
  ReportServer,
  browserDirs,
  browserOutput,
  browserVersion,
  installHost,
  prepareExtension,
  selectedBrowsers,
  stopProcess,
} from './harness.mjs';

const ECHO_NAME = 'com.vorn.bench_echo';
const env = process.env;
const HOST = env.VORN_HOST;
const INSTALLER = env.VORN_INSTALLER;
const ECHO = env.VORN_ECHO_HOST;
const CARD = env.VORN_BENCH_CARD;
const VPCD_PORT = Number(env.VORN_VPCD_PORT ?? 35964);
const READER = env.VORN_VPCD_READER ?? `Virtual PCD 00 0${VPCD_PORT - 35963}`;
const SETTINGS = {
  rounds: Number(env.VORN_BENCH_ROUNDS ?? 5),
  count: Number(env.VORN_BENCH_COUNT ?? 1000),
  warmup: Number(env.VORN_BENCH_WARMUP ?? 50),
};

for (const [name, file] of [
  ['VORN_HOST', HOST],
  ['VORN_INSTALLER', INSTALLER],
  ['VORN_ECHO_HOST', ECHO],
  ['VORN_BENCH_CARD', CARD],
]) {
  if (!file || !fs.existsSync(file)) {
    console.error(`${name} must name an existing file (got ${file})`);
    process.exit(2);
  }
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const mid = Math.floor(sorted.length / 2);
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
}

// "median [smallest–largest]" over the rounds.
function spread(values, digits = 2) {
  const f = (x) => x.toFixed(digits);
  return `${f(median(values))} [${f(Math.min(...values))}–${f(Math.max(...values))}]`;
}

async function measure(browser, work, server, port) {
  const dirs = browserDirs(work, browser);
  const manifest = installHost(INSTALLER, HOST, browser, dirs);
  fs.writeFileSync(
    path.join(path.dirname(manifest), `${ECHO_NAME}.json`),
    JSON.stringify({
      name: ECHO_NAME,
      description: 'framed echo',
      path: ECHO,
      type: 'stdio',
      ...browser.allowed(browser.extensionId),
    }),
  );
  await prepareExtension(dirs.extension, {
    reportUrl: `http://127.0.0.1:${port}/report`,
    bench: { host: HOST_NAME, echo: ECHO_NAME, reader: READER, apdu: SELECT_TEST_APPLET, ...SETTINGS },
  });
  server.reset();
  // Firefox rounds performance.now() to 1 ms unless told otherwise.
  const prefs = { 'privacy.reduceTimerPrecision': false };
  const running = browser.launch({ ...dirs, extensionDir: dirs.extension, prefs });
  try {
    const perRound = (SETTINGS.warmup + SETTINGS.count) * 4 * 20; // ms, far beyond any round seen
    const { timerStepMs } = await server.waitFor('bench-done', 60000 + SETTINGS.rounds * perRound);
    console.log(`   performance.now() steps by ${timerStepMs.toFixed(3)} ms in ${browser.title}'s extension`);
  } catch (error) {
    throw new Error(`${browser.title}: ${error.message}\n--- its output ---\n${browserOutput(dirs)}`);
  } finally {
    await stopProcess(running);
  }
  return server.reports.filter((r) => r.step === 'bench-round').map((r) => r.figures);
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-browser-bench-'));
const server = new ReportServer();
const card = spawn(CARD, [String(VPCD_PORT)], { stdio: ['pipe', 'pipe', 'inherit'] });
const results = { settings: SETTINGS, reader: READER, browsers: {} };
try {
  const port = await server.listen();
  const [reader] = await Promise.race([
    once(readline.createInterface({ input: card.stdout }), 'line'),
    once(card, 'exit').then(() => Promise.reject(new Error('vorn-bench-card could not insert the card'))),
  ]);
  if (reader !== READER) throw new Error(`the card is in "${reader}", the extension would use "${READER}"`);
  for (const browser of selectedBrowsers()) {
    const version = browserVersion(browser);
    console.log(`== ${browser.title} ${version}: ${SETTINGS.rounds} rounds of ${SETTINGS.count} round trips per kind and host`);
    results.browsers[browser.name] = { version, rounds: await measure(browser, work, server, port) };
  }
} finally {
  card.stdin.end();
  await server.close();
  if (env.VORN_KEEP_BROWSER_TEST_FILES === '1') console.log(`# files kept in ${work}`);
  else fs.rmSync(work, { recursive: true, force: true, maxRetries: 20, retryDelay: 100 });
}

// ---- the table ----
const rows = [];
for (const [name, { version, rounds }] of Object.entries(results.browsers)) {
  for (const kind of ['healthcheck', 'transmit']) {
    const of = (host, figure) => rounds.map((r) => r[`${kind}:${host}`][figure]);
    const ratio = rounds.map((r) => r[`${kind}:${HOST_NAME}`].mean / r[`${kind}:${ECHO_NAME}`].mean);
    for (const [host, label] of [
      [HOST_NAME, 'our host'],
      [ECHO_NAME, 'framed echo'],
    ]) {
      rows.push(
        `| ${name} ${version} | ${kind} | ${label} | ${spread(of(host, 'mean'))} | ${spread(of(host, 'p50'))} | ` +
          `${spread(of(host, 'p99'))} | ${host === HOST_NAME ? spread(ratio) : ''} |`,
      );
    }
  }
}
console.log('');
console.log('| Browser | Request | Host | mean (ms) | p50 (ms) | p99 (ms) | mean, host / echo |');
console.log('|---|---|---|---|---|---|---|');
for (const row of rows) console.log(row);
console.log('\nCells: median of the rounds [smallest–largest round].');
if (env.VORN_BENCH_RESULTS) {
  fs.writeFileSync(env.VORN_BENCH_RESULTS, JSON.stringify(results, null, 2));
  console.log(`Figures of every round: ${env.VORN_BENCH_RESULTS}`);
}
