// A web page served by the test: navigator.smartCard comes from the relay's page
// script where the origin is allowed. "?refused" tells an origin the user refused.
import { ScardBridgeClient } from '@vorn/scard-bridge-client/client';
import { pageRelayPort } from '@vorn/scard-bridge-client/relay';
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
    // A page that talks to the relay itself gets the API's commands and no others.
    const client = new ScardBridgeClient(await pageRelayPort());
    let shutdown = null;
    try {
      await client.request('shutdown');
    } catch (error) {
      shutdown = error.kind;
    }
    const version = await client.getVersion();
    client.close();
    await report('page:raw-relay', { shutdown, version });
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
