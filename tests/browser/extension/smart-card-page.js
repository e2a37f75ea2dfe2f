// An extension page: navigator.smartCard defined by the facade over the page's own
// native port, then the explainer's examples.
import { installSmartCard } from '@vorn/scard-bridge-client/facade';
import { runExplainer } from './explainer.js';
import { reporting, outcome } from './reporting.js';

const api = globalThis.browser ?? globalThis.chrome;

async function main() {
  const config = await (await fetch(api.runtime.getURL('config.json'))).json();
  const { report, ask } = reporting(config.reportUrl);
  try {
    await runExplainer({ smartCard: installSmartCard(), where: 'extension', config, report, ask });
  } catch (error) {
    await report('error', { where: 'extension', ...outcome(error), stack: String(error?.stack) });
  }
}

main();
