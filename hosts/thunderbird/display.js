// The display script: runs in the document of each message Thunderbird displays and draws what
// the background page sends for it.
//
// "show" puts the banner (its title, its button and a close control) above the message body; with
// an "html" body (the message's display document, made safe by the native host) it also sets
// Thunderbird's rendering of the body aside and shows that instead, in a frame that runs no
// scripts and loads nothing from the network. "clear" and "error" give Thunderbird's
// rendering back ("error" under a banner that says why, drawn as a warning). "panel" draws the
// extension's panel under the banner. A translated message has a control on the banner line (and
// the "toggleOriginal" message, from the add-on's shortcut) that shows Thunderbird's rendering of
// the message as it arrived, and back; its translated subject stands above the translated body. Everything of ours lives in a shadow root, so the message's styles cannot
// reach it.
"use strict";

(() => {
  const api = globalThis.messenger ?? globalThis.browser;
  // The shown body may load only what it carries itself; scripts never run in the frame anyway
  // (its sandbox has no allow-scripts).
  const kFrameCsp = "default-src 'none'; img-src data:; style-src 'unsafe-inline' data:; " +
                    "font-src data:; media-src data:";
  const kStyles = {
    root: "all: initial; display: block; font: 13px/1.5 sans-serif;",
    banner: "display: flex; align-items: center; gap: 8px; padding: 6px 10px; margin: 0 0 8px;",
    subject: "display: block; padding: 0 10px; margin: 0 0 8px; font-size: 15px; font-weight: 600;",
    title: "flex: 1;",
    button: "font: inherit; padding: 2px 10px;",
    panel: "display: block; padding: 8px 12px; margin: 0 0 8px; border: 1px solid #c6d3e6;" +
           "border-radius: 6px; background: #fbfcfe; color: #1d2a3a; max-width: 330px;",
    "qy-row": "border: 0; margin: 0 0 6px; padding: 0; display: flex; gap: 8px;",
    "qy-label": "float: left; width: 34px; color: #5a6472; font-size: 12px; padding: 0;",
    "qy-segment": "white-space: nowrap;",
    "qy-buttons": "display: flex; gap: 8px; margin: 6px 0;",
    "qy-note": "font-size: 11px; color: #5a6472; margin: 4px 0 0;",
    "qy-error": "font-size: 12px; font-weight: 600; color: #b3261e; margin: 4px 0 0;",
    frame: "display: block; border: 0; width: 100%; min-height: 40px;",
  };

  let port = null;
  let heardSinceConnect = false;
  let original = null;  // Thunderbird's rendering while ours is shown in its place
  let host = null;      // our element at the top of the body
  let shadow = null;
  let bannerBox = null;
  let panelBox = null;
  let frame = null;
  // The message being shown: our body (null: Thunderbird's rendering), its translated subject,
  // the banner's state, and whether the reader asked for the original.
  const shown = { html: null, subject: null, state: null, banner: null, original: false };
  // The banner's colours are a style sheet's, so that they follow the appearance; an error
  // reads as a warning in both.
  const kSheet = `
    .qy-banner { background: #eef3fb; color: #1d2a3a; border-bottom: 1px solid #c6d3e6; }
    .qy-banner[data-state="error"] { background: #fff4e5; color: #7a3e00; border: 1px solid #e8a04a; }
    @media (prefers-color-scheme: dark) {
      .qy-banner { background: #24324a; color: #e8eef8; border-bottom-color: #3a4a66; }
      .qy-banner[data-state="error"] { background: #3d2a12; color: #ffd9a8; border-color: #c77a22; }
    }`;

  function styled(element, key) {
    element.style.cssText = kStyles[key];
    return element;
  }

  function ensureHost() {
    if (host && host.isConnected) {
      return;
    }
    host = document.createElement("div");
    host.id = "quillory";
    shadow = host.attachShadow({ mode: "closed" });
    const sheet = document.createElement("style");
    sheet.textContent = kSheet;
    shadow.append(sheet);
    const root = styled(document.createElement("div"), "root");
    bannerBox = document.createElement("div");
    panelBox = styled(document.createElement("div"), "panel");
    panelBox.style.display = "none";
    panelBox.setAttribute("role", "dialog");
    root.append(bannerBox, panelBox);
    shadow.append(root);
    // Thunderbird may render the message's headers into the document itself: they stay on top,
    // and the banner goes under them, above the body.
    const headers = document.body.querySelectorAll(":scope > .moz-main-header");
    if (headers.length) {
      headers[headers.length - 1].after(host);
    } else {
      document.body.prepend(host);
    }
  }

  function restoreOriginal() {
    if (frame) {
      frame.remove();
      frame = null;
    }
    if (original) {
      document.body.append(original);
      original = null;
    }
  }

  function drawBanner(title, buttonTitle, onClick, state = null) {
    const banner = styled(document.createElement("div"), "banner");
    banner.className = "qy-banner";
    banner.dataset.state = state ?? "none";
    banner.setAttribute("role", state === "error" ? "alert" : "status");
    const text = styled(document.createElement("span"), "title");
    text.textContent = state === "error" ? `⚠ ${title}` : title;
    banner.append(text);
    if (buttonTitle) {
      const button = styled(document.createElement("button"), "button");
      button.type = "button";
      button.textContent = buttonTitle;
      button.addEventListener("click", onClick);
      banner.append(button);
    }
    // After the banner's own button: a translated message can be shown as it arrived, and
    // back, without changing a setting.
    if (shown.html !== null && ["done", "pending", "error"].includes(state)) {
      const toggle = styled(document.createElement("button"), "button");
      toggle.type = "button";
      toggle.className = "qy-original";
      toggle.textContent = shown.original ? "显示译文" : "显示原文";
      toggle.setAttribute("aria-pressed", String(shown.original));
      toggle.addEventListener("click", toggleOriginal);
      banner.append(toggle);
    }
    const close = styled(document.createElement("button"), "button");
    close.type = "button";
    close.textContent = "×";
    close.title = close.ariaLabel = "隐藏提示";
    close.addEventListener("click", () => {
      bannerBox.replaceChildren();
      closePanel();
    });
    banner.append(close);
    bannerBox.replaceChildren(banner);
    if (shown.subject && shown.html !== null && !shown.original) {
      const subject = styled(document.createElement("div"), "subject");
      subject.className = "qy-subject";
      subject.textContent = shown.subject;
      subject.title = "主题的译文";
      bannerBox.append(subject);
    }
  }

  // Draws the message as `shown` says: our body, or Thunderbird's rendering of the original.
  function drawShown() {
    if (shown.html !== null && !shown.original) {
      showBody(shown.html);
    } else {
      restoreOriginal();
    }
    if (shown.banner) {
      drawBanner(shown.banner.title, shown.banner.primaryActionTitle, () => send({ type: "action" }),
                 shown.state);
    } else {
      bannerBox.replaceChildren();
    }
  }

  function toggleOriginal() {
    if (shown.html === null) {
      return;
    }
    shown.original = !shown.original;
    drawShown();
  }

  function fitFrame() {
    try {
      const doc = frame.contentDocument;
      frame.style.height = `${doc.documentElement.scrollHeight}px`;
    } catch (e) {
      // The frame is not readable (yet): it keeps its height.
    }
  }

  function showBody(html) {
    if (!original) {
      original = document.createDocumentFragment();
      while (host.nextSibling) {
        original.append(host.nextSibling);
      }
    }
    if (frame) {
      frame.remove();
    }
    frame = styled(document.createElement("iframe"), "frame");
    // Same origin without scripts: nothing in the body runs, and this script can still put the
    // body into the frame, size the frame to it and hand clicked links to the user's browser.
    // Thunderbird loads no srcdoc frame in a message, and a content script may not open() the
    // frame's document: the body is parsed here (DOMParser never runs scripts) and moved in.
    frame.setAttribute("sandbox", "allow-same-origin");
    frame.setAttribute("title", "邮件正文");
    document.body.append(frame);
    // The native host sent the message's display document, already without what could navigate
    // the frame or reach the sender (refreshes, frames, plugins, fetch-ahead links); the policy
    // comes first, so it holds for everything after it.
    const parsed = new DOMParser().parseFromString(
        `<meta http-equiv="Content-Security-Policy" content="${kFrameCsp}">` + html, "text/html");
    const doc = frame.contentDocument;
    doc.replaceChild(doc.importNode(parsed.documentElement, true), doc.documentElement);
    fitFrame();
    new ResizeObserver(fitFrame).observe(doc.documentElement);
    doc.addEventListener("click", (event) => {
      const link = event.target.closest?.("a[href]");
      if (link) {
        event.preventDefault();
        send({ type: "openLink", url: link.href });
      }
    });
  }

  function closePanel() {
    if (panelBox.style.display !== "none") {
      panelBox.style.display = "none";
      panelBox.replaceChildren();
      send({ type: "panelClosed" });
    }
  }

  function showPanel(panel) {
    drawPanel(document, panelBox, panel, (op, fields) => send({ type: op, ...fields }));
    for (const element of panelBox.querySelectorAll("[class]")) {
      if (kStyles[element.className]) {
        element.style.cssText = kStyles[element.className];
      }
    }
    const close = styled(document.createElement("button"), "button");
    close.type = "button";
    close.textContent = "关闭";
    close.addEventListener("click", closePanel);
    panelBox.querySelector(".qy-buttons")?.append(close);
    panelBox.style.display = "block";
  }

  function received(message) {
    heardSinceConnect = true;
    ensureHost();
    if (message.type === "show") {
      // A message shown again (a reload) stays as the reader chose: original or translated.
      Object.assign(shown, { html: message.html ?? null, subject: message.subject ?? null,
                             state: message.state ?? null, banner: message.banner ?? null });
      drawShown();
    } else if (message.type === "toggleOriginal") {
      toggleOriginal();
    } else if (message.type === "clear") {
      Object.assign(shown, { html: null, subject: null, state: null, banner: null });
      restoreOriginal();
      bannerBox.replaceChildren();
    } else if (message.type === "error") {
      Object.assign(shown, { html: null, subject: null, state: null, banner: null });
      restoreOriginal();
      drawBanner(message.text, null, null, "error");
    } else if (message.type === "panel") {
      showPanel(message.panel);
    }
  }

  function connect() {
    port = api.runtime.connect({ name: "display" });
    heardSinceConnect = false;
    port.onMessage.addListener(received);
    port.onDisconnect.addListener(() => {
      port = null;
      // The background page was suspended or restarted: connect again, so this message is
      // refreshed with the others. A port that closes before saying anything is not retried.
      if (heardSinceConnect) {
        connect();
      }
    });
  }

  function send(message) {
    if (!port) {
      connect();
    }
    port.postMessage(message);
  }

  connect();
})();
