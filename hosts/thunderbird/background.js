// The add-on's background page: the bridge between Thunderbird's displayed messages and the
// extension behind `quillory-ext native-host`.
//
// Each displayed message has a display script (display.js) connected through a port named
// "display". For it the background reads the message's raw bytes, asks the extension for the
// decoded message and hands the display what to draw: the banner, and the body to show in place
// of Thunderbird's rendering when the extension rewrote the message. The banner's button, the
// panel's controls and the toolbar popup (popup.js, port "popup") become the protocol's ops; the
// "toggle-original" command tells the active tab's display to show the message as it arrived; a
// `reloadVisibleMessages` event decodes every displayed message again.
"use strict";

const api = globalThis.messenger ?? globalThis.browser;
// The native-messaging manifest's name, as `quillory-ext install-thunderbird` writes it.
const kHostName = "quillory";
// Thunderbird reads display scripts from the manifest from this version on; before it they are
// registered here.
const kManifestScriptsVersion = 151;

const host = new HostConnection(() => api.runtime.connectNative(kHostName), onHostEvent);
// Every connected display: {port, tabId, context, panel, generation}.
const displays = new Set();

async function registerDisplayScripts() {
  try {
    const info = await api.runtime.getBrowserInfo();
    if (parseInt(info.version, 10) >= kManifestScriptsVersion) {
      return;
    }
  } catch (e) {
    // No version known: register, as the older versions need.
  }
  await api.messageDisplayScripts.register({
    js: [{ file: "protocol.js" }, { file: "panel_view.js" }, { file: "display.js" }],
  });
}

function onHostEvent(event) {
  if (event.event === QyProtocol.events.reloadVisibleMessages) {
    for (const display of displays) {
      decode(display);
    }
  }
}

function post(holder, message) {
  try {
    holder.port.postMessage(message);
  } catch (e) {
    // The display or popup has gone; its disconnect handler cleans up.
  }
}

// Standard Base64 of a byte array, in slices so that no argument list grows too long.
function base64(bytes) {
  let binary = "";
  for (let i = 0; i < bytes.length; i += 0x8000) {
    binary += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  }
  return btoa(binary);
}

async function rawMessage(messageId) {
  const raw = await api.messages.getRaw(messageId);
  if (typeof raw === "string") {  // a binary string: one character per byte
    return btoa(raw);
  }
  return base64(new Uint8Array(await raw.arrayBuffer()));
}

// The one message shown in a tab, or null (none, or several at once).
async function displayedMessage(tabId) {
  if (api.messageDisplay.getDisplayedMessages) {
    const list = await api.messageDisplay.getDisplayedMessages(tabId);
    const messages = Array.isArray(list) ? list : (list?.messages ?? []);
    return messages.length === 1 ? messages[0] : null;
  }
  return api.messageDisplay.getDisplayedMessage(tabId);
}

async function decode(display) {
  const generation = ++display.generation;
  let answer;
  try {
    const message = await displayedMessage(display.tabId);
    if (!message) {
      return;
    }
    const data = await rawMessage(message.id);
    answer = await host.request(QyProtocol.ops.decodedMessage, { data, mainThread: false });
  } catch (e) {
    answer = { ok: false, error: String(e?.message ?? e) };
  }
  if (generation !== display.generation || !displays.has(display)) {
    return;  // a newer decode of this display has started, or it has gone
  }
  if (!answer.ok) {
    post(display, { type: "error", text: answer.error });
    return;
  }
  const message = answer.message;
  display.context = message?.context ?? null;
  if (!message) {
    post(display, { type: "clear" });
    return;
  }
  post(display, { type: "show", banner: message.banner ?? null, html: message.html ?? null,
                  subject: message.subject ?? null, state: contextState(message.context) });
}

// The banner's state ("offer", "pending", "error", "done") from a context, or null.
function contextState(context) {
  if (typeof context !== "string") {
    return null;
  }
  try {
    const fields = JSON.parse(atob(context));
    return typeof fields?.s === "string" ? fields.s : null;
  } catch (e) {
    return null;
  }
}

