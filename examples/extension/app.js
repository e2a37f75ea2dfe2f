// The example page: one client (one native port) for the page's lifetime.

import {
  ScardBridgeClient,
  Protocol,
  ShareMode,
  Disposition,
  StatusCode,
  formatHex32,
  needsNewContext,
} from '@vorn/scard-bridge-client/client';

const $ = (id) => document.getElementById(id);
const state = { client: null, context: null, card: null, protocol: null, reader: null, waiting: null, verifyCode: null };

function log(text) {
  const item = document.createElement('li');
  item.textContent = `${new Date().toLocaleTimeString()}  ${text}`;
  $('log').prepend(item);
}

function fail(error) {
  const code = error.codeName ? ` [${error.codeName}]` : '';
  log(`error${code}: ${error.message}`);
  if (error.hint) showHint(error.hint);
}

function showHint(text) {
  $('hint').textContent = text;
  $('hint').hidden = false;
}

function setHost(text, kind) {
  $('host').textContent = text;
  $('host').className = `status ${kind}`;
}

// undefined: any reader.
function selectedReader() {
  return document.querySelector('input[name=reader]:checked')?.value || undefined;
}

function showReaders(readers) {
  const body = $('readers').tBodies[0];
  const previous = selectedReader() ?? '';
  body.replaceChildren();
  for (const name of ['', ...readers]) {
    const row = body.insertRow();
    row.dataset.reader = name;
    const radio = document.createElement('input');
    radio.type = 'radio';
    radio.name = 'reader';
    radio.value = name;
    radio.checked = name === previous;
    row.insertCell().append(radio);
    row.insertCell().textContent = name || '(any reader)';
    row.insertCell().textContent = '';
    row.insertCell().className = 'hex';
  }
  if (readers.length === 0) log('no reader is connected');
}

function showSw(element, sw) {
  element.textContent = sw === null ? '–' : `${sw.toString(16).toUpperCase()}${sw === 0x9000 ? ' (success)' : ''}`;
}

// Asks the reader for its features: through the connected card when it is in that reader,
// else through a direct connection, which needs no card.
async function checkPinPad(reader) {
  if (!reader) {
    $('pinpad').textContent = '– (select a reader)';
    return;
  }
  const direct =
    state.reader === reader
      ? null
      : await state.client.connect(state.context, reader, ShareMode.DIRECT, Protocol.UNDEFINED);
  try {
    const features = await state.client.getFeatures(state.context, direct?.card ?? state.card);
    const code = features.VERIFY_PIN_DIRECT;
    if (state.reader === reader) state.verifyCode = code ?? null;
    $('pinpad').textContent =
      code === undefined ? `${reader}: no PIN pad` : `${reader}: yes (VERIFY_PIN_DIRECT ${formatHex32(code)})`;
    $('verify-pin').disabled = state.card === null || state.verifyCode === null;
  } finally {
    if (direct) await state.client.disconnect(state.context, direct.card).catch(() => {});
  }
}

async function verifyPin() {
  log('type the PIN on the reader…');
  $('verify-pin').disabled = true;
  try {
    const reply = await state.client.verifyPinDirect(state.context, state.card, $('pin-apdu').value, {
      controlCode: state.verifyCode,
    });
    showSw($('pin-sw'), reply.sw);
    log(reply.ok ? 'PIN verified' : `PIN not verified (status word ${reply.sw.toString(16).toUpperCase()})`);
  } catch (error) {
    fail(error);
  } finally {
    $('verify-pin').disabled = state.card === null || state.verifyCode === null;
  }
}

function markCard(reader, atr) {
  const row = [...$('readers').tBodies[0].rows].find((r) => r.dataset.reader === reader);
  if (!row || !reader) return;
  row.cells[2].textContent = atr ? 'present' : '';
  row.cells[3].textContent = atr ?? '';
}

// The page's context dies with the PC/SC service (pcscd restarted; Windows stops its
// service when the last reader is unplugged and starts it when one is plugged in): the
// page then makes a new one, and while the service is not back it has no context and no
// reader. The card it had connected went with the old context.
async function listReadersNow() {
  let readers = null;
  try {
    if (state.context !== null) readers = await state.client.listReaders(state.context);
  } catch (error) {
    if (!needsNewContext(error)) throw error;
  }
  if (readers === null) {
    await releaseCard();
    if (state.context !== null) state.client.releaseContext(state.context).catch(() => {});
    state.context = await state.client.establishContext().catch((error) => {
      if (needsNewContext(error)) return null;
      throw error;
    });
    readers = state.context === null ? [] : await state.client.listReaders(state.context);
  }
  showReaders(readers);
  log(`readers: ${readers.join(', ') || '(none)'}`);
  return readers;
}

