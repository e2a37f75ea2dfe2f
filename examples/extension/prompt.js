// The window the extension opens when a site first asks for smart cards.
import { consentPrompt } from '@vorn/scard-bridge-client/relay';

consentPrompt();
