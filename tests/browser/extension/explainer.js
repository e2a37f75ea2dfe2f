// The Web Smart Card explainer's examples, run through navigator.smartCard as a
// page would write them, on a web page (through the relay). Each outcome goes to the test as a report; the test asks
// the questions that need the card moved.

import {
  parseFeatureList,
  buildPinVerifyStructure,
  GET_FEATURE_REQUEST,
  hexToBytes,
  toHex,
} from '@vorn/scard-bridge-client/client';
import { outcome } from './reporting.js';

const hex = (buffer) => toHex(new Uint8Array(buffer));

async function rejectionOf(promise) {
  try {
    await promise;
    return null;
  } catch (error) {
    return error;
  }
}

/**
 * @param where the prefix of the reports ("page")
 * @param report (step, data) => Promise
 * @param ask (question) => Promise<answer>
 */
export async function runExplainer({ smartCard, where, config, report, ask }) {
  const step = (name, data = {}) => report(`${where}:${name}`, data);
  const reader = config.reader;

  // Transmitting a command to a smart card present in a reader.
  const context = await smartCard.establishContext();
  const readers = await context.listReaders();
  await step('readers', { readers });

  // Wait for a card: the first call only reads the state.
  const [known] = await context.getStatusChange([{ readerName: reader, currentState: { unaware: true } }]);
  const waiting = context.getStatusChange([{ readerName: reader, currentState: known.eventState, currentCount: known.eventCount }], { timeout: 60000 });
  // One operation at a time on a context.
  const overlapping = await rejectionOf(context.listReaders());
  await step('waiting', { overlapping: outcome(overlapping), wasPresent: known.eventState.present });
  await ask(`${where}:insert-card`);
  const [arrived] = await waiting;
  await step('card', {
    readerName: arrived.readerName,
    present: arrived.eventState.present,
    changed: arrived.eventState.changed,
    atr: hex(arrived.answerToReset),
    counted: arrived.eventCount > known.eventCount,
  });

  const connectResult = await context.connect(reader, 'shared', { preferredProtocols: ['t0', 't1'] });
  let connection = connectResult.connection;
  const command = new Uint8Array(hexToBytes(config.select));
  const response = await connection.transmit(command);
  const status = await connection.status();
  await step('transmitted', {
    activeProtocol: connectResult.activeProtocol,
    response: hex(response),
    isArrayBuffer: response instanceof ArrayBuffer,
    status: { readerName: status.readerName, state: status.state, atr: hex(status.answerToReset) },
  });

  // Transmissions in a transaction; another connection to the reader must wait.
  const other = (await context.connect(reader, 'shared', { preferredProtocols: ['t1'] })).connection;
  const inside = [];
  let blocked = null;
  await connection.startTransaction(async () => {
    inside.push(hex(await connection.transmit(command)));
    blocked = await rejectionOf(other.transmit(command));
    inside.push(hex(await connection.transmit(new Uint8Array(hexToBytes(config.read)))));
    return 'leave';
  });
  const failed = await rejectionOf(
    connection.startTransaction(async () => {
      await connection.transmit(command);
      throw new RangeError('the callback failed');
    }),
  );
  // The failed callback's transaction ended with "reset": every connection to the card
  // hears of it until it is connected again (the API has no reconnect).
  const afterwards = [];
  for (const each of [connection, other]) {
    afterwards.push(outcome(await rejectionOf(each.transmit(command))));
    await each.disconnect();
  }
  connection = (await context.connect(reader, 'shared', { preferredProtocols: ['t1'] })).connection;
  await step('transaction', { inside, blocked: outcome(blocked), failed: outcome(failed), afterwards });

  // Abort a wait: the reason comes back as it was given.
  const controller = new AbortController();
  const [now] = await context.getStatusChange([{ readerName: reader, currentState: { unaware: true } }]);
  const wait = context.getStatusChange([{ readerName: reader, currentState: now.eventState, currentCount: now.eventCount }], {
    signal: controller.signal,
  });
  const reason = new Error('the user gave up');
  controller.abort(reason);
  const aborted = await rejectionOf(wait);
  const usable = (await context.listReaders()).includes(reader);
  await step('aborted', { same: aborted === reason, aborted: outcome(aborted), usable });

  // Reacting to reader availability (no reader comes: it times out, or answers at once).
  let pnp;
  try {
    const states = await context.getStatusChange([{ readerName: '\\\\?PnP?\\Notification', currentState: {} }], { timeout: 1000 });
    pnp = { resolved: states.length };
  } catch (error) {
    pnp = outcome(error);
  }
  await step('pnp', { pnp });

  // Attributes: vpcd answers its ATR tag (0x0303) and refuses SCARD_ATTR_ATR_STRING.
  const atrAttribute = hex(await connection.getAttribute(0x0303));
  const unsupported = outcome(await rejectionOf(connection.getAttribute(0x00090303)));
  await step('attributes', { atrAttribute, unsupported });

  await connection.disconnect('reset');
  const afterDisconnect = await rejectionOf(connection.transmit(command));
  await step('disconnected', { afterDisconnect: outcome(afterDisconnect) });

  // A PIN pad: the reader's features, then a PIN typed on its keypad.
  if (config.pinPadReader) {
    const pad = (await context.connect(config.pinPadReader, 'shared', { preferredProtocols: ['t1'] })).connection;
    const features = parseFeatureList(hex(await pad.control(GET_FEATURE_REQUEST, new Uint8Array())));
    const structure = buildPinVerifyStructure('0020008008FFFFFFFFFFFFFFFF');
    const answer = hex(await pad.control(features.VERIFY_PIN_DIRECT, structure));
    const tooLong = await rejectionOf(pad.control(features.VERIFY_PIN_DIRECT, new Uint8Array(2049)));
    // A value the reader lets a page set, read back.
    let setAttribute = null;
    if (config.settableAttribute) {
      const { tag, value } = config.settableAttribute;
      const set = await rejectionOf(pad.setAttribute(tag, new Uint8Array(hexToBytes(value))));
      setAttribute = set === null ? { readBack: hex(await pad.getAttribute(tag)) } : outcome(set);
    }
    await pad.disconnect();
    await step('pin-pad', { answer, tooLong: outcome(tooLong), setAttribute });
  }

  // The card goes; the run ends once the reader says so.
  await ask(`${where}:remove-card`);
  let [last] = await context.getStatusChange([{ readerName: reader, currentState: { unaware: true } }]);
  while (last.eventState.present) {
    [last] = await context.getStatusChange([{ readerName: reader, currentState: last.eventState, currentCount: last.eventCount }], {
      timeout: 10000,
    });
  }
  await step('done');
}
