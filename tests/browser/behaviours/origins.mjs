// Sandboxed documents and frames of other sites.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { waitUntil } from '../harness.mjs';

export default function origins(s) {
  test('sandboxed documents and frames of another site start no host; a frame delegated to with allow="smart-card" is asked about', async (t) => {
    const { server, port, order, answerPrompt, hostsSince, promptsFor } = s;
    if (!s.cardSessionRan) {
      t.skip('no card session: the host or the virtual reader is missing');
      return;
    }
    const limits = (origin, params) => `${origin}/site/limits.html?${new URLSearchParams(params)}`;
    const allowed = `http://localhost:${port}`;
    const other = `http://127.0.0.1:${port}`;
    const probe = (label) => limits(allowed, { mode: 'probe', label });

    // Delegated to by another site's page, a frame of a site not decided yet: the prompt
    // names both; allowed once, the frame gets one session.
    let hosts = hostsSince();
    await order({ open: limits(other, { mode: 'frames', src: probe('delegated-frame'), allow: 'smart-card' }) });
    await answerPrompt(allowed, 'once', other);
    const { answers } = await server.waitFor('delegated-frame:probe');
    assert.deepEqual(answers.toSorted(), [...Array(7).fill('busy'), 'open'], JSON.stringify(answers));
    await waitUntil(() => hosts().length === 0, 10000, "the end of the frame's session");
    assert.equal(promptsFor(other), 0, 'the embedding page is never asked about');

    await order({ grant: allowed });
    await server.waitFor('granted');
    hosts = hostsSince();
    const cases = [
      ['sandboxed-page', `${probe('sandboxed-page')}&sandbox-page`],
      ['sandboxed-frame', limits(allowed, { mode: 'frames', src: probe('sandboxed-frame'), sandbox: '' })],
      ['cross-origin-frame', limits(other, { mode: 'frames', src: probe('cross-origin-frame') })],
    ];
    for (const [label, url] of cases) {
      await order({ open: url });
      const { answers, smartCard, origin } = await server.waitFor(`${label}:probe`);
      if (label !== 'cross-origin-frame') {
        assert.deepEqual([origin, smartCard], ['null', 'undefined'], label);
        assert.deepEqual(new Set(answers), new Set(['no answer']), `${label}: the extension never hears of it`);
      } else {
        assert.deepEqual(new Set(answers), new Set(['denied']), `${label}: not delegated to`);
      }
    }
    assert.deepEqual(hosts(), [], 'no host started');
  });
}
