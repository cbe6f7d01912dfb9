// The add-on's background page against a fake `messenger`: what a displayed message sends to the
// native host, what the display is told to draw, the banner's button and the panel, pieces of
// large answers, and refreshing every displayed message on the extension's reload event.
"use strict";

const test = require("node:test");
const assert = require("node:assert/strict");
const vm = require("node:vm");
const { loadBackground, settle, requests } = require("./fake_messenger.js");

const kBanner = { title: "已翻译（英语 → 中文）", primaryActionTitle: "设置", dismissable: true };
const kContext = Buffer.from(JSON.stringify({ h: "f".repeat(24), k: "kk", s: "done" })).toString("base64");
const kPanel = (id) => ({
  id, key: "kk", preferredContentSize: [330, 216],
  rows: [{ label: "显示", control: "mode", segments: ["双语对照", "仅译文", "关闭"], selected: 0 }],
  buttons: [{ title: "重新翻译这封邮件", action: "retranslate" }], note: "n",
});

function answer(request, fields) {
  return { id: request.id, ok: true, ...fields };
}

// A page with one message (bytes that are not all ASCII) shown in tab 1.
function pageWithMessage(options = {}) {
  return loadBackground({ displayed: { 1: [{ id: 7 }], 2: [{ id: 8 }] },
                          raw: { 7: [0x46, 0x72, 0xff, 0x0a], 8: [0x41] }, ...options });
}

test("a displayed message is decoded and shown under its banner", async () => {
  const page = pageWithMessage();
  const display = page.connectDisplay(1);
  await settle();
  const native = page.native();
  assert.equal(native.name, "quillory");
  assert.equal(native.sent[0].op, "subscribe", "events are subscribed to before anything else");
  const [request] = requests(native);
  assert.deepEqual({ op: request.op, data: request.data, mainThread: request.mainThread },
                   { op: "decodedMessage", data: Buffer.from([0x46, 0x72, 0xff, 0x0a]).toString("base64"),
                     mainThread: false });
  native.receive(answer(request, { message: { data: "AA==", context: kContext, banner: kBanner,
                                              html: "<p>你好</p>" } }));
  await settle();
  assert.deepEqual(display.sent, [{ type: "show", banner: kBanner, html: "<p>你好</p>", subject: null,
                                   state: "done" }]);
});

test("the translated subject and the banner's state reach the display", async (t) => {
  const error = Buffer.from(JSON.stringify({ h: "a", k: "kk", s: "error" })).toString("base64");
  const cases = [
    { name: "translated subject", message: { data: "", context: kContext, banner: kBanner, subject: "季度报告" },
      want: { subject: "季度报告", state: "done" } },
    { name: "error state", message: { data: "", context: error, banner: kBanner }, want: { subject: null, state: "error" } },
    { name: "context that is not JSON", message: { data: "", context: "bm90IGpzb24=", banner: kBanner },
      want: { subject: null, state: null } },
  ];
  for (const c of cases) {
    await t.test(c.name, async () => {
      const page = pageWithMessage();
      const display = page.connectDisplay(1);
      await settle();
      page.native().receive(answer(requests(page.native())[0], { message: c.message }));
      await settle();
      const { subject, state } = display.sent[0];
      assert.deepEqual({ subject, state }, c.want);
    });
  }
});

test("the shortcut shows the original of the active tab's message only", async () => {
  const page = pageWithMessage();
  const one = page.connectDisplay(1);
  const two = page.connectDisplay(2);
  await settle();
  page.command("toggle-original", 2);
  page.command("something-else", 1);
  assert.deepEqual(two.sent, [{ type: "toggleOriginal" }]);
  assert.deepEqual(one.sent, []);
});

test("answers without a message, without a body and with an error", async (t) => {
  const cases = [
    { name: "no message: Thunderbird's rendering", reply: { ok: true, message: null },
      want: { type: "clear" } },
    { name: "banner only", reply: { ok: true, message: { data: "AA==", context: null, banner: kBanner } },
      want: { type: "show", banner: kBanner, html: null, subject: null, state: null } },
    { name: "error", reply: { ok: false, error: "missing field data" },
      want: { type: "error", text: "missing field data" } },
  ];
  for (const c of cases) {
    await t.test(c.name, async () => {
      const page = pageWithMessage();
      const display = page.connectDisplay(1);
      await settle();
      const [request] = requests(page.native());
      page.native().receive({ id: request.id, ...c.reply });
      await settle();
      assert.deepEqual(display.sent, [c.want]);
    });
  }
});

