// Runs in the extension's world on the allowed sites: carries the page's messages
// to the background, which checks the site and talks to the host.
import { relayContentScript } from '@vorn/scard-bridge-client/relay';

relayContentScript();
