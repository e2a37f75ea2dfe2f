// The installer, the doctor, and the browser starting the installed host.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { HOST_NAME, browserOutput, hostProcesses, installHost, processArguments, waitUntil } from '../harness.mjs';
import { HOST, INSTALLER } from '../session.mjs';

export default function host(s) {
  test(`the installer writes the manifest where ${s.browser.title} reads it`, () => {
    const { browser, dirs } = s;
    s.manifestFile = installHost(INSTALLER, HOST, browser, dirs);
    const manifest = JSON.parse(fs.readFileSync(s.manifestFile, 'utf8'));
    assert.deepEqual(manifest, {
      name: HOST_NAME,
      description: 'Vorn Smart Card Bridge',
      path: HOST,
      type: 'stdio',
      ...browser.allowed(browser.extensionId),
    });
    assert.deepEqual(fs.readdirSync(path.dirname(s.manifestFile)), [`${HOST_NAME}.json`], 'no temporary file is left');
  });

  test('the doctor finds the manifest and makes a healthcheck round trip through the host', () => {
    const { browser, dirs } = s;
    // Firefox's manifest is found in HOME; Chromium's custom profile folder is named.
    const custom = browser.name === 'chromium' ? ['--target-dir', path.dirname(s.manifestFile)] : [];
    const run = spawnSync(INSTALLER, ['doctor', ...custom, browser.idOption, browser.extensionId], {
      encoding: 'utf8',
      timeout: 60000,
      env: { ...process.env, HOME: dirs.home },
    });
    const out = run.stdout;
    const where = browser.name === 'chromium' ? 'custom folder' : 'Mozilla Firefox (user)';
    assert.ok(out.includes(`[ ok ] ${where}: ${s.manifestFile} is valid`), out);
    assert.match(out, /\[ ok \] host .*: healthcheck round trip works \(version 1\.0\.0\)/, out);
    assert.match(out, /\[ ok \] host .*: exits cleanly when the browser closes the pipe/, out);
    assert.doesNotMatch(out, /\[FAIL\] (custom folder|Mozilla Firefox|host)/, out);
  });

  test(`${s.browser.title} starts the host from the manifest: healthcheck and get_version`, async () => {
    const { browser, dirs, server, example } = s;
    s.running = browser.launch({
      profile: dirs.profile,
      home: dirs.home,
      extensionDir: dirs.extension,
      log: dirs.log,
      addons: browser.name === 'firefox' ? [example] : [],
      // The example extension would serve the test's pages too (the first relay on a
      // page answers it): Firefox's quarantined domains keep every add-on but the
      // test's off them.
      prefs: {
        'extensions.quarantinedDomains.enabled': true,
        'extensions.quarantinedDomains.list': 'localhost,127.0.0.1',
        [`extensions.quarantineIgnoredByUser.${browser.extensionId}`]: true,
      },
    });
    const started = await server.waitFor('started').catch((error) => {
      throw new Error(`${error.message}\n--- ${browser.title}'s output ---\n${browserOutput(dirs)}`);
    });
    assert.equal(started.id, browser.extensionId);
    const hello = await server.waitFor('hello');
    assert.equal(hello.healthy, true);
    assert.equal(hello.version, '1.0.0');
    s.hostPids = hostProcesses(HOST);
    assert.equal(s.hostPids.length, 1, `exactly one host runs, started by ${browser.title} (found ${s.hostPids})`);
    assert.deepEqual(processArguments(s.hostPids[0]), browser.hostArguments(s.manifestFile, browser.extensionId));
  });

  if (s.browser.name === 'firefox') {
    test('Firefox loads the example extension unchanged', async () => {
      const { browser, dirs, example } = s;
      await waitUntil(() => browser.activeAddons(dirs.profile).includes(example.id), 20000, `Firefox enabling ${example.id}`);
    });
  }

  test('a host that is not installed is reported with what to do', async () => {
    const { server } = s;
    const { missing } = await server.waitFor('missing-host');
    assert.equal(missing.kind, 'disconnected');
    assert.match(missing.hint ?? '', /vorn-scard-bridge-installer doctor/, JSON.stringify(missing));
  });

  test('an unknown command comes back as "unsupported"', async () => {
    const { server } = s;
    const { unsupported } = await server.waitFor('unsupported');
    assert.equal(unsupported.kind, 'unsupported');
  });
}
