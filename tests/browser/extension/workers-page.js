// A page of a site allowed for good that starts the draft's worker (draft-worker.js),
// a classic one then a module one. The page holds a context of its own: each worker
// gets what is left of the page's session, and again once the worker before it ended.
import { reporting, outcome } from './reporting.js';

function answer(worker) {
  return new Promise((resolve) => {
    worker.onmessage = ({ data }) => resolve(data);
    worker.onerror = (event) => resolve({ failed: String(event.message) });
  });
}

async function main() {
  const config = await (await fetch('config.json')).json();
  const { report } = reporting(config.reportUrl);
  try {
    const context = await navigator.smartCard.establishContext();
    const runs = {};
    for (const type of ['classic', 'module']) {
      const worker = new Worker('draft-worker.js', { type });
      runs[type] = await answer(worker);
      worker.terminate();
    }
    const usable = (await context.listReaders()).length > 0;
    await report('workers', { runs, usable });
  } catch (error) {
    await report('workers', { failed: outcome(error) });
  }
  location.replace('about:blank'); // ends the page's session
}

main();
