// A dedicated worker written as the Web Smart Card draft's examples are (plain script,
// served as is): a context, its readers, a failure told apart with `instanceof
// SmartCardError`; then contexts until its page's session has no more. It posts what
// it saw to its page and keeps its contexts until the page ends it.
const held = [];

async function run() {
  const seen = { smartCard: typeof navigator.smartCard, scheme: self.location.protocol };
  if (navigator.smartCard === undefined) return seen; // a worker the extension leaves alone
  const context = await navigator.smartCard.establishContext();
  held.push(context);
  seen.isContext = context instanceof SmartCardContext;
  seen.readers = await context.listReaders();
  try {
    await context.connect('No Such Reader 00 00', 'shared', { preferredProtocols: ['t0', 't1'] });
  } catch (error) {
    seen.failure = error instanceof SmartCardError ? error.responseCode : `not a SmartCardError: ${error}`;
  }
  try {
    while (held.length < 40) held.push(await navigator.smartCard.establishContext());
  } catch (error) {
    seen.beyond = error.name;
  }
  seen.contexts = held.length;
  return seen;
}

run().then(
  (seen) => postMessage(seen),
  (error) => postMessage({ failed: String(error?.stack ?? error) }),
);
