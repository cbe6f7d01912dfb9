// The reader's page: the message list, one message under its banner, the banner's panel, and
// showing the message again when the extension asks. All the mail logic is on the server; this
// only draws what it answers. The message body is a sandboxed frame that runs no script.
'use strict';

const $ = (id) => document.getElementById(id);
const state = {
  messages: [], current: null, shown: null, dismissed: new Set(), read: new Set(), panel: null,
  subjects: new Map(),  // id → the subject translated, once a decode brought it
  original: new Set(),  // ids shown as they arrived, until toggled back
  opening: 0,           // the last click's number: an older click's answer is not shown
  mode: 'bilingual',
};

async function api(path, body) {
  const options = body === undefined ? {} : {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
  };
  let response;
  try {
    response = await fetch(path, options);
  } catch {
    throw new Error('无法连接到读信器：请确认 quillory-ext serve 仍在运行');
  }
  let answer = null;
  try { answer = await response.json(); } catch { answer = null; }
  if (response.ok) return answer;
  if (answer && answer.error) throw new Error(answer.error);
  if (response.status === 403) throw new Error('读信器拒绝了请求：请重新打开 quillory-ext serve 给出的链接');
  throw new Error(`读信器出错（HTTP ${response.status}）`);
}

// Light, dark, or the browser's choice; the frame gets the same.
function scheme() { return localStorage.getItem('qy-scheme') || 'auto'; }
function applyScheme() {
  const root = document.documentElement;
  root.dataset.scheme = scheme();
  root.classList.toggle('system-dark', matchMedia('(prefers-color-scheme: dark)').matches);
  $('scheme').value = scheme();
}
function frameUrl(path) {
  return new URL(scheme() === 'auto' ? path : `${path}?scheme=${scheme()}`, location.href).href;
}

// The message frame. Its document lives in an origin of its own, so this page can neither read
// nor set where it is scrolled; but going back in history puts a document where the reader left
// it. So a message shown anew replaces the frame's history entry (Back leaves the reader, never
// turns the frame to another message), and the same message shown again steps the frame onto
// an empty page and back: the browser fetches the new document from the message's address and
// restores the place in it. `frame.dataset.url` names the address shown (the src attribute keeps
// the first one only).
const frames = { move: 0, loaded: false, holdAhead: false };
// How long one step may take before the frame is simply shown from its top: only a stalled
// browser ever waits this long.
const kFrameStepMs = 10_000;

function frameLoad(frame) {
  return new Promise((resolve) => {
    const timer = setTimeout(() => resolve(false), kFrameStepMs);
    frame.addEventListener('load', () => { clearTimeout(timer); resolve(true); }, { once: true });
  });
}

function showFrame(url) {
  const frame = $('body');
  ++frames.move;
  frames.loaded = false;
  frame.dataset.url = url;
  frameLoad(frame).then((ok) => { frames.loaded = ok; });
  if (!frame.getAttribute('src')) frame.src = url;
  else frame.contentWindow.location.replace(url);
}

async function showFrameAgain(url) {
  const frame = $('body');
  // Only a loaded document can be stepped away from with a history entry of its own.
  if (frame.dataset.url !== url || !frames.loaded) return showFrame(url);
  const move = ++frames.move;
  frames.loaded = false;
  const before = history.length;
  const held = frameLoad(frame);
  const hold = new URL(url);  // the same colour scheme, on the empty page
  hold.pathname = '/frame-hold';
  frame.contentWindow.location.href = hold.href;
  const arrived = await held;
  if (move !== frames.move) return;
  // An entry was added (a held step ahead is replaced by the new one): only then does Back
  // lead to the message and not away from the reader.
  if (!arrived || history.length !== (frames.holdAhead ? before : before + 1)) return showFrame(url);
  frames.holdAhead = true;
  const back = frameLoad(frame);
  history.back();
  frames.loaded = await back;
  if (!frames.loaded && move === frames.move) showFrame(url);
}

function formatDate(seconds) {
  if (!seconds) return '';
  const date = new Date(seconds * 1000);
  const today = new Date();
  if (date.toDateString() === today.toDateString())
    return date.toLocaleTimeString('zh-CN', { hour: '2-digit', minute: '2-digit' });
  return date.toLocaleDateString('zh-CN', { year: 'numeric', month: 'numeric', day: 'numeric' });
}

function formatSize(bytes) {
  if (bytes < 1000) return `${bytes} 字节`;
  if (bytes < 1000 * 1000) return `${(bytes / 1000).toFixed(1)} KB`;
  return `${(bytes / 1000 / 1000).toFixed(1)} MB`;
}

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

