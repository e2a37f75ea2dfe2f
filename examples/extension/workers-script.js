// Runs in the page's own world, before the page's scripts, on the pages of the sites
// allowed always (by the user or the administrator): the dedicated workers those pages
// start get navigator.smartCard too, worker-script.js running first in each (built
// into this file as text, see build.mjs).
import { allowPageWorkers } from '@vorn/scard-bridge-client/relay';
import workerScript from './worker-script.js?script';

allowPageWorkers({ workerScript });
