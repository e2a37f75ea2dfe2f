// The draft's worker on a page of an allowed site.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { waitUntil } from '../harness.mjs';
import { READER } from '../session.mjs';

export default function workers(s) {
  test("a dedicated worker of an allowed page runs the draft's example within the page's session", async (t) => {
    const { server, port2, order, hostsSince } = s;
    if (!s.cardSessionRan) {
      t.skip('no card session: the host or the virtual reader is missing');
      return;
    }
    const hosts = hostsSince();
    await order({ open: `http://localhost:${port2}/site/workers.html` });
    const { runs, usable, failed } = await server.waitFor('workers');
    assert.equal(failed, undefined, JSON.stringify(failed));
    for (const type of ['classic', 'module']) {
      const seen = runs[type];
      assert.deepEqual(
        { ...seen, readers: seen.readers?.includes(READER) },
        { ...seen, smartCard: 'object', scheme: 'blob:', isContext: true, readers: true, failure: 'unknown-reader' },
        `${type}: ${JSON.stringify(seen)}`,
      );
      // The page holds one of its session's 32 contexts; the module worker gets back
      // what the classic one held once it was terminated.
      assert.equal(seen.contexts, 31, `${type}: ${JSON.stringify(seen)}`);
    }
    assert.equal(usable, true, 'the page keeps its own context');
    await waitUntil(() => hosts().length === 0, 10000, "the end of the page's session");
    await order({});
  });
}