// The keyboard shortcut: the message of the active tab is shown as it arrived, or translated.
function onCommand(command, tab) {
  if (command !== "toggle-original") {
    return;
  }
  for (const display of displays) {
    if (tab?.id === undefined || display.tabId === tab.id) {
      post(display, { type: "toggleOriginal" });
    }
  }
}

function showPanel(holder, panel) {
  if (holder.panel && holder.panel.id !== panel.id) {
    host.request(QyProtocol.ops.panelClosed, { panel: holder.panel.id });
  }
  holder.panel = panel;
  post(holder, { type: "panel", panel });
}

function closePanel(holder) {
  if (holder.panel) {
    host.request(QyProtocol.ops.panelClosed, { panel: holder.panel.id });
    holder.panel = null;
  }
}

// Runs an op that answers with a panel and shows that panel, or the error.
async function panelRequest(holder, op, fields) {
  const answer = await host.request(op, fields);
  if (!answer.ok) {
    post(holder, { type: "error", text: answer.error });
  } else if (answer.panel) {
    showPanel(holder, answer.panel);
  }
}

const kPanelOps = new Set([QyProtocol.ops.panelChanged, QyProtocol.ops.panelRetranslate,
                           QyProtocol.ops.panelOpenApp]);

function onPanelMessage(holder, message) {
  if (message.type === QyProtocol.ops.panelClosed) {
    closePanel(holder);
  } else if (kPanelOps.has(message.type) && holder.panel) {
    const fields = { panel: holder.panel.id };
    if (message.type === QyProtocol.ops.panelChanged) {
      fields.selected = message.selected;
    }
    panelRequest(holder, message.type, fields);
  }
}

// Links in a shown message open in the user's browser, as Thunderbird opens them.
function openLink(url) {
  if (typeof url === "string" && /^(https?|mailto):/i.test(url)) {
    api.windows.openDefaultBrowser(url);
  }
}

function attachDisplay(port) {
  const display = { port, tabId: port.sender?.tab?.id, context: null, panel: null, generation: 0 };
  displays.add(display);
  port.onDisconnect.addListener(() => {
    displays.delete(display);
    closePanel(display);
  });
  port.onMessage.addListener((message) => {
    if (message.type === "action") {
      panelRequest(display, QyProtocol.ops.primaryActionClicked, { context: display.context });
    } else if (message.type === "openLink") {
      openLink(message.url);
    } else {
      onPanelMessage(display, message);
    }
  });
  decode(display);
}

// The context to ask for the panel with from the toolbar: the message's own, in the state whose
// banner button opens the panel, so that the button never starts a translation or a retry.
function settingsContext(context) {
  if (typeof context !== "string") {
    return null;
  }
  try {
    const fields = JSON.parse(atob(context));
    if (fields && typeof fields === "object" && !Array.isArray(fields)) {
      return btoa(JSON.stringify({ ...fields, s: "done" }));
    }
  } catch (e) {
    // No usable context: the panel without a key.
  }
  return null;
}

function attachPopup(port) {
  const popup = { port, panel: null };
  port.onDisconnect.addListener(() => closePanel(popup));
  port.onMessage.addListener((message) => {
    if (message.type === "open") {
      const display = [...displays].find((d) => d.tabId === message.tabId);
      if (!display) {
        post(popup, { type: "error", text: kTexts.noMessage });
        return;
      }
      panelRequest(popup, QyProtocol.ops.primaryActionClicked, { context: settingsContext(display.context) });
    } else {
      onPanelMessage(popup, message);
    }
  });
}

api.runtime.onConnect.addListener((port) => {
  if (port.name === "display") {
    attachDisplay(port);
  } else if (port.name === "popup") {
    attachPopup(port);
  }
});
api.commands?.onCommand.addListener(onCommand);
registerDisplayScripts();