test("the banner's button sends the context and opens the panel it answers", async () => {
  const page = pageWithMessage();
  const display = page.connectDisplay(1);
  await settle();
  const native = page.native();
  native.receive(answer(requests(native)[0], { message: { data: "", context: kContext, banner: kBanner } }));
  await settle();

  display.receive({ type: "action" });
  await settle();
  const click = requests(native, "primaryActionClicked")[0];
  assert.equal(click.context, kContext);
  native.receive(answer(click, { panel: kPanel(3) }));
  await settle();
  assert.deepEqual(display.sent.at(-1), { type: "panel", panel: kPanel(3) });

  display.receive({ type: "panelChanged", selected: { mode: 1, style: 0, dark: 2 } });
  display.receive({ type: "panelRetranslate" });
  await settle();
  const changed = requests(native, "panelChanged")[0];
  assert.deepEqual([changed.panel, changed.selected], [3, { mode: 1, style: 0, dark: 2 }]);
  assert.equal(requests(native, "panelRetranslate")[0].panel, 3);

  display.close();
  await settle();
  assert.deepEqual(requests(native, "panelClosed").map((r) => r.panel), [3],
                   "a display that goes away closes its panel");
});

test("an offer's button answered without a panel changes nothing on the display", async () => {
  const page = pageWithMessage();
  const display = page.connectDisplay(1);
  await settle();
  const native = page.native();
  native.receive(answer(requests(native)[0], { message: { data: "", context: kContext, banner: kBanner } }));
  display.receive({ type: "action" });
  await settle();
  native.receive(answer(requests(native, "primaryActionClicked")[0], { panel: null }));
  await settle();
  assert.equal(display.sent.length, 1);
});

test("a reload event decodes every displayed message again", async () => {
  const page = pageWithMessage();
  const first = page.connectDisplay(1);
  const second = page.connectDisplay(2);
  const gone = page.connectDisplay(1);
  await settle();
  gone.close();
  const native = page.native();
  assert.equal(requests(native, "decodedMessage").length, 3);
  native.receive({ event: "reloadVisibleMessages" });
  await settle();
  const again = requests(native, "decodedMessage").slice(3);
  assert.deepEqual(again.map((r) => r.data).sort(), ["QQ==", "RnL/Cg=="]);
  for (const r of again) {
    native.receive(answer(r, { message: null }));
  }
  await settle();
  assert.deepEqual([first.sent.at(-1), second.sent.at(-1), gone.sent.length],
                   [{ type: "clear" }, { type: "clear" }, 0]);
});

test("an older answer arriving after a newer one is not drawn", async () => {
  const page = pageWithMessage();
  const display = page.connectDisplay(1);
  await settle();
  const native = page.native();
  native.receive({ event: "reloadVisibleMessages" });
  await settle();
  const [older, newer] = requests(native, "decodedMessage");
  native.receive(answer(newer, { message: null }));
  native.receive(answer(older, { message: { data: "", context: null, banner: kBanner } }));
  await settle();
  assert.deepEqual(display.sent, [{ type: "clear" }]);
});

test("large answers arrive in pieces that are joined, however they interleave", async () => {
  const page = pageWithMessage();
  const a = page.connectDisplay(1);
  const b = page.connectDisplay(2);
  await settle();
  const native = page.native();
  const [ra, rb] = requests(native);
  const html = "<p>" + "译文，".repeat(50000) + "\u{1F600}</p>";
  const textA = JSON.stringify(answer(ra, { message: { data: "", context: null, banner: kBanner, html } }));
  const textB = JSON.stringify(answer(rb, { message: null }));
  const cut = (text, n) => Array.from({ length: n }, (_, i) =>
      text.slice(Math.floor((i * text.length) / n), Math.floor(((i + 1) * text.length) / n)));
  const piecesA = cut(textA, 3).map((text, piece) => ({ seq: 1, piece, pieces: 3, text }));
  const piecesB = cut(textB, 2).map((text, piece) => ({ seq: 2, piece, pieces: 2, text }));
  for (const frame of [piecesA[2], piecesB[1], piecesA[0], piecesB[0], piecesA[1]]) {
    native.receive(frame);
  }
  await settle();
  assert.deepEqual(a.sent, [{ type: "show", banner: kBanner, html, subject: null, state: null }]);
  assert.deepEqual(b.sent, [{ type: "clear" }]);
});

