// The example extension: built from the package, never a copy of it, with the ids
// the docs and tests use.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

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
      assert.match(from, /^@vorn\/scard-bridge-client\/(client|facade|relay)$/, `${file} imports ${from}`);
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
