// The administrator's policy from the browser's managed storage.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { waitUntil } from '../harness.mjs';

export default function policy(s) {

  // Whose word wins (a block over the user's grant) is the relay's Node test's: here,
  // that each browser's managed storage reaches the relay.
  test("an administrator's policy, read from the browser's managed storage, allows a site unasked and blocks one", async (t) => {
    const { server, port2, order, hostsSince, promptsFor } = s;
    if (!s.cardSessionRan) {
      t.skip('no card session: the host or the virtual reader is missing');
      return;
    }
    const allowed = `http://localhost:${port2}`;
    const blocked = `http://127.0.0.1:${port2}`;
    const hosts = hostsSince();
    for (const origin of [allowed, blocked]) await order({ open: `${origin}/site/limits.html?mode=consent&label=${origin}` });
    const pass = await server.waitFor(`consent:${allowed}`);
    assert.ok(pass.readers >= 1, JSON.stringify(pass));
    const block = await server.waitFor(`consent:${blocked}`);
    assert.equal(block.name, 'NotAllowedError', JSON.stringify(block));
    assert.deepEqual([promptsFor(allowed), promptsFor(blocked)], [0, 0], 'no prompt either way');
    await waitUntil(() => hosts().length === 0, 10000, "the end of the allowed page's session");
  });
}
