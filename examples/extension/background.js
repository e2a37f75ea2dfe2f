// The toolbar button opens the example in a tab: a popup would close (and drop
// the native port) as soon as it loses focus, e.g. while you insert a card.
// The relay offers navigator.smartCard to web sites: a site's first establishContext()
// asks you (prompt.html); permissions.html lists and revokes what you allowed.
import { startRelay } from '@vorn/scard-bridge-client/relay';

const api = globalThis.browser ?? globalThis.chrome;
api.action.onClicked.addListener(() => {
  api.tabs.create({ url: api.runtime.getURL('app.html') });
});
startRelay({ pageScript: 'page-script.js', relayScript: 'relay-script.js', workersScript: 'workers-script.js', promptPage: 'prompt.html' });
