// Runs in the page's own world on the allowed sites: defines navigator.smartCard, and
// in the page's dedicated workers (worker-script.js runs first in each).
import { installPageSmartCard } from '@vorn/scard-bridge-client/relay';
import workerScript from './worker-script.js?script';

installPageSmartCard({ workerScript });