async function loadList() {
  try {
    const answer = await api('/api/messages');
    state.messages = answer.messages;
    // Read here: the mail on disk still says unread, the list no longer does.
    for (const m of state.messages) if (state.read.has(m.id)) m.unread = false;
  } catch {
    $('list-status').textContent = '无法读取邮件列表';
    $('list-status').hidden = false;
    return;
  }
  const list = $('messages');
  // The list is drawn anew; the message the keyboard was on keeps the focus, the list its place.
  const focused = list.contains(document.activeElement) ? document.activeElement.dataset.id : null;
  const scroll = $('messages').parentElement.scrollTop;
  list.replaceChildren();
  $('list-status').hidden = state.messages.length > 0;
  $('list-status').textContent = '没有邮件';
  for (const m of state.messages) {
    const item = element('li', m.unread ? 'unread' : '');
    const button = element('button');
    button.type = 'button';
    button.dataset.id = m.id;
    if (m.id === state.current) button.setAttribute('aria-current', 'true');
    const from = element('span', 'from', m.from || '（无发件人）');
    from.append(element('span', 'date', formatDate(m.time)));
    button.append(from, ...subjectLine(m.subject, state.subjects.get(m.id), 'subject'));
    if (m.folder) button.append(element('span', 'folder', m.folder));
    button.addEventListener('click', () => openMessage(m.id));
    item.append(button);
    list.append(item);
    if (m.id === focused) button.focus({ preventScroll: true });
  }
  $('messages').parentElement.scrollTop = scroll;
}

// The subject with its translation: under it (bilingual), or in its place (replace mode).
function subjectLine(subject, translated, className) {
  const original = subject || '（无主题）';
  if (!translated) return [element('span', className, original)];
  if (state.mode === 'replace') {
    const shown = element('span', className, translated);
    shown.title = original;
    return [shown];
  }
  return [element('span', className, original), element('span', 'translated-subject', translated)];
}

// Marks the message `id` as the one shown in the list.
function select(id) {
  state.current = id;
  for (const b of document.querySelectorAll('#messages button'))
    if (b.dataset.id === id) b.setAttribute('aria-current', 'true'); else b.removeAttribute('aria-current');
}

function showHeaders(view, translatedSubject) {
  const headers = $('headers');
  headers.replaceChildren();
  for (const [label, value] of [['发件人', view.from], ['收件人', view.to], ['抄送', view.cc],
    ['日期', view.date]]) {
    if (!value) continue;
    headers.append(element('dt', '', label), element('dd', '', value));
  }
  if (view.subject || translatedSubject) {
    const dd = element('dd', 'subject-value');
    dd.append(...subjectLine(view.subject, translatedSubject, 'original-subject'));
    headers.append(element('dt', '', '主题'), dd);
  }
  const remote = $('remote-note');
  remote.hidden = !view.remoteImages;
  remote.textContent = `已阻止远程图片（${view.remoteImages} 张），以免泄露你的阅读情况。`;
  const attachments = $('attachments');
  attachments.replaceChildren();
  attachments.hidden = view.attachments.length === 0;
  view.attachments.forEach((a, index) => {
    // Saved as a file, never opened by the reader.
    const link = element('a', '', `${a.name}（${formatSize(a.size)}）`);
    link.href = `/api/attachment?id=${encodeURIComponent(state.current)}&n=${index}`;
    link.download = a.name;
    link.title = `下载 ${a.name}`;
    const item = element('li');
    item.append(link);
    attachments.append(item);
  });
}

function showBanner(message) {
  const banner = $('banner');
  const b = message.banner;
  banner.hidden = !b || state.dismissed.has(message.id);
  if (!b) return;
  banner.dataset.state = message.state || 'none';
  $('banner-icon').textContent = message.state === 'error' ? '⚠' : '';
  $('banner-title').textContent = b.title;
  $('banner-action').textContent = b.primaryActionTitle;
  $('banner-dismiss').hidden = b.dismissable === false;
  // A translated message (or one being translated) can be shown as it arrived, and back.
  const toggle = $('banner-original');
  toggle.hidden = !translatable(message);
  toggle.textContent = message.original ? '显示译文' : '显示原文';
  toggle.setAttribute('aria-pressed', String(Boolean(message.original)));
}

// A message shown translated (or partly so): one with something to step away from.
function translatable(message) {
  return ['done', 'pending', 'error'].includes(message.state) && message.changed;
}

