// Added to the example's prompt window in the test build only: plays the user. It
// waits for the window to show who asks, tells the test, and clicks the button the
// test names ("once", "always", "deny"), or closes the window ("close"). The question
// names the origin, the embedding page and the reader ('' for none).
import { reporting } from './reporting.js';

const api = globalThis.browser ?? globalThis.chrome;

async function main() {
  const config = await (await fetch(api.runtime.getURL('config.json'))).json();
  const { ask } = reporting(config.reportUrl);
  const origin = document.getElementById('origin');
  for (let i = 0; i < 200 && (!origin.textContent || document.getElementById('once').disabled); i++) {
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  const embedded = document.getElementById('embedded-in');
  const request = new URLSearchParams(location.search).get('request');
  const embeddedIn = embedded.hidden ? '' : embedded.querySelector('span').textContent;
  const reader = document.getElementById('reader');
  const readerName = reader.hidden ? '' : reader.querySelector('strong').textContent;
  const { click } = await ask(`prompt:${origin.textContent}:${embeddedIn}:${readerName}:${request}`);
  if (click === 'close') window.close();
  else document.getElementById(click).click();
}

main();
