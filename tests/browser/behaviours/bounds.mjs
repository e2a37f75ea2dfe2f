// The session bounds, and another program beside them.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { HOST, otherProgramContext } from '../session.mjs';

export default function bounds(s) {
  test('one host session per page and four per site: the machine keeps contexts for other programs', async (t) => {
    const { work, server, port, order, hostsSince } = s;
    if (!s.cardSessionRan) {
      t.skip('no card session: the host or the virtual reader is missing');
      return;
    }
    const hosts = hostsSince();
    await order({ open: `http://localhost:${port}/site/limits.html?mode=bounds` });
    const page = await server.waitFor('bounds:page');
    assert.equal(page.open, 1, 'one session for the page');
    assert.deepEqual(page.refused, Array(7).fill('0x80100031'), 'the other handshakes: busy, nothing started');
    assert.equal(page.shutdown, 'unsupported', 'the relay passes on only the commands of the API');
    assert.equal(page.version, '1.0.0');
    assert.deepEqual([page.made, page.beyond], [32, '0x80100006'], "the host's per-session cap");
    const frames = [];
    for (let i = 1; i <= 4; i++) frames.push(await server.waitFor(`bounds:frame-${i}`));
    assert.ok(frames.every((f) => f.smartCard === 'object'), 'same-origin frames get the API');
    assert.deepEqual(
      frames.map((f) => f.contexts ?? f.responseCode).sort(),
      [32, 32, 32, 'server-too-busy'].sort(),
      'three more sessions for the site, the fourth frame refused',
    );
    await server.waitFor('question:bounds:other-program');
    assert.equal(hosts().length, 4, 'four hosts for the site');
    assert.match(await otherProgramContext(HOST, work), /^0x[0-9A-F]{8}$/, 'another program still gets a context');
    server.answer('bounds:other-program');
    await server.waitFor('bounds:done');
  });
}
