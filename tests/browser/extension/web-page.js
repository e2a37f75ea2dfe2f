// A web page served by the test: navigator.smartCard comes from the relay's page
// script where the origin is allowed. "?refused" tells an origin the user refused.
import { runExplainer } from './explainer.js';
import { reporting, outcome } from './reporting.js';

async function main() {
  const config = await (await fetch('config.json')).json();
  const { report, ask } = reporting(config.reportUrl);
  if (new URLSearchParams(location.search).has('refused')) {
    await report('refused-page', { origin: location.origin, smartCard: typeof navigator.smartCard });
    return;
  }
  try {
    await runExplainer({ smartCard: navigator.smartCard, where: 'page', config, report, ask });
    // The user revokes the grant while the page is open.
    await ask('page:revoke');
    let afterRevoke = null;
    try {
      await navigator.smartCard.establishContext();
    } catch (error) {
      afterRevoke = outcome(error);
    }
    await report('page:after-revoke', { afterRevoke });
  } catch (error) {
    await report('error', { where: 'page', ...outcome(error), stack: String(error?.stack) });
  }
}

main();
