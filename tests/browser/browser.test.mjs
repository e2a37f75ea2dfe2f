// Chromium and Firefox, the installed host and a virtual card, end to end: the
// installer writes the host manifest where the browser looks, the browser
// loads a test extension that talks to the host through the client module,
// and the extension reports every step to a small server run by this test.
// The browsers take turns: they share the virtual reader.
//
// Environment (run.sh sets it): VORN_HOST, VORN_INSTALLER (installed files),
// VORN_BROWSERS (default "chromium,firefox"), VORN_CHROMIUM / VORN_FIREFOX (the
// browser binaries), VORN_BROWSER_CARD_SESSION = auto | on | off,
// VORN_VPCD_PORT / VORN_VPCD_READER (which virtual reader to use),
// VORN_PIN_PAD_READER (the test driver's PIN-pad reader, when pcscd loaded it),
// VORN_RESTART_PCSCD=1 (pcscd is the test's to stop and start again, with the
// reader configuration VORN_PCSCD_CONFIG), VORN_SET_ATTRIB_TAG (an attribute the test driver's PIN-pad reader lets a page
// set, as "tag:hex value", e.g. "0x00070A02:CAFE"; without it the setAttribute test
// is skipped).
//
// One file per behaviour (behaviours/), in the order they run in each browser, on the
// shared fixtures of session.mjs: after the client's card session, the browser reaches
// the host through navigator.smartCard on a page of the test extension, then runs the
// Web Smart Card explainer's examples on a web page whose first establishContext() asks
// the user (the test plays the user in the extension's prompt window); then a site the
// user refused, the allowed one once the grant is revoked, a site allowed for one page
// only (and asked per reader), frames, the session bounds, an administrator's policy,
// and the draft's worker on a page of an allowed site.

import { describe } from 'node:test';

import { selectedBrowsers } from './harness.mjs';
import { browserSession } from './session.mjs';
import host from './behaviours/host.mjs';
import cardSession from './behaviours/card-session.mjs';
import explainer from './behaviours/explainer.mjs';
import consent from './behaviours/consent.mjs';
import origins from './behaviours/origins.mjs';
import bounds from './behaviours/bounds.mjs';
import policy from './behaviours/policy.mjs';
import workers from './behaviours/workers.mjs';

const BEHAVIOURS = [host, cardSession, explainer, consent, origins, bounds, policy, workers];

for (const browser of selectedBrowsers()) {
  describe(`${browser.title} drives the host through the installed manifest`, { timeout: 240000 }, () => {
    const session = browserSession(browser);
    for (const behaviour of BEHAVIOURS) behaviour(session);
  });
}
