// The example extension: built from the package, never a copy of it, with the ids
// the docs and tests use.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

import { StatusCode } from '../src/vorn-scard-client.js';
import { FakePort } from './fake_port.js';
import { FakeService } from './fake_service.js';

const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');

// Chromium's extension id: the first 128 bits of SHA-256 of the public key, as letters a-p.
function extensionId(base64Key) {
  const hash = crypto.createHash('sha256').update(Buffer.from(base64Key, 'base64')).digest('hex').slice(0, 32);
  return [...hash].map((c) => String.fromCharCode(97 + Number.parseInt(c, 16))).join('');
}

test('the example extension imports the package and carries no copy of it', () => {
  const dir = path.join(ROOT, 'examples/extension');
  const scripts = fs.readdirSync(dir).filter((f) => f.endsWith('.js'));
  for (const file of scripts) {
    const text = fs.readFileSync(path.join(dir, file), 'utf8');
    for (const [, from] of text.matchAll(/from '([^']+)'/g)) {
      // Or a script of its own, bundled as text (build.mjs): what runs first in a page's workers.
      assert.match(from, /^(@vorn\/scard-bridge-client\/(client|facade|relay)|\.\/[\w-]+\.js\?script)$/, `${file} imports ${from}`);
    }
  }
  assert.ok(!fs.existsSync(path.join(dir, 'lib')), 'no copied client');
  const example = JSON.parse(fs.readFileSync(path.join(dir, 'package.json'), 'utf8'));
  assert.equal(example.dependencies['@vorn/scard-bridge-client'], 'file:../../js');
});

test('the extensions\' "key"s give the ids the docs and tests use', () => {
  const example = JSON.parse(fs.readFileSync(path.join(ROOT, 'examples/extension/manifest.json'), 'utf8'));
  assert.equal(extensionId(example.key), 'khdljmibjcolepppeikajgmbfeenoldp');
  assert.deepEqual(example.permissions, ['nativeMessaging', 'scripting', 'storage']);
  // The API is offered on secure pages only; the relay asks the user before a site gets a host.
  assert.deepEqual(example.host_permissions, ['https://*/*', 'http://localhost/*', 'http://127.0.0.1/*']);
  assert.equal(example.manifest_version, 3);
  const e2e = JSON.parse(fs.readFileSync(path.join(ROOT, 'tests/browser/extension/manifest.json'), 'utf8'));
  assert.equal(extensionId(e2e.key), 'gakdholcnmeofgefiajdikdllecbobod');
});

test('every element the example page script uses is on the page', () => {
  const script = fs.readFileSync(path.join(ROOT, 'examples/extension/app.js'), 'utf8');
  const page = fs.readFileSync(path.join(ROOT, 'examples/extension/app.html'), 'utf8');
  const used = [...script.matchAll(/\$\('([\w-]+)'\)/g)].map((m) => m[1]);
  assert.ok(used.includes('verify-pin') && used.includes('pinpad'));
  const missing = [...new Set(used)].filter((id) => !page.includes(`id="${id}"`));
  assert.deepEqual(missing, []);
});

// The example page on a fake document: what it logs, and the readers in its table.
function fakePage() {
  const log = [];
  const rows = [];
  const element = () => ({ textContent: '', disabled: false, value: '', append() {} });
  const table = {
    rows,
    insertRow() {
      const row = { dataset: {}, cells: [] };
      row.insertCell = () => row.cells[row.cells.push(element()) - 1];
      rows.push(row);
      return row;
    },
    replaceChildren: () => rows.splice(0),
  };
  const elements = new Map();
  globalThis.document = {
    getElementById(id) {
      if (!elements.has(id)) elements.set(id, { ...element(), tBodies: [table], prepend: (item) => log.push(item.textContent) });
      return elements.get(id);
    },
    createElement: element,
    querySelector: () => null,
  };
  globalThis.location = { search: '' };
  return { log, readers: () => rows.map((row) => row.dataset.reader).filter(Boolean) };
}

async function until(predicate, what) {
  for (let i = 0; i < 300 && !predicate(); i++) await new Promise((resolve) => setTimeout(resolve, 10));
  assert.ok(predicate(), what);
}

test('the example page lists the readers again on a new context after the service stopped and started', async () => {
  const page = fakePage();
  const port = new FakePort();
  const service = new FakeService(port, ['Reader A', 'Reader B']);
  globalThis.chrome = { runtime: { connectNative: () => port } };
  // The page as the bundle has it, with the package's client.
  const client = pathToFileURL(path.join(ROOT, 'js/src/vorn-scard-client.js')).href;
  const script = fs.readFileSync(path.join(ROOT, 'examples/extension/app.js'), 'utf8').replace(/'@vorn\/scard-bridge-client\/client'/, `'${client}'`);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-example-'));
  fs.writeFileSync(path.join(dir, 'app.mjs'), script);
  try {
    await import(pathToFileURL(path.join(dir, 'app.mjs')).href);
    await until(() => service.waitingCount() === 1 && page.readers().length === 2, 'the page lists the readers and watches');

    // Windows' stop with the last reader unplugged.
    service.stop(StatusCode.SCARD_E_SERVICE_STOPPED, StatusCode.SCARD_E_SERVICE_STOPPED, { unplug: true });
    await until(() => page.log.some((line) => line.endsWith('readers: (none)')), 'the page shows no reader');
    service.start();
    service.plug('Reader A');
    service.plug('Reader B');
    await until(() => page.readers().length === 2, 'the page lists the readers again');
    await until(() => service.waitingCount() === 1, 'the watch waits again');

    assert.deepEqual(page.log.filter((line) => line.includes('error')), []);
    const live = [...service.contexts].filter(([handle, generation]) => generation === service.generation && !service.released.includes(handle));
    assert.equal(live.length, 2, 'one context for the page and one for the watch, none left behind');
  } finally {
    port.hostDisconnect();
    fs.rmSync(dir, { recursive: true });
  }
});
