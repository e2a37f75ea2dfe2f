// Runs first in the dedicated workers of the pages that have navigator.smartCard:
// defines it in the worker, over the page's session. Not a file of the extension: the
// page script carries it (built with it, see build.mjs).
import { installWorkerSmartCard } from '@vorn/scard-bridge-client/relay';

installWorkerSmartCard();
