// The user's answers: refused, revoked, denied, allowed once (and per reader).

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { READER } from '../session.mjs';

export default function consent(s) {
  test('a refused site gets NotAllowedError unasked; revoking ends a site\'s sessions, and "deny" holds for the page', async (t) => {
    const { server, port, order, answerPrompt, promptsFor } = s;
    if (!s.cardSessionRan) {
      t.skip('no card session: the host or the virtual reader is missing');
      return;
    }
    await order({ open: `http://127.0.0.1:${port}/site/page.html?refused` });
    const refused = await server.waitFor('refused-page');
    assert.deepEqual([refused.smartCard, refused.refused?.name], ['object', 'NotAllowedError'], JSON.stringify(refused));
    assert.deepEqual(refused.inWorker, { smartCard: 'undefined', scheme: 'http:' }, 'its worker is left as it was');
    assert.equal(promptsFor(`http://127.0.0.1:${port}`), 0, 'no prompt for a refused site');

    await server.waitFor('question:page:revoke');
    await order({ revoke: `http://localhost:${port}` });
    await server.waitFor('revoked');
    server.answer('page:revoke');
    await answerPrompt(`http://localhost:${port}`, 'deny');
    const { inFlight, afterRevoke, again } = await server.waitFor('page:after-revoke');
    assert.equal(inFlight?.name, 'SecurityError', `the open context: ${JSON.stringify(inFlight)}`);
    assert.equal(afterRevoke?.name, 'NotAllowedError', `asked again, denied: ${JSON.stringify(afterRevoke)}`);
    assert.equal(again?.name, 'NotAllowedError', JSON.stringify(again));
    assert.equal(promptsFor(`http://localhost:${port}`), 2, 'the denied page is not asked again');
  });

  test('"allow once" lasts for the page and asks at each reader\'s first connect; the next page of the site asks again', async (t) => {
    const { server, port, order, answerPrompt, promptsFor } = s;
    if (!s.cardSessionRan) {
      t.skip('no card session: the host or the virtual reader is missing');
      return;
    }
    const consent = (label) => `http://localhost:${port}/site/limits.html?mode=consent&label=${label}`;
    await order({ open: `${consent('once')}&reader=${encodeURIComponent(READER)}` });
    await answerPrompt(`http://localhost:${port}`, 'once');
    await answerPrompt(`http://localhost:${port}`, 'once', '', READER);
    await answerPrompt(`http://localhost:${port}`, 'deny', '', 'Not Allowed Reader');
    const once = await server.waitFor('consent:once');
    assert.ok(once.readers >= 1, JSON.stringify(once));
    assert.deepEqual(once.connects, ['connected', 'connected', 'NotAllowedError', 'NotAllowedError'], 'asked once per reader');
    await order({ open: consent('closed') });
    await answerPrompt(`http://localhost:${port}`, 'close');
    const closed = await server.waitFor('consent:closed');
    assert.equal(closed.name, 'NotAllowedError', `a prompt closed unanswered denies: ${JSON.stringify(closed)}`);
    assert.equal(promptsFor(`http://localhost:${port}`), 6);
  });
}
