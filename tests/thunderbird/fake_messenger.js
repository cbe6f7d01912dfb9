// A small fake of Thunderbird's `messenger` API, enough to run the add-on's background page in a
// node vm context: ports, native messaging, displayed messages and their raw bytes. The test
// plays the native host by answering the requests that arrive on the native port.
"use strict";

const fs = require("node:fs");
const path = require("node:path");
const vm = require("node:vm");

// The add-on as the build gathers it (its files and the generated protocol.js).
const kAddonDir = process.env.QY_ADDON_DIR ?? path.join(__dirname, "..", "..", "build", "hosts", "thunderbird", "addon");

function fakeEvent() {
  const listeners = [];
  return {
    addListener: (f) => listeners.push(f),
    fire: (...args) => listeners.forEach((f) => f(...args)),
  };
}

// A port as both ends see it: `sent` holds what the add-on posted, receive() delivers to it.
function fakePort(name, sender) {
  return {
    name,
    sender,
    sent: [],
    error: null,
    onMessage: fakeEvent(),
    onDisconnect: fakeEvent(),
    postMessage(message) {
      if (this.closed) {
        throw new Error("port closed");
      }
      this.sent.push(JSON.parse(JSON.stringify(message)));
    },
    receive(message) {
      this.onMessage.fire(message, this);
    },
    close(error = null) {
      this.closed = true;
      this.error = error;
      this.onDisconnect.fire(this);
    },
  };
}

// Loads the background page's scripts, in the manifest's order, into a fresh context.
function loadBackground({ version = "153.0", displayed = {}, raw = {} } = {}) {
  const nativePorts = [];
  const registered = [];
  const opened = [];
  const onConnect = fakeEvent();
  const onCommand = fakeEvent();
  const messenger = {
    runtime: {
      connectNative: (name) => {
        const port = fakePort(name);
        nativePorts.push(port);
        return port;
      },
      onConnect,
      getBrowserInfo: async () => ({ name: "Thunderbird", version }),
    },
    messageDisplayScripts: { register: async (options) => registered.push(JSON.parse(JSON.stringify(options))) },
    messageDisplay: {
      getDisplayedMessages: async (tabId) => ({ id: null, messages: displayed[tabId] ?? [] }),
    },
    messages: {
      getRaw: async (id) => ({ arrayBuffer: async () => Uint8Array.from(raw[id]).buffer }),
    },
    windows: { openDefaultBrowser: (url) => opened.push(url) },
    commands: { onCommand },
  };
  const context = vm.createContext({ messenger, btoa, atob, console });
  const manifest = JSON.parse(fs.readFileSync(path.join(kAddonDir, "manifest.json"), "utf8"));
  for (const file of manifest.background.scripts) {
    vm.runInContext(fs.readFileSync(path.join(kAddonDir, file), "utf8"), context, { filename: file });
  }
  return {
    context,
    nativePorts,
    registered,
    opened,
    native: () => nativePorts[nativePorts.length - 1],
    // A display script of tab `tabId` connecting.
    connectDisplay(tabId) {
      const port = fakePort("display", { tab: { id: tabId } });
      onConnect.fire(port);
      return port;
    },
    // The user pressing the shortcut of `name` in tab `tabId`.
    command(name, tabId) {
      onCommand.fire(name, { id: tabId });
    },
    connectPopup() {
      const port = fakePort("popup", {});
      onConnect.fire(port);
      return port;
    },
  };
}

// Lets every pending promise chain of the page run.
async function settle() {
  for (let i = 0; i < 20; i++) {
    await new Promise((resolve) => setImmediate(resolve));
  }
}

// The requests the add-on sent on a native port, without the subscription.
function requests(port, op) {
  return port.sent.filter((r) => r.op !== "subscribe" && (op === undefined || r.op === op));
}

module.exports = { loadBackground, settle, requests, kAddonDir };