// Shows the current message as it arrived, or translated again; no setting changes.
function toggleOriginal() {
  const message = state.shown;
  if (!message || !translatable(message)) return;
  if (state.original.has(message.id)) state.original.delete(message.id); else state.original.add(message.id);
  openMessage(message.id, true);
}

// Shows a message; `again` is a reload of the message already shown: the place in the page stays,
// and the frame is left alone when its document did not change.
async function openMessage(id, again = false) {
  const ticket = again ? state.opening : ++state.opening;
  if (!again) showOpening(id);
  const original = state.original.has(id) ? '&original=1' : '';
  let message;
  try {
    message = await api(`/api/message?id=${encodeURIComponent(id)}${original}`);
  } catch (error) {
    if (again) return;
    if (ticket !== state.opening) return;
    $('opening').hidden = true;
    // Nothing of the message shown before stays under the error, as if it were this one.
    closePanel();
    select(id);
    state.shown = null;
    $('reader').hidden = false;
    $('empty-reader').hidden = true;
    showNotice(error.message);
    $('headers').replaceChildren();
    for (const part of ['banner', 'remote-note', 'attachments', 'body']) $(part).hidden = true;
    // A message whose file is gone leaves the list.
    loadList();
    return;
  }
  if (again && id !== state.current) return;
  // Another message was chosen meanwhile: this answer is not shown.
  if (ticket !== state.opening) return;
  $('opening').hidden = true;
  if (message.mode) state.mode = message.mode;
  if (message.subject && message.subject !== state.subjects.get(id)) {
    state.subjects.set(id, message.subject);
    drawListSubject(id);
  }
  const reader = $('reader');
  const scroll = reader.scrollTop;
  if (!again) {
    closePanel();
    select(id);
    state.read.add(id);
    const entry = state.messages.find((m) => m.id === id);
    if (entry) entry.unread = false;
    document.querySelector(`#messages button[data-id="${CSS.escape(id)}"]`)?.parentElement.classList.remove('unread');
  }
  $('body').hidden = false;
  state.shown = message;
  reader.hidden = false;
  $('empty-reader').hidden = true;
  $('notice').hidden = !message.notice;
  $('notice').textContent = message.notice || '';
  showHeaders(message.view, message.original ? null : message.subject);
  showBanner(message);
  const frame = $('body');
  if (!again) {
    frame.dataset.version = message.version;
    showFrame(frameUrl(message.frame));
  } else if (frame.dataset.version !== message.version) {
    frame.dataset.version = message.version;
    showFrameAgain(frameUrl(message.frame));
  }
  reader.scrollTop = scroll;
  document.body.dataset.shown = String(Number(document.body.dataset.shown || 0) + 1);
}

// Right after a click: the message is marked in the list and the reader says it is opening it,
// before the decode (which may wait for the translation's first paint) answers.
function showOpening(id) {
  closePanel();
  select(id);
  state.shown = null;
  $('reader').hidden = false;
  $('empty-reader').hidden = true;
  $('opening').hidden = false;
  $('notice').hidden = true;
  $('headers').replaceChildren();
  for (const part of ['banner', 'remote-note', 'attachments', 'body']) $(part).hidden = true;
}

// The list entry of `id` with the subject as now known.
function drawListSubject(id) {
  const entry = state.messages.find((m) => m.id === id);
  const button = document.querySelector(`#messages button[data-id="${CSS.escape(id)}"]`);
  if (!entry || !button) return;
  for (const old of button.querySelectorAll('.subject, .translated-subject')) old.remove();
  const lines = subjectLine(entry.subject, state.subjects.get(id), 'subject');
  button.querySelector('.from').after(...lines);
}

