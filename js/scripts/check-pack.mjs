// What a user of the package gets: the files `npm pack` would put in it, the
// fields a registry and a bundler read, and each export's files. Fails with the
// difference when any of it changes unnoticed (npm run check-pack).

import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const HERE = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const PACKED = [
  'CHANGELOG.md',
  'LICENSE',
  'README.md',
  'package.json',
  'src/global.d.ts',
  'src/relay.d.ts',
  'src/relay.js',
  'src/smart-card.d.ts',
  'src/smart-card.js',
  'src/vorn-scard-client.d.ts',
  'src/vorn-scard-client.js',
];

const [pack] = JSON.parse(execFileSync('npm', ['pack', '--dry-run', '--json', '--ignore-scripts'], { cwd: HERE, encoding: 'utf8' }));
const files = pack.files.map((f) => f.path).sort();
assert.deepEqual(files, PACKED, 'the files in the package');

const manifest = JSON.parse(fs.readFileSync(path.join(HERE, 'package.json'), 'utf8'));
assert.equal(manifest.license, 'Apache-2.0');
assert.equal(manifest.sideEffects, false);
assert.equal(manifest.type, 'module');
for (const field of ['repository', 'homepage', 'bugs', 'description']) assert.ok(manifest[field], `package.json has "${field}"`);
assert.deepEqual(Object.keys(manifest.exports).sort(), ['.', './client', './facade', './global', './package.json', './relay']);
for (const [name, target] of Object.entries(manifest.exports)) {
  for (const file of typeof target === 'string' ? [target] : Object.values(target)) {
    assert.ok(files.includes(path.normalize(file)), `export "${name}" names ${file}, which is packed`);
  }
}
assert.ok(
  fs.readFileSync(path.join(HERE, 'LICENSE')).equals(fs.readFileSync(path.join(HERE, '..', 'LICENSE'))),
  "the package's LICENSE is the project's",
);
console.log(`${pack.name}@${pack.version}: ${files.length} files, ${pack.size} bytes packed`);
