// The Web Smart Card API on an extension page: navigator.smartCard is defined here
// (where the browser has none) and used exactly as the draft describes it.
import { installSmartCard } from '@vorn/scard-bridge-client/facade';

installSmartCard();

const $ = (id) => document.getElementById(id);
const hex = (buffer) => [...new Uint8Array(buffer ?? new ArrayBuffer(0))].map((b) => b.toString(16).padStart(2, '0')).join(' ');

async function readCards() {
  $('error').hidden = true;
  const body = $('readers').tBodies[0];
  body.replaceChildren();
  try {
    const context = await navigator.smartCard.establishContext();
    const readers = await context.listReaders();
    const states = readers.length === 0 ? [] : await context.getStatusChange(readers.map((readerName) => ({ readerName, currentState: { unaware: true } })), { timeout: 0 });
    for (const state of states) {
      const row = body.insertRow();
      row.insertCell().textContent = state.readerName;
      row.insertCell().textContent = state.eventState.present ? 'present' : 'empty';
      row.insertCell().textContent = state.eventState.present ? hex(state.answerToReset) : '–';
      row.lastChild.className = 'hex';
    }
    if (readers.length === 0) body.insertRow().insertCell().textContent = 'no reader is connected';
  } catch (error) {
    $('error').textContent = `${error.name}${error.responseCode ? ` (${error.responseCode})` : ''}: ${error.message}`;
    $('error').hidden = false;
  }
}

$('read').addEventListener('click', readCards);
readCards();
