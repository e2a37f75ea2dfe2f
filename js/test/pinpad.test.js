import { test } from 'node:test';
import assert from 'node:assert/strict';

import {
  ScardBridgeClient,
  StatusCode,
  GET_FEATURE_REQUEST,
  scardCtlCode,
  parseFeatureList,
  buildPinVerifyStructure,
  buildPinModifyStructure,
  toHex,
} from '../src/vorn-scard-client.js';
import { FakePort, within, rejection } from './fake_port.js';

const VERIFY_CODE = 0x42330006;
const MODIFY_CODE = 0x42330007;
const FEATURES = '060442330006' + '070442330007';
const VERIFY_TEMPLATE = '0020008008' + 'FF'.repeat(8);
const MODIFY_TEMPLATE = '0024008010' + 'FF'.repeat(16);

// A reader answering control codes: features (hex, or [code, message] to refuse), and the
// output of every other control code.
function pinPadReader({ features = FEATURES, output = '9000' } = {}) {
  const port = new FakePort();
  port.script((r) => {
    const reply = r.params[2] === GET_FEATURE_REQUEST ? features : output;
    if (Array.isArray(reply)) return { status: 'error', result: reply };
    return { status: 'success', result: ['0x00000000', r.params[0], r.params[1], reply] };
  });
  return { port, client: new ScardBridgeClient(port) };
}

// Walks a structure field by field: [name, hex] in order, naming the first field that differs.
function assertFields(bytes, expected) {
  let rest = toHex(bytes);
  for (const [name, hex] of expected) {
    assert.equal(rest.slice(0, hex.length), hex, name);
    rest = rest.slice(hex.length);
  }
  assert.equal(rest, '', 'nothing after abData');
}

test('control codes use pcsc-lite numbering', () => {
  assert.equal(GET_FEATURE_REQUEST, 0x42000d48);
  assert.equal(scardCtlCode(1), 0x42000001);
  assert.throws(() => scardCtlCode(0x1000000), { kind: 'invalid_argument' });
});

test('the feature list maps tags to names, keeps unknown tags by number, skips values that are not codes', () => {
  assert.deepEqual(parseFeatureList(FEATURES + '0A0442330A0A' + '420400000042' + '1202AABB' + '0D00'), {
    VERIFY_PIN_DIRECT: VERIFY_CODE,
    MODIFY_PIN_DIRECT: MODIFY_CODE,
    IFD_PIN_PROPERTIES: 0x42330a0a,
    66: 0x42,
  });
  assert.deepEqual(parseFeatureList(''), {});
});

test('a feature list cut inside an entry is refused', () => {
  for (const cut of ['06', '0604423300', FEATURES + '07']) {
    assert.throws(() => parseFeatureList(cut), { kind: 'protocol', message: /cut short/ });
  }
});

test('getFeatures sends GET_FEATURE_REQUEST without input and parses the answer', async () => {
  const { port, client } = pinPadReader();
  assert.deepEqual(await within(client.getFeatures('0x1', '0x2')), {
    VERIFY_PIN_DIRECT: VERIFY_CODE,
    MODIFY_PIN_DIRECT: MODIFY_CODE,
  });
  assert.deepEqual(port.sent[0].params, ['0x1', '0x2', 0x42000d48, '']);
});

test('a reader that refuses the feature query has no features; a lost card or service still fails', async () => {
  const refused = pinPadReader({ features: ['0x8010001F', 'Error in handle_smartcard_control: not supported'] });
  assert.deepEqual(await within(refused.client.getFeatures('0x1', '0x2')), {});
  for (const code of ['0x80100069', '0x80100003', '0x8010001D']) {
    const gone = pinPadReader({ features: [code, 'Error in handle_smartcard_control'] });
    assert.equal((await rejection(gone.client.getFeatures('0x1', '0x2'))).code, Number(code));
  }
});

test('PIN_VERIFY_STRUCTURE with the defaults, field by field', () => {
  assertFields(buildPinVerifyStructure(VERIFY_TEMPLATE), [
    ['bTimerOut', '1E'], ['bTimerOut2', '00'],
    ['bmFormatString', '82'], // byte units, position 0, left justified, ASCII
    ['bmPINBlockString', '08'], ['bmPINLengthFormat', '00'],
    ['wPINMaxExtraDigit', '0804'], // max 8, min 4
    ['bEntryValidationCondition', '02'], ['bNumberMessage', '01'], ['wLangId', '0904'], ['bMsgIndex', '00'],
    ['bTeoPrologue', '000000'], ['ulDataLength', '0D000000'], ['abData', VERIFY_TEMPLATE],
  ]);
});

test('PIN_VERIFY_STRUCTURE packs the options into their fields and bits', () => {
  // An ISO 9564 format 2 block: control and length nibbles, then BCD digits.
  const template = '0020000108' + '2F' + 'FF'.repeat(7);
  const options = {
    encoding: 'bcd', pinPosition: 1, pinBlockSize: 7, pinLengthSize: 4, pinLengthPosition: 4, minDigits: 6,
    maxDigits: 12, timeout: 0, timeout2: 5, entryValidation: 3, langId: 0x0407, numberMessage: 0xff, msgIndex: 2,
    teoPrologue: '010203',
  };
  assertFields(buildPinVerifyStructure(template, options), [
    ['bTimerOut', '00'], ['bTimerOut2', '05'], ['bmFormatString', '89'], ['bmPINBlockString', '47'],
    ['bmPINLengthFormat', '04'], ['wPINMaxExtraDigit', '0C06'], ['bEntryValidationCondition', '03'],
    ['bNumberMessage', 'FF'], ['wLangId', '0704'], ['bMsgIndex', '02'], ['bTeoPrologue', '010203'],
    ['ulDataLength', '0D000000'], ['abData', template],
  ]);
  const bits = { positionInBits: true, pinPosition: 4, rightJustify: true, encoding: 'binary', pinLengthInBytes: true };
  assert.equal(toHex(buildPinVerifyStructure(VERIFY_TEMPLATE, bits)).slice(4, 10), '240010');
});

