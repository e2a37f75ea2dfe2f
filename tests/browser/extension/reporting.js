// How the test's extension and pages talk to the test: each step is posted to its
// server as a report; a question is a request the test answers when it has done
// its part (e.g. attached the card).

export function reporting(reportUrl) {
  return {
    async report(step, data = {}) {
      await fetch(reportUrl, {
        method: 'POST',
        headers: { 'content-type': 'text/plain' },
        body: JSON.stringify({ step, at: Date.now(), ...data }),
      });
    },
    async ask(question) {
      const response = await fetch(`${reportUrl}?question=${encodeURIComponent(question)}`);
      return response.json();
    },
  };
}

/** An exception as the test sees it. */
export function outcome(error) {
  return {
    name: error?.name ?? typeof error,
    message: String(error?.message ?? error),
    responseCode: error?.responseCode ?? null,
  };
}
