// Runs in the page's own world on the allowed sites: defines navigator.smartCard.
import { installPageSmartCard } from '@vorn/scard-bridge-client/relay';

installPageSmartCard();
