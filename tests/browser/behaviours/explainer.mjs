// navigator.smartCard on an extension page, and the draft's examples on a web page.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { VirtualCard, DEFAULT_ATR } from '../virtual_card.mjs';
import { STEP_TIMEOUT_MS, waitUntil } from '../harness.mjs';
import { VPCD_PORT, READER, PIN_PAD_READER, SETTABLE } from '../session.mjs';

export default function explainer(s) {
  // The test's part of a run of the explainer examples: the card goes in when the
  // page waits for it and out at the end; then each step's outcome is checked.
  async function explainerRun(where) {
    const { server } = s;
    const readers = await server.waitFor(`${where}:readers`);
    assert.ok(readers.readers.includes(READER), JSON.stringify(readers.readers));

    const waiting = await server.waitFor(`${where}:waiting`);
    assert.equal(waiting.wasPresent, false, 'the run starts without a card');
    assert.equal(waiting.overlapping.name, 'InvalidStateError', 'a second call on a context that waits is refused');
    await server.waitFor(`question:${where}:insert-card`);
    s.card = new VirtualCard({ port: VPCD_PORT });
    await s.card.insert();
    server.answer(`${where}:insert-card`);

    const arrived = await server.waitFor(`${where}:card`);
    assert.deepEqual(arrived, { ...arrived, readerName: READER, present: true, changed: true, atr: DEFAULT_ATR, counted: true });

    const sent = await server.waitFor(`${where}:transmitted`);
    assert.equal(sent.activeProtocol, 't1');
    assert.equal(sent.response, '9000');
    assert.equal(sent.isArrayBuffer, true);
    assert.deepEqual(sent.status, { readerName: READER, state: 't1', atr: DEFAULT_ATR });

    const transaction = await server.waitFor(`${where}:transaction`);
    assert.deepEqual(transaction.inside, ['9000', 'CAFEF00D9000']);
    assert.equal(transaction.blocked.name, 'InvalidStateError', 'another connection waits for the transaction');
    assert.equal(transaction.failed.name, 'RangeError', "the callback's failure is the transaction's");
    assert.deepEqual(
      transaction.afterwards.map((e) => e.responseCode),
      ['reset-card', 'reset-card'],
      'a failed callback ends its transaction with "reset"',
    );

    const aborted = await server.waitFor(`${where}:aborted`);
    assert.equal(aborted.same, true, `the abort reason comes back as given: ${JSON.stringify(aborted.aborted)}`);
    assert.equal(aborted.usable, true, 'the context serves again after the abort');

    const { pnp } = await server.waitFor(`${where}:pnp`);
    assert.ok(pnp.resolved === 1 || pnp.name === 'UnknownError', JSON.stringify(pnp));

    const attributes = await server.waitFor(`${where}:attributes`);
    assert.equal(attributes.atrAttribute, DEFAULT_ATR);
    assert.deepEqual(
      [attributes.unsupported.name, attributes.unsupported.responseCode],
      ['SmartCardError', 'unsupported-feature'],
    );

    const { afterDisconnect } = await server.waitFor(`${where}:disconnected`);
    assert.equal(afterDisconnect.name, 'InvalidStateError');

    if (PIN_PAD_READER) {
      const pad = await server.waitFor(`${where}:pin-pad`);
      assert.equal(pad.answer, '9000', 'the PIN typed on the keypad is right');
      assert.equal(pad.tooLong.name, 'TypeError', 'control input beyond the host limit');
    }

    await server.waitFor(`question:${where}:remove-card`);
    await s.card.remove();
    server.answer(`${where}:remove-card`);
    await server.waitFor(`${where}:done`);
  }

  test("navigator.smartCard on an extension page reaches the host over the page's own port", async (t) => {
    const { server, port, order } = s;
    if (!s.cardSessionRan) {
      t.skip('no card session: the host or the virtual reader is missing');
      return;
    }
    const { decisions } = await server.waitFor('origins-decided');
    assert.deepEqual(decisions, { [`http://127.0.0.1:${port}`]: 'refused' });
    await order({ open: '/smart-card.html' });
    const { readers } = await server.waitFor('extension:readers');
    assert.ok(readers.includes(READER), JSON.stringify(readers));
  });

  test('the explainer examples on a web page: its first establishContext() waits for the user, who allows the site always', async (t) => {
    const { port, order, answerPrompt, hostsSince, promptsFor } = s;
    if (!s.cardSessionRan) {
      t.skip('no card session: the host or the virtual reader is missing');
      return;
    }
    const hosts = hostsSince();
    await order({ open: `http://localhost:${port}/site/page.html` });
    await waitUntil(() => promptsFor(`http://localhost:${port}`) > 0, STEP_TIMEOUT_MS, 'the prompt');
    assert.deepEqual(hosts(), [], 'no host before the user answers');
    await answerPrompt(`http://localhost:${port}`, 'always');
    await explainerRun('page');
  });

  test('setAttribute sets a value the reader takes', async (t) => {
    const { server } = s;
    if (!SETTABLE || !PIN_PAD_READER) {
      t.skip('VORN_SET_ATTRIB_TAG or the PIN-pad reader is missing');
      return;
    }
    const [tag, value] = SETTABLE.split(':');
    const pad = server.reports.find((r) => r.step === 'page:pin-pad');
    assert.deepEqual(pad?.setAttribute, { readBack: value.toUpperCase() }, `setAttribute(${tag}) then getAttribute`);
  });
}
