// The toolbar button opens the example in a tab: a popup would close (and drop
// the native port) as soon as it loses focus, e.g. while you insert a card.
const api = globalThis.browser ?? globalThis.chrome;
api.action.onClicked.addListener(() => {
  api.tabs.create({ url: api.runtime.getURL('app.html') });
});
