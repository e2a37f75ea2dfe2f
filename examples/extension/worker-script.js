// Runs first in the dedicated workers of the pages of the sites allowed always: defines
// navigator.smartCard in the worker, over the page's session. Not a file of the
// extension: workers-script.js carries it (built with it, see build.mjs).
import { installWorkerSmartCard } from '@vorn/scard-bridge-client/relay';

installWorkerSmartCard();