function drawPanel(panel) {
  state.panel = panel;
  const box = $('panel');
  box.style.width = `${panel.preferredContentSize[0]}px`;
  box.style.height = `${panel.preferredContentSize[1]}px`;
  const rows = $('panel-rows');
  rows.replaceChildren();
  for (const row of panel.rows) {
    const set = element('fieldset');
    set.append(element('legend', '', row.label));
    const segments = element('span', 'segments');
    row.segments.forEach((title, index) => {
      const label = element('label');
      const input = document.createElement('input');
      input.type = 'radio';
      input.name = `panel-${row.control}`;
      input.value = String(index);
      input.checked = index === row.selected;
      input.addEventListener('change', panelChanged);
      label.append(input, document.createTextNode(title));
      segments.append(label);
    });
    set.append(segments);
    rows.append(set);
  }
  const buttons = $('panel-buttons');
  buttons.replaceChildren();
  for (const b of panel.buttons) {
    const button = element('button', '', b.title);
    button.type = 'button';
    button.addEventListener('click', () => panelCall(b.action === 'retranslate' ? QyProtocol.ops.panelRetranslate : QyProtocol.ops.panelOpenApp));
    buttons.append(button);
  }
  // A change the extension could not save: the panel shows the settings that hold, and why.
  $('panel-error').hidden = !panel.error;
  $('panel-error').textContent = panel.error || '';
  $('panel-note').textContent = panel.note;
  const opening = box.hidden;
  box.hidden = false;
  // Opened from the keyboard, the panel takes the focus; Escape gives it back to the banner.
  if (opening) box.querySelector('input:checked')?.focus();
}

function selectedIndex(control) {
  const checked = document.querySelector(`input[name="panel-${control}"]:checked`);
  return checked ? Number(checked.value) : 0;
}

async function panelChanged() {
  await panelCall(QyProtocol.ops.panelChanged, { mode: selectedIndex('mode'), style: selectedIndex('style'), dark: selectedIndex('dark') });
}

async function panelCall(op, selected) {
  if (!state.panel) return;
  const body = { op, panel: state.panel.id };
  if (selected) body.selected = selected;
  try {
    const answer = await api('/api/panel', body);
    if (answer.panel) drawPanel(answer.panel);
  } catch (error) {
    showNotice(error.message);
  }
}

function closePanel(tell = true) {
  if (state.panel && tell) api('/api/panel', { op: QyProtocol.ops.panelClosed, panel: state.panel.id }).catch(() => {});
  state.panel = null;
  $('panel').hidden = true;
}

function showNotice(text) {
  $('notice').hidden = false;
  $('notice').textContent = text;
}

async function bannerClicked() {
  if (!state.shown) return;
  try {
    const answer = await api('/api/action', { context: state.shown.context });
    if (answer.panel) drawPanel(answer.panel);
  } catch (error) {
    showNotice(error.message);
  }
}

function listen() {
  const events = new EventSource('/events');
  let opened = false;
  events.addEventListener('open', () => {
    document.body.dataset.events = 'open';
    // Back after a lost connection: a reload may have been missed meanwhile.
    if (opened && state.current) openMessage(state.current, true);
    opened = true;
  });
  events.addEventListener('reload', () => {
    if (state.current) openMessage(state.current, true);
    loadList();
  });
}

document.addEventListener('DOMContentLoaded', () => {
  applyScheme();
  matchMedia('(prefers-color-scheme: dark)').addEventListener('change', applyScheme);
  $('scheme').addEventListener('change', () => {
    localStorage.setItem('qy-scheme', $('scheme').value);
    applyScheme();
    if (state.shown) showFrame(frameUrl(state.shown.frame));
  });
  $('refresh').addEventListener('click', loadList);
  $('banner-action').addEventListener('click', bannerClicked);
  $('banner-original').addEventListener('click', toggleOriginal);
  // T shows the message's original and back, wherever the focus is but in a form control.
  document.addEventListener('keydown', (event) => {
    if (event.key !== 't' && event.key !== 'T') return;
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    if (event.target.closest?.('input, select, textarea, [contenteditable]')) return;
    event.preventDefault();
    toggleOriginal();
  });
  $('banner-dismiss').addEventListener('click', () => {
    if (state.shown) state.dismissed.add(state.shown.id);
    $('banner').hidden = true;
  });
  $('panel-close').addEventListener('click', () => closePanel(true));
  $('panel').addEventListener('keydown', (event) => {
    if (event.key !== 'Escape') return;
    closePanel(true);
    $('banner-action').focus();
  });
  // Up and down (Home, End) go through the list as in a mail client, opening each message.
  $('messages').addEventListener('keydown', (event) => {
    const buttons = [...document.querySelectorAll('#messages button')];
    const at = buttons.indexOf(document.activeElement);
    if (at < 0) return;
    const to = { ArrowDown: at + 1, ArrowUp: at - 1, Home: 0, End: buttons.length - 1 }[event.key];
    if (to === undefined || to < 0 || to >= buttons.length) return;
    event.preventDefault();
    buttons[to].focus();
    openMessage(buttons[to].dataset.id);
  });
  loadList();
  listen();
  // Mail delivered while the page is open shows up without a reload.
  setInterval(loadList, 10000);
});
