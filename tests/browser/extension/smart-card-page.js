// An extension page: navigator.smartCard defined by the facade over the page's own
// native port. The draft's examples themselves run on a web page (web-page.js), through
// the relay, on the same facade: here only the way to the host differs.
import { installSmartCard } from '@vorn/scard-bridge-client/facade';
import { reporting, outcome } from './reporting.js';

const api = globalThis.browser ?? globalThis.chrome;

async function main() {
  const config = await (await fetch(api.runtime.getURL('config.json'))).json();
  const { report } = reporting(config.reportUrl);
  try {
    const context = await installSmartCard().establishContext();
    await report('extension:readers', { readers: await context.listReaders() });
  } catch (error) {
    await report('error', { where: 'extension', ...outcome(error), stack: String(error?.stack) });
  }
}

main();