test("pieces that do not fit together are dropped", () => {
  const { context } = loadBackground();
  const joiner = new (vm.runInContext("PieceJoiner", context))();
  const cases = [
    { name: "index past the count", frames: [{ seq: 1, piece: 2, pieces: 2, text: "{}" }] },
    { name: "count changes", frames: [{ seq: 1, piece: 0, pieces: 2, text: "{" },
                                      { seq: 1, piece: 1, pieces: 3, text: "}" }] },
    { name: "text not a string", frames: [{ seq: 1, piece: 0, pieces: 1, text: 5 }] },
    { name: "joined text not JSON", frames: [{ seq: 1, piece: 0, pieces: 2, text: "{" },
                                             { seq: 1, piece: 1, pieces: 2, text: "{" }] },
    { name: "the same piece twice", frames: [{ seq: 1, piece: 0, pieces: 2, text: "{" },
                                             { seq: 1, piece: 0, pieces: 2, text: "{" }] },
  ];
  for (const c of cases) {
    const results = c.frames.map((f) => joiner.add(f));
    assert.deepEqual(results, c.frames.map(() => null), c.name);
  }
  // A good answer with the same seq afterwards is joined from scratch.
  assert.equal(joiner.add({ seq: 1, piece: 0, pieces: 2, text: "{\"id\":" }), null);
  assert.deepEqual({ ...joiner.add({ seq: 1, piece: 1, pieces: 2, text: "4}" }) }, { id: 4 });
});

test("a host that cannot start is reported, and the next message tries again", async () => {
  const page = pageWithMessage();
  const display = page.connectDisplay(1);
  await settle();
  page.native().close({ message: "No such native application quillory" });
  await settle();
  assert.match(display.sent[0].text, /quillory-ext install-thunderbird/);

  page.connectDisplay(1);
  await settle();
  assert.equal(page.nativePorts.length, 2);
  assert.deepEqual(page.native().sent.map((r) => r.op), ["subscribe", "decodedMessage"]);
});

test("a host that exits after answering fails its waiting requests with the reason", async () => {
  const page = pageWithMessage();
  const display = page.connectDisplay(1);
  await settle();
  const native = page.native();
  native.receive(answer(native.sent[0], {}));
  native.close(null);
  await settle();
  assert.match(display.sent[0].text, /^Quillory 本机程序出错/);
});

test("the toolbar popup asks for the shown message's panel without starting anything", async (t) => {
  const page = pageWithMessage();
  page.connectDisplay(1);
  await settle();
  const native = page.native();
  const offer = Buffer.from(JSON.stringify({ h: "a", k: "kk", s: "offer" })).toString("base64");
  native.receive(answer(requests(native)[0], { message: { data: "", context: offer, banner: kBanner } }));
  await settle();

  await t.test("shown message", async () => {
    const popup = page.connectPopup();
    popup.receive({ type: "open", tabId: 1 });
    await settle();
    const click = requests(native, "primaryActionClicked").at(-1);
    assert.deepEqual(JSON.parse(Buffer.from(click.context, "base64")), { h: "a", k: "kk", s: "done" });
    native.receive(answer(click, { panel: kPanel(9) }));
    await settle();
    assert.deepEqual(popup.sent, [{ type: "panel", panel: kPanel(9) }]);
    popup.close();
    await settle();
    assert.equal(requests(native, "panelClosed").at(-1).panel, 9);
  });
  await t.test("no message shown in the tab", async () => {
    const popup = page.connectPopup();
    popup.receive({ type: "open", tabId: 5 });
    await settle();
    assert.match(popup.sent[0].text, /先打开一封邮件/);
  });
});

test("display scripts are registered only where the manifest cannot declare them", async () => {
  const older = loadBackground({ version: "128.5.0" });
  const newer = loadBackground({ version: "153.0" });
  await settle();
  assert.deepEqual(older.registered.map((o) => o.js.map((f) => f.file)), [["protocol.js", "panel_view.js", "display.js"]]);
  assert.equal(newer.registered.length, 0);
});

test("only web and mail links are handed to the browser", async () => {
  const page = pageWithMessage();
  const display = page.connectDisplay(1);
  for (const url of ["https://example.org/a", "mailto:a@b.c", "javascript:alert(1)", "file:///etc/passwd"]) {
    display.receive({ type: "openLink", url });
  }
  assert.deepEqual(page.opened, ["https://example.org/a", "mailto:a@b.c"]);
});
