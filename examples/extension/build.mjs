// Builds the loadable extension into dist/: the pages and the manifest as they
// are, each script bundled with what it imports from the client package
// (@vorn/scard-bridge-client). Content scripts cannot be modules, so every
// script is bundled as one self-contained file.
//
//   npm install && npm run build     (then load dist/ in the browser)

import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import * as esbuild from 'esbuild';

const HERE = path.dirname(fileURLToPath(import.meta.url));

const TARGET = ['chrome111', 'firefox128'];

// `import text from './file.js?script'`: the file bundled as a classic script, as a
// string (workers-script.js carries the part that runs first in a page's workers).
function scriptText(nodePaths) {
  return {
    name: 'script-text',
    setup(build) {
      build.onResolve({ filter: /\?script$/ }, (args) => ({
        path: path.resolve(args.resolveDir, args.path.slice(0, -'?script'.length)),
        namespace: 'script-text',
      }));
      build.onLoad({ filter: /.*/, namespace: 'script-text' }, async (args) => {
        const built = await esbuild.build({
          entryPoints: [args.path],
          bundle: true,
          format: 'iife',
          minify: true,
          write: false,
          target: TARGET,
          nodePaths,
          logLevel: 'warning',
        });
        return { contents: built.outputFiles[0].text, loader: 'text', resolveDir: path.dirname(args.path) };
      });
    },
  };
}

/** Bundles each of `scripts` (paths) into `outdir` under its own name, as a classic script. */
export async function bundle(scripts, outdir, { nodePaths = [path.join(HERE, 'node_modules')] } = {}) {
  await esbuild.build({
    // Each under its own name at the top of outdir, wherever its source is.
    entryPoints: scripts.map((file) => ({ in: file, out: path.basename(file, '.js') })),
    outdir,
    bundle: true,
    format: 'iife',
    target: TARGET,
    nodePaths,
    plugins: [scriptText(nodePaths)],
    logLevel: 'warning',
  });
}

const STATIC = ['manifest.json', 'managed-schema.json', 'app.html', 'app.css', 'smart-card.html', 'permissions.html', 'prompt.html'];
const SCRIPTS = ['background.js', 'app.js', 'smart-card.js', 'permissions.js', 'prompt.js', 'page-script.js', 'relay-script.js', 'workers-script.js'];

export async function buildExample(outdir = path.join(HERE, 'dist')) {
  fs.rmSync(outdir, { recursive: true, force: true });
  fs.mkdirSync(outdir, { recursive: true });
  for (const file of STATIC) fs.copyFileSync(path.join(HERE, file), path.join(outdir, file));
  await bundle(
    SCRIPTS.map((file) => path.join(HERE, file)),
    outdir,
  );
  return outdir;
}

if (process.argv[1] && fs.realpathSync(process.argv[1]) === fileURLToPath(import.meta.url)) {
  console.log(`built ${await buildExample()}`);
}
