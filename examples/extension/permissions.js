// The user's decisions per site: allow (the browser may ask for access to that
// site's pages), refuse, or forget one (revoking ends its sessions); a site not
// listed is asked at its first establishContext(). The administrator's lists
// (storage.managed) are shown, and win.
import { OriginGrants, grantableOrigin, originPattern, readPolicy } from '@vorn/scard-bridge-client/relay';

const api = globalThis.browser ?? globalThis.chrome;
const grants = new OriginGrants();
const $ = (id) => document.getElementById(id);

function showError(text) {
  $('error').textContent = text;
  $('error').hidden = !text;
}

async function show() {
  const body = $('origins').tBodies[0];
  body.replaceChildren();
  const policy = readPolicy(await api.storage.managed.get(null).catch(() => ({})));
  for (const [origins, decision] of [
    [policy.blocked, 'blocked by your administrator'],
    [policy.allowed, 'allowed by your administrator'],
  ]) {
    for (const origin of [...origins].sort()) {
      const row = body.insertRow();
      row.insertCell().textContent = origin;
      row.insertCell().textContent = decision;
      row.insertCell();
    }
  }
  for (const [origin, decision] of Object.entries(await grants.all()).sort()) {
    const row = body.insertRow();
    row.insertCell().textContent = origin;
    row.insertCell().textContent = decision === 'granted' ? 'allowed' : 'refused';
    const forget = document.createElement('button');
    forget.textContent = decision === 'granted' ? 'Revoke' : 'Forget';
    forget.addEventListener('click', async () => {
      await grants.forget(origin);
      await show();
    });
    row.insertCell().append(forget);
  }
}

async function decide(decision) {
  showError('');
  const origin = grantableOrigin($('origin').value.trim());
  if (origin === null) {
    showError('Give an https site (https://example.org), or http on localhost.');
    return;
  }
  // The extension needs the browser's access to the site to offer it the API (the
  // user may have withdrawn it); asking for it must happen in the click itself.
  if (decision === 'granted' && !(await api.permissions.request({ origins: [originPattern(origin)] }))) {
    showError(`The browser did not give access to ${origin}: it stays refused.`);
    return;
  }
  await grants.decide(origin, decision);
  $('origin').value = '';
  await show();
}

$('add').addEventListener('submit', (event) => {
  event.preventDefault();
  decide('granted');
});
$('refuse').addEventListener('click', () => decide('refused'));
show();