// One listing at a time: reader events come in bursts (every reader at once when the
// service goes), and two listings that both made a new context would leave one behind.
let listings = Promise.resolve();
function listReaders() {
  const listing = listings.then(listReadersNow);
  listings = listing.catch(() => {});
  return listing;
}

async function waitForCard() {
  const reader = selectedReader();
  state.waiting = new AbortController();
  $('wait').disabled = true;
  $('cancel').disabled = false;
  log(`waiting for a card in ${reader ?? 'any reader'}…`);
  try {
    const found = await state.client.waitForCard(state.context, {
      readers: reader ? [reader] : undefined,
      signal: state.waiting.signal,
    });
    $('card-reader').textContent = found.reader;
    $('card-atr').textContent = found.atr;
    log(`card in ${found.reader}, ATR ${found.atr}`);
    const { card, protocol } = await state.client.connect(state.context, found.reader, ShareMode.SHARED, Protocol.ANY);
    Object.assign(state, { card, protocol, reader: found.reader });
    $('card-protocol').textContent = protocol === Protocol.T1 ? 'T=1' : protocol === Protocol.T0 ? 'T=0' : String(protocol);
    $('send').disabled = false;
    $('release').disabled = false;
    log(`connected (protocol ${$('card-protocol').textContent})`);
    await checkPinPad(found.reader);
  } catch (error) {
    if (error.code === StatusCode.SCARD_E_CANCELLED) log('stopped waiting');
    else fail(error);
  } finally {
    state.waiting = null;
    $('wait').disabled = false;
    $('cancel').disabled = true;
  }
}

async function sendApdu() {
  const apdu = $('apdu').value;
  log(`> ${apdu}`);
  try {
    const reply = await state.client.transmit(state.context, state.card, state.protocol, apdu);
    $('answer').textContent = reply.response || '(empty)';
    showSw($('sw'), reply.sw);
    log(`< ${reply.response}`);
  } catch (error) {
    fail(error);
    if (error.code === StatusCode.SCARD_W_REMOVED_CARD) await releaseCard();
  }
}

async function releaseCard() {
  if (!state.card) return;
  const card = state.card;
  Object.assign(state, { card: null, protocol: null, reader: null, verifyCode: null });
  $('send').disabled = true;
  $('verify-pin').disabled = true;
  $('release').disabled = true;
  $('card-protocol').textContent = '–';
  await state.client.disconnect(state.context, card, Disposition.LEAVE_CARD).catch(() => {});
  log('card disconnected');
}

async function start() {
  let client;
  try {
    client = ScardBridgeClient.connect();
  } catch (error) {
    setHost(error.message, 'error');
    return;
  }
  state.client = client;
  client.onDisconnect((error) => {
    setHost(error.message, 'error');
    if (error.hint) showHint(error.hint);
    for (const id of ['list', 'wait', 'cancel', 'send', 'release', 'verify-pin']) $(id).disabled = true;
  });
  try {
    // connect() asked the host its version and refuses one it cannot use.
    setHost(`Connected to the host, version ${await client.ready}`, 'ok');
    await listReaders(); // establishes the page's context once the service runs
  } catch (error) {
    fail(error);
    return;
  }
  // Live card insert/remove events, on a context of the watcher's own.
  client.watchCards({
    onEvent: (event) => {
      if (event.type === 'inserted') markCard(event.reader, event.atr);
      if (event.type === 'removed') markCard(event.reader, null);
      if (event.type.startsWith('reader-')) listReaders().catch(fail);
      if (!event.initial) log(`${event.type}: ${event.reader}${event.atr ? ` (${event.atr})` : ''}`);
    },
    onError: fail,
  });

  $('list').onclick = () => listReaders().catch(fail);
  $('wait').onclick = () => waitForCard();
  $('cancel').onclick = () => state.waiting?.abort();
  $('release').onclick = () => releaseCard();
  $('apdu-form').onsubmit = (event) => {
    event.preventDefault();
    sendApdu();
  };
  $('pin-form').onsubmit = (event) => {
    event.preventDefault();
    verifyPin();
  };
  $('readers').onchange = () => checkPinPad(selectedReader()).catch(fail);

  // app.html?auto: run the whole walk-through without clicks (demos, screenshots).
  if (new URLSearchParams(location.search).has('auto')) {
    await waitForCard();
    if (state.card) await sendApdu();
    if (state.verifyCode !== null) await verifyPin();
  }
}

start();
