// A web page served by the test: navigator.smartCard comes from the relay's page
// script; its first establishContext() asks the user. "?refused" tells an origin the
// user refused beforehand.
import { runExplainer } from './explainer.js';
import { reporting, outcome } from './reporting.js';

async function main() {
  const config = await (await fetch('config.json')).json();
  const { report, ask } = reporting(config.reportUrl);
  if (new URLSearchParams(location.search).has('refused')) {
    const refused = await navigator.smartCard.establishContext().then(() => null, outcome);
    // A site not allowed always: its workers start as the browser starts them.
    const worker = new Worker('draft-worker.js');
    const inWorker = await new Promise((resolve) => (worker.onmessage = ({ data }) => resolve(data)));
    worker.terminate();
    await report('refused-page', { origin: location.origin, smartCard: typeof navigator.smartCard, refused, inWorker });
    return;
  }
  try {
    await runExplainer({ smartCard: navigator.smartCard, where: 'page', config, report, ask });
    // The user revokes the grant while the page is open: what was open fails, and the
    // next establishContext() asks again (the test denies: for this page's life).
    const context = await navigator.smartCard.establishContext();
    await ask('page:revoke');
    const inFlight = await context.listReaders().then(() => null, outcome);
    const afterRevoke = await navigator.smartCard.establishContext().then(() => null, outcome);
    const again = await navigator.smartCard.establishContext().then(() => null, outcome);
    await report('page:after-revoke', { inFlight, afterRevoke, again });
  } catch (error) {
    await report('error', { where: 'page', ...outcome(error), stack: String(error?.stack) });
  }
}

main();