test('PIN_MODIFY_STRUCTURE field by field: old PIN, then the new one twice', () => {
  assertFields(buildPinModifyStructure(MODIFY_TEMPLATE), [
    ['bTimerOut', '1E'], ['bTimerOut2', '00'], ['bmFormatString', '82'], ['bmPINBlockString', '08'],
    ['bmPINLengthFormat', '00'], ['bInsertionOffsetOld', '00'], ['bInsertionOffsetNew', '08'],
    ['wPINMaxExtraDigit', '0804'], ['bConfirmPIN', '03'], ['bEntryValidationCondition', '02'],
    ['bNumberMessage', '03'], ['wLangId', '0904'], ['bMsgIndex1', '00'], ['bMsgIndex2', '01'], ['bMsgIndex3', '02'],
    ['bTeoPrologue', '000000'], ['ulDataLength', '15000000'], ['abData', MODIFY_TEMPLATE],
  ]);
  // Only a new PIN, typed once: it takes the old one's place, one message.
  const newOnly = toHex(buildPinModifyStructure(VERIFY_TEMPLATE, { enterOldPin: false, confirmNewPin: false }));
  assert.deepEqual([newOnly.slice(12, 14), newOnly.slice(18, 20), newOnly.slice(22, 24)], ['00', '00', '01']);
});

test('bad PIN options are refused with a clear error before anything is sent', async () => {
  const { port, client } = pinPadReader();
  const cases = [
    [VERIFY_TEMPLATE, { minDigits: 9 }, /minDigits/],
    [VERIFY_TEMPLATE, { maxDigits: 0 }, /maxDigits/],
    [VERIFY_TEMPLATE, { timeout: 256 }, /timeout must be an integer from 0 to 255/],
    [VERIFY_TEMPLATE, { encoding: 'hex' }, /encoding/],
    [VERIFY_TEMPLATE, { pinPosition: 16 }, /pinPosition/],
    [VERIFY_TEMPLATE, { entryValidation: 0 }, /entryValidation/],
    [VERIFY_TEMPLATE, { langId: 0x10000 }, /langId/],
    [VERIFY_TEMPLATE, { teoPrologue: '0000' }, /teoPrologue/],
    [VERIFY_TEMPLATE, { rightJustify: 1 }, /rightJustify must be true or false/],
    [VERIFY_TEMPLATE, { timeOut: 10 }, /unknown PIN option "timeOut"/],
    [VERIFY_TEMPLATE, { controlCode: -1 }, /controlCode/],
    [VERIFY_TEMPLATE, { pinPosition: 2 }, /needs a data field of 10 bytes; the template has 8/],
    ['00200080', {}, /5 to 260 bytes/],
    ['0020008000' + 'FF'.repeat(256), {}, /5 to 260 bytes/],
  ];
  for (const [template, options, message] of cases) {
    const error = await rejection(client.verifyPinDirect('0x1', '0x2', template, options));
    assert.equal(error.kind, 'invalid_argument', String(message));
    assert.match(error.message, message);
  }
  assert.match((await rejection(client.modifyPinDirect('0x1', '0x2', MODIFY_TEMPLATE, { newPinOffset: 9 }))).message, /newPinOffset 9/);
  assert.equal((await rejection(client.verifyPinDirect('0x1', '0x2', '00ZZ'))).name, 'TypeError');
  assert.equal(port.sent.length, 0);
});

test('verifyPinDirect asks the reader for its code, sends the structure and reports the status word', async () => {
  const { port, client } = pinPadReader();
  assert.deepEqual(await within(client.verifyPinDirect('0x1', '0x2', VERIFY_TEMPLATE)), {
    response: '9000', data: '', sw: 0x9000, sw1: 0x90, sw2: 0x00, ok: true,
  });
  assert.deepEqual(
    port.sent.map((r) => r.params),
    [
      ['0x1', '0x2', GET_FEATURE_REQUEST, ''],
      ['0x1', '0x2', VERIFY_CODE, toHex(buildPinVerifyStructure(VERIFY_TEMPLATE))],
    ],
  );
});

test('a wrong PIN is an answer, not a failure', async () => {
  const { client } = pinPadReader({ output: '63C2' });
  const reply = await within(client.verifyPinDirect('0x1', '0x2', VERIFY_TEMPLATE));
  assert.deepEqual([reply.ok, reply.sw, reply.sw2], [false, 0x63c2, 0xc2]);
});

test('modifyPinDirect with a known control code sends just the structure', async () => {
  const { port, client } = pinPadReader();
  assert.equal((await within(client.modifyPinDirect('0x1', '0x2', MODIFY_TEMPLATE, { controlCode: MODIFY_CODE }))).ok, true);
  assert.deepEqual(port.sent.map((r) => r.params[2]), [MODIFY_CODE]);
});

test('a reader without the PIN feature, or answering no status word, fails', async () => {
  const plain = pinPadReader({ features: '' });
  const error = await rejection(plain.client.modifyPinDirect('0x1', '0x2', MODIFY_TEMPLATE));
  assert.equal(error.code, StatusCode.SCARD_E_UNSUPPORTED_FEATURE);
  assert.match(error.message, /MODIFY_PIN_DIRECT/);
  assert.equal(plain.port.sent.length, 1, 'only the feature query was sent');
  const mute = pinPadReader({ output: '90' });
  assert.equal((await rejection(mute.client.verifyPinDirect('0x1', '0x2', VERIFY_TEMPLATE))).kind, 'protocol');
});
