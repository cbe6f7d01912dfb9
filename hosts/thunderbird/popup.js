// The toolbar popup on the message display: the extension's panel for the shown message.
// The background page asks for the panel and relays the popup's controls; closing the popup
// closes the panel.
"use strict";

(async () => {
  const api = globalThis.messenger ?? globalThis.browser;
  const panelBox = document.getElementById("panel");
  const errorBox = document.getElementById("error");
  const port = api.runtime.connect({ name: "popup" });
  port.onMessage.addListener((message) => {
    if (message.type === "panel") {
      errorBox.hidden = true;
      drawPanel(document, panelBox, message.panel,
                (op, fields) => port.postMessage({ type: op, ...fields }));
    } else if (message.type === "error") {
      errorBox.textContent = message.text;
      errorBox.hidden = false;
    }
  });
  const [tab] = await api.tabs.query({ active: true, currentWindow: true });
  port.postMessage({ type: "open", tabId: tab?.id });
})();
