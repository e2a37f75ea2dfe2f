// The relay's decisions that need no browser: whose word wins for an origin, and
// which frames a page delegates "smart-card" to. The prompt, the frames and the
// sessions themselves are tried in Chromium and Firefox (tests/browser).

import { test } from 'node:test';
import assert from 'node:assert/strict';

import { decisionFor, delegatesTo, readPolicy } from '../src/relay.js';

test("the administrator's block wins, then the administrator's allow, then the user; else the user is asked", () => {
  const policy = readPolicy({
    allowedOrigins: ['https://allowed.example', 'https://both.example', 'not an origin', 'http://remote.example'],
    blockedOrigins: ['https://blocked.example/some/page', 'https://both.example'],
  });
  assert.deepEqual([...policy.allowed], ['https://allowed.example', 'https://both.example'], 'only secure origins are read');
  const user = { 'https://blocked.example': 'granted', 'https://allowed.example': 'refused', 'https://user.example': 'granted', 'https://no.example': 'refused' };
  const cases = [
    ['https://blocked.example', 'blocked'],
    ['https://both.example', 'blocked'],
    ['https://allowed.example', 'granted'],
    ['https://user.example', 'granted'],
    ['https://no.example', 'refused'],
    ['https://new.example', 'ask'],
    ['https://allowed.example:8443', 'ask'],
  ];
  for (const [origin, expected] of cases) assert.equal(decisionFor(origin, policy, user), expected, origin);
  for (const odd of [undefined, null, { allowedOrigins: 'https://a.example' }, { blockedOrigins: [42] }]) {
    assert.deepEqual(readPolicy(odd), { allowed: new Set(), blocked: new Set() }, JSON.stringify(odd));
  }
});

test('a frame gets "smart-card" only as its element\'s allow attribute delegates it', () => {
  const frame = 'https://frame.example';
  const src = 'https://frame.example/app';
  const cases = [
    ['smart-card', src, true],
    ["smart-card 'src'", src, true],
    ['smart-card', 'https://elsewhere.example/', false], // the frame navigated away from its src
    ['smart-card *', 'https://elsewhere.example/', true],
    ['smart-card https://frame.example', 'about:blank', true],
    ['smart-card https://other.example', src, false],
    ["smart-card 'self'", src, false],
    ["smart-card 'none'", src, false],
    ['camera; smart-card', src, true],
    ['camera *; usb *', src, false],
    ['smart-cards', src, false],
    ['', src, false],
    [null, src, false],
  ];
  for (const [allow, frameSrc, expected] of cases) assert.equal(delegatesTo(allow, frameSrc, frame), expected, `allow=${JSON.stringify(allow)} src=${frameSrc}`);
});
