// A card for the vsmartcard-vpcd reader driver: pcscd's "Virtual PCD 00 0N"
// reader listens on 127.0.0.1:35963+N, and a card is "inserted" by connecting
// to it. Both directions carry a 2-byte big-endian length and the payload. A
// one-byte payload from the reader is a control: 0x00 power off, 0x01 power on,
// 0x02 reset (no answer to any of these), 0x04 asks for the ATR. Anything else
// is an APDU, answered by the response APDU. Closing the connection removes it.

import net from 'node:net';

// T=1 only, no historical bytes; TCK = 0x80 ^ 0x80 ^ 0x01.
export const DEFAULT_ATR = '3B80800101';

export const SELECT_TEST_APPLET = '00A4040007A0000002471001';
export const READ_TEST_RECORD = '00B0000004';

function defaultResponder(apdu) {
  if (apdu === SELECT_TEST_APPLET) return '9000';
  if (apdu === READ_TEST_RECORD) return 'CAFEF00D9000';
  if (apdu.startsWith('00A4')) return '6A82';
  return '6D00';
}

export class VirtualCard {
  constructor({ port = 35964, host = '127.0.0.1', atr = DEFAULT_ATR, respond = defaultResponder } = {}) {
    this.port = port;
    this.host = host;
    this.atr = atr;
    this.respond = respond;
    this.apdus = [];
    this.controls = [];
    this.socket = null;
    this._buffer = Buffer.alloc(0);
  }

  /** Connects (inserts the card). Rejects after timeoutMs. */
  insert(timeoutMs = 5000) {
    return new Promise((resolve, reject) => {
      const socket = net.createConnection({ port: this.port, host: this.host });
      const timer = setTimeout(() => {
        socket.destroy();
        reject(new Error(`vpcd did not accept the card on ${this.host}:${this.port} within ${timeoutMs} ms`));
      }, timeoutMs);
      socket.setNoDelay(true);
      socket.once('connect', () => {
        clearTimeout(timer);
        this.socket = socket;
        resolve();
      });
      socket.once('error', (error) => {
        clearTimeout(timer);
        reject(error);
      });
      socket.on('data', (chunk) => this._onData(chunk));
    });
  }

  /** Closes the connection (removes the card). */
  remove() {
    if (!this.socket) return Promise.resolve();
    const socket = this.socket;
    this.socket = null;
    return new Promise((resolve) => {
      socket.once('close', resolve);
      socket.destroy();
    });
  }

  _send(hex) {
    const payload = Buffer.from(hex, 'hex');
    const frame = Buffer.alloc(2 + payload.length);
    frame.writeUInt16BE(payload.length, 0);
    payload.copy(frame, 2);
    this.socket?.write(frame);
  }

  _onData(chunk) {
    this._buffer = Buffer.concat([this._buffer, chunk]);
    while (this._buffer.length >= 2) {
      const length = this._buffer.readUInt16BE(0);
      if (this._buffer.length < 2 + length) return;
      const payload = this._buffer.subarray(2, 2 + length);
      this._buffer = this._buffer.subarray(2 + length);
      if (length === 1) {
        const control = payload[0];
        this.controls.push(control);
        if (control === 0x04) this._send(this.atr);
        continue;
      }
      const apdu = payload.toString('hex').toUpperCase();
      this.apdus.push(apdu);
      this._send(this.respond(apdu));
    }
  }
}
