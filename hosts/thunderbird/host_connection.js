// HostConnection: the add-on's one connection to `quillory-ext native-host`, speaking the host
// protocol through Thunderbird's native messaging.
//
// request() sends {"id", "op", …} and resolves with the answer object; it never rejects: a host
// that cannot be started or that goes away resolves every waiting request with
// {"ok": false, "error": text}. The port is opened on the first request and again after it closed;
// each new port first subscribes to the extension's events, so reload requests keep arriving
// after the host restarted. Answers larger than Thunderbird's frame limit arrive as pieces
// (pieces.js). Events ({"event": …}) go to the onEvent callback.
"use strict";

class HostConnection {
  // connect() opens a native port (runtime.connectNative). onEvent(event) receives events.
  constructor(connect, onEvent) {
    this.connect = connect;
    this.onEvent = onEvent;
    this.port = null;
    this.nextId = 1;
    this.waiting = new Map();  // id -> resolve
    this.joiner = null;
  }

  request(op, fields = {}) {
    const port = this.port ?? this.open();
    const id = this.nextId++;
    return new Promise((resolve) => {
      this.waiting.set(id, resolve);
      try {
        port.postMessage({ ...fields, id, op });
      } catch (e) {
        this.waiting.delete(id);
        resolve({ id, ok: false, error: kTexts.hostMissing });
      }
    });
  }

  open() {
    const port = this.connect();
    this.port = port;
    this.joiner = new PieceJoiner();
    this.heard = false;
    port.onMessage.addListener((frame) => this.received(port, frame));
    port.onDisconnect.addListener((p) => this.closed(port, p));
    const id = this.nextId++;
    // The subscription's answer carries nothing; it only has to be sent first on every port.
    port.postMessage({ id, op: QyProtocol.ops.subscribe });
    return port;
  }

  received(port, frame) {
    if (port !== this.port) {
      return;
    }
    this.heard = true;
    if (isPiece(frame)) {
      frame = this.joiner.add(frame);
      if (frame === null) {
        return;
      }
    }
    if (frame === null || typeof frame !== "object") {
      return;
    }
    if ("event" in frame && !("id" in frame)) {
      this.onEvent(frame);
      return;
    }
    const resolve = this.waiting.get(frame.id);
    if (resolve) {
      this.waiting.delete(frame.id);
      resolve(frame);
    }
  }

  closed(port, p) {
    if (port !== this.port) {
      return;
    }
    this.port = null;
    // A host that never answered (not even the subscription) was not found or could not start.
    const reason = (p ?? port).error?.message;
    const error = this.heard ? kTexts.hostFailed + (reason ?? kTexts.hostExited)
                             : kTexts.hostMissing;
    const waiting = [...this.waiting];
    this.waiting.clear();
    for (const [id, resolve] of waiting) {
      resolve({ id, ok: false, error });
    }
  }
}
