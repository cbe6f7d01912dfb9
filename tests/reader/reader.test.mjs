// The web mail reader in a real Chromium, against a real `quillory-ext serve --reader` with a
// Maildir and a translation engine that holds its answers until the test lets them go: the
// list, a message under its banner, a pending translation that turns into a translated message
// by itself, the panel, the translated subject, the original one key away, the opening state,
// the error banner, attachment downloads, messages whose scripts never run and whose remote
// images are never requested, the dark appearance, and requests refused without the secret.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import net from 'node:net';
import { chmodSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, unlinkSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { launch, launchAddress, launchCookie, startServer } from '../browser/chromium.mjs';

const binary = process.env.QY_EXT_BINARY;
const provider = join(process.env.QY_READER_TEST_DIR, 'held_provider.py');
const shots = join(process.env.QY_BUILD_DIR, 'reader-screenshots');
// Only bounds a failure: a loaded machine may need long for a translation to come through.
const kWait = 120_000;

const kPixel = 'iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==';
const kReport = 'The quarterly report shows that sales grew in every region this year.';

let home, mail, gate, trap, trapHits = [], sender, senderConnects = 0, service, readerUrl, origin;

function message({ from, subject, date, type = 'text/html', body, extra = '' }) {
  return `From: ${from}\nTo: you@example.com\nSubject: ${subject}\nDate: ${date}\nMIME-Version: 1.0\n${extra}` +
    (type ? `Content-Type: ${type}; charset=utf-8\n\n` : '\n') + body;
}

before(async () => {
  home = mkdtempSync(join(tmpdir(), 'qy-reader-home-'));
  chmodSync(home, 0o700);
  writeFileSync(join(home, 'config.json'), JSON.stringify({ targetLanguage: 'es', firstPaintSeconds: 0.2 }), { mode: 0o600 });
  writeFileSync(join(home, 'translators.json'), JSON.stringify({
    apertium: false, commands: [{ command: ['/usr/bin/python3', provider], pairs: [['*', 'es']] }],
  }), { mode: 0o600 });
  gate = join(home, 'gate');
  writeFileSync(gate, '');

  // Anything a message manages to load from the network lands here.
  trap = http.createServer((req, res) => { trapHits.push(req.url); res.end(); });
  await new Promise((resolve) => trap.listen(0, '127.0.0.1', resolve));
  const trapUrl = `http://127.0.0.1:${trap.address().port}`;
  // The sender of frames, plugins and refreshes: any connection at all counts, even one the
  // browser would drop before sending a request.
  sender = net.createServer((socket) => { senderConnects++; socket.destroy(); });
  await new Promise((resolve) => sender.listen(0, '127.0.0.1', resolve));
  const senderUrl = `http://127.0.0.1:${sender.address().port}`;

  mail = mkdtempSync(join(tmpdir(), 'qy-reader-mail-'));
  for (const sub of ['new', 'cur', 'tmp']) mkdirSync(join(mail, sub));
  writeFileSync(join(mail, 'new', '3.report'), message({
    from: 'Ana Smith <ana@example.com>', subject: 'Quarterly report', date: 'Thu, 10 Dec 2026 10:00:00 +0000',
    body: `<html><body><p>${kReport}</p><p>Our team will present the detailed numbers at the meeting next Tuesday morning.</p>` +
      `${'<p>Thank you for reading this long letter about our plans for the coming year.</p>'.repeat(30)}</body></html>`,
  }));
  writeFileSync(join(mail, 'cur', '2.hostile:2,S'), message({
    from: 'Mallory <m@example.com>', subject: 'Hostile', date: 'Thu, 10 Dec 2026 09:00:00 +0000',
    type: 'multipart/related; boundary=b', body:
      '--b\nContent-Type: text/html; charset=utf-8\n\n' +
      `<html><body><script>document.documentElement.dataset.ran = 'yes'; fetch('${trapUrl}/script');</script>` +
      `<img id="remote" src="${trapUrl}/remote.gif"><img id="inline" src="cid:pixel@x">` +
      `<img src="x" onerror="document.documentElement.dataset.ran = 'onerror'">` +
      `<div style="background:url(${trapUrl}/css.png)">The weather is nice today and we are going to the park.</div>` +
      `<a id="away" href="${trapUrl}/link" target="_self">more</a>` +
      `<iframe src="${senderUrl}/frame"></iframe><object data="${senderUrl}/object"></object>` +
      `<embed src="${senderUrl}/embed"><svg><foreignObject><iframe src="${senderUrl}/svg"></iframe>` +
      `</foreignObject></svg><meta http-equiv="&#114;efresh" content="0;url=${senderUrl}/refresh">` +
      '</body></html>\n' +
      `--b\nContent-Type: image/png\nContent-ID: <pixel@x>\nContent-Transfer-Encoding: base64\n\n${kPixel}\n--b--\n`,
  }));
  writeFileSync(join(mail, 'cur', '1.plain:2,S'), message({
    from: '=?utf-8?B?5byg5LiJ?= <zs@example.cn>', subject: '=?utf-8?B?5Lya6K6u57qq6KaB?=',
    date: 'Wed, 09 Dec 2026 08:00:00 +0000', type: 'multipart/mixed; boundary=m', body:
      '--m\nContent-Type: text/plain; charset=utf-8\n\n会议定在下周二上午十点。\n' +
      '--m\nContent-Type: application/pdf\nContent-Disposition: attachment; filename="agenda.pdf"\n' +
      'Content-Transfer-Encoding: base64\n\nJVBERi0xLjQK\n--m--\n',
  }));

  service = await startServer(binary, ['serve', '--reader', mail, '--no-browser'], {
    env: { QY_HOME: home, QY_TEST_GATE: gate },
  });
  readerUrl = service.url;
  origin = new URL(readerUrl).origin;
  mkdirSync(shots, { recursive: true });
});

after(async () => {
  if (existsSync(gate)) unlinkSync(gate);
  if (service) assert.equal(await service.stop(), 0);
  trap?.close();
  sender?.close();
  rmSync(home, { recursive: true, force: true });
  rmSync(mail, { recursive: true, force: true });
});

function get(path, headers = {}) {
  return new Promise((resolve, reject) => {
    http.get(origin + path, { headers }, (res) => {
      let body = '';
      res.on('data', (c) => { body += c; });
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body }));
    }).on('error', reject);
  });
}

async function openReader(options = {}) {
  const context = await launch(options);
  const page = context.pages()[0] ?? await context.newPage();
  // Requests that went out (a load the page's or the frame's policy blocks never leaves Chromium
  // and ends as a failed request of its own kind).
  const requests = [];
  page.on('requestfinished', (r) => requests.push(r.url()));
  page.on('requestfailed', (r) => {
    if (r.failure()?.errorText !== 'csp') requests.push(r.url());
  });
  await page.goto(launchAddress(home, 'reader', origin + '/'));
  await page.waitForSelector('#messages button');
  await page.waitForFunction(() => document.body.dataset.events === 'open');
  return { context, page, requests };
}

async function openMessage(page, subject) {
  const before = Number(await page.evaluate(() => document.body.dataset.shown || 0));
  await page.click(`#messages button:has-text("${subject}")`);
  await page.waitForFunction((n) => Number(document.body.dataset.shown || 0) > n, before);
  return messageFrame(page);
}

// The message frame once it shows the document the page last sent it to.
async function messageFrame(page) {
  const handle = await page.waitForSelector('#body');
  await page.waitForFunction(() => (document.getElementById('body').dataset.url || '').includes('/frame/'));
  const frame = await handle.contentFrame();
  await frame.waitForURL(await handle.evaluate((e) => e.dataset.url));
  return frame;
}

// Runs `body` with a fresh browser on the reader, closing the browser whatever happens.
async function withReader(options, body) {
  const reader = await openReader(options);
  try {
    await body(reader);
  } finally {
    await reader.context.close();
  }
}

// Whether a CSS colour is light (text meant for a dark canvas).
function isLight(color) {
  const [r, g, b] = color.match(/\d+/g).map(Number);
  return 0.2126 * r + 0.7152 * g + 0.0722 * b > 160;
}

test('requests without the secret or from elsewhere are refused', async () => {
  assert.equal((await get('/')).status, 403);
  assert.equal((await get('/api/messages')).status, 403);
  const url = new URL(readerUrl);
  const cookie = await launchCookie(launchAddress(home, 'reader', origin + '/'));
  assert.equal((await get('/api/messages', { Cookie: cookie })).status, 200);
  assert.equal((await get('/api/messages', { Cookie: cookie, Host: `evil.example:${url.port}` })).status, 403);
  assert.equal((await get('/api/messages', { Cookie: cookie, Origin: 'http://evil.example' })).status, 403);
  // A page on another port of 127.0.0.1 is the same site to the browser: refused too.
  assert.equal((await get('/api/messages', { Cookie: cookie, 'Sec-Fetch-Site': 'same-site' })).status, 403);
  const ok = await get('/api/messages', { Cookie: cookie });
  assert.equal(ok.headers['access-control-allow-origin'], undefined);

  const context = await launch();
  try {
    const page = context.pages()[0] ?? await context.newPage();
    const response = await page.goto(origin + '/');
    assert.equal(response.status(), 403);
    assert.match(await page.textContent('body'), /无法打开读信器/);
  } finally {
    await context.close();
  }
});

test('a pending message becomes translated by itself, and the panel changes how it shows', () => withReader({}, async ({ page, requests }) => {
  const subjects = await page.$$eval('#messages .subject', (e) => e.map((x) => x.textContent));
  assert.deepEqual(subjects, ['Quarterly report', 'Hostile', '会议纪要']);
  assert.equal(await page.textContent('#messages li.unread .subject'), 'Quarterly report');
  // Before a message is chosen only the hint shows, not an empty message pane.
  assert.ok(await page.isHidden('#reader'));
  assert.ok(await page.isVisible('#empty-reader'));

  let frame = await openMessage(page, 'Quarterly report');
  assert.equal(await page.$$eval('#messages li.unread', (e) => e.length), 0);
  // The list drawn anew (it looks for new mail every few seconds) keeps the message read.
  await page.evaluate(() => {
    for (const b of document.querySelectorAll('#messages button')) b.qyOld = true;
    document.getElementById('refresh').click();
  });
  await page.waitForFunction(() => !document.querySelector('#messages button').qyOld);
  assert.equal(await page.$$eval('#messages li.unread', (e) => e.length), 0);
  assert.match(await page.textContent('#banner-title'), /^正在翻译为西班牙语…/);
  assert.equal(await page.textContent('#banner-action'), '设置');
  assert.match(await frame.textContent('body'), new RegExp(kReport));
  assert.doesNotMatch(await frame.textContent('body'), /es:/);
  assert.ok(await page.isHidden('#attachments'));
  assert.equal(await page.textContent('#headers'), '发件人Ana Smith <ana@example.com>收件人you@example.com' +
    '日期Thu, 10 Dec 2026 10:00:00 +0000主题Quarterly report');

  // The reader scrolls down the message.
  const frameBox = await page.locator('#body').boundingBox();
  await page.mouse.move(frameBox.x + frameBox.width / 2, frameBox.y + Math.min(frameBox.height / 2, 200));
  await page.mouse.wheel(0, 600);
  // The first paragraph still in view: the place in the message, whatever was added above it.
  const place = () => [...document.querySelectorAll('p')].findIndex((p) => p.getBoundingClientRect().bottom > 0);
  await frame.waitForFunction(`(${place})() > 0`);
  const reading = await frame.evaluate(place);
  const entries = await page.evaluate(() => history.length);

  // The engine answers; the extension asks for a reload; the page shows the message again
  // without being reloaded itself (the marker below would be gone), where the reader was in it.
  await page.evaluate(() => { window.qyMarker = 1; });
  unlinkSync(gate);
  await page.waitForFunction(() => document.getElementById('banner-title').textContent.startsWith('已翻译为西班牙语'),
    null, { timeout: kWait });
  assert.equal(await page.evaluate(() => window.qyMarker), 1);
  frame = await messageFrame(page);
  await frame.waitForFunction(() => document.body.textContent.includes('es:'), null, { timeout: kWait });
  await frame.waitForFunction(`(${place})() === ${reading}`, null, { timeout: kWait });
  // At most the one step the frame took to come back, however often it is shown again.
  assert.ok(await page.evaluate(() => history.length) <= entries + 1);
  assert.match(await frame.textContent('body'), new RegExp(`es:${kReport}`));
  assert.match(await frame.textContent('body'), new RegExp(kReport.replace('.', '\\.') + '.*es:'));
  await page.screenshot({ path: join(shots, 'reader-light.png') });

  // The banner's button opens the panel, drawn from the extension's panel model.
  await page.click('#banner-action');
  await page.waitForSelector('#panel:not([hidden])');
  const box = await page.locator('#panel').boundingBox();
  assert.deepEqual([box.width, box.height], [330, 216]);
  assert.deepEqual(await page.$$eval('#panel legend', (e) => e.map((x) => x.textContent)), ['显示', '样式', '深色']);
  assert.deepEqual(await page.$$eval('#panel-buttons button', (e) => e.map((x) => x.textContent)),
    ['重新翻译这封邮件', '更多设置…']);
  assert.equal(await page.textContent('#panel-note'), '关闭后，到“Quillory”App 里可以重新打开。');
  assert.ok(await page.isChecked('#panel label:has-text("双语对照") input'));
  await page.screenshot({ path: join(shots, 'reader-panel.png') });

  // "仅译文": saved, and the message shown again with the translation in place of the source.
  const shown = Number(await page.evaluate(() => document.body.dataset.shown));
  await page.click('#panel label:has-text("仅译文")');
  await page.waitForFunction((n) => Number(document.body.dataset.shown) > n, shown, { timeout: kWait });
  assert.ok(await page.isChecked('#panel label:has-text("仅译文") input'));
  assert.equal(JSON.parse(readFileSync(join(home, 'config.json'), 'utf8')).mode, 'replace');
  frame = await messageFrame(page);
  await frame.waitForFunction((source) => !document.body.textContent.replace(/es:[^]*?\./g, '').includes(source),
    kReport, { timeout: kWait });

  // Back to bilingual for the other tests; dismissing the banner hides it.
  await page.click('#panel label:has-text("双语对照")');
  await page.waitForFunction(() => JSON.stringify(document.querySelector('#panel label input:checked')?.value) === '"0"');
  await page.click('#panel-close');
  await page.click('#banner-dismiss');
  assert.ok(await page.isHidden('#banner'));

  for (const url of requests) assert.ok(url.startsWith(origin) || url.startsWith('data:'), url);
}));

test('a message runs no script and loads nothing remote; inline images and attachments show', () => withReader({}, async ({ context, page, requests }) => {
  const frame = await openMessage(page, 'Hostile');
  assert.equal(await page.getAttribute('#body', 'sandbox'), '');
  assert.equal(await frame.evaluate(() => document.documentElement.dataset.ran), undefined);
  assert.equal(await frame.evaluate(() => document.getElementById('inline').naturalWidth), 1);
  assert.equal(await frame.evaluate(() => document.getElementById('remote').naturalWidth), 0);
  assert.match(await page.textContent('#remote-note'), /^已阻止远程图片（2 张）/);
  // A link aims at a new window, which the sandbox does not open: it cannot take the frame to
  // the network either.
  assert.equal(await frame.evaluate(() => document.getElementById('away').target), '');
  assert.equal(await frame.evaluate(() => document.querySelector('base').target), '_blank');
  await frame.click('#away');

  await openMessage(page, '会议纪要');
  assert.equal(await page.textContent('#attachments'), 'agenda.pdf（9 字节）');
  assert.match(await page.textContent('#headers'), /发件人张三 <zs@example.cn>/);
  assert.equal(context.pages().length, 1);
  assert.deepEqual(trapHits, []);
  assert.equal(senderConnects, 0, 'frames, plugins and refreshes never reach the sender');
  for (const url of requests) assert.ok(url.startsWith(origin) || url.startsWith('data:'), url);
}));

test('the reader and the message follow a dark appearance, and the switch overrides it', async () => {
  await withReader({ colorScheme: 'dark' }, async ({ page }) => {
    const frame = await openMessage(page, 'Quarterly report');
    assert.equal(await page.evaluate(() => getComputedStyle(document.body).backgroundColor), 'rgb(28, 28, 30)');
    assert.ok(await frame.evaluate(() => matchMedia('(prefers-color-scheme: dark)').matches));
    // The recoloured mail: light text on a dark canvas.
    assert.ok(isLight(await frame.evaluate(() => getComputedStyle(document.body).color)));
    await page.screenshot({ path: join(shots, 'reader-dark.png') });
  });

  await withReader({ colorScheme: 'light' }, async ({ page }) => {
    let frame = await openMessage(page, 'Quarterly report');
    assert.ok(!isLight(await frame.evaluate(() => getComputedStyle(document.body).color)));
    await page.selectOption('#scheme', 'dark');
    await page.waitForFunction(() => (document.getElementById('body').dataset.url || '').includes('scheme=dark'));
    frame = await messageFrame(page);
    assert.ok(isLight(await frame.evaluate(() => getComputedStyle(document.body).color)));
    assert.equal(await page.evaluate(() => getComputedStyle(document.body).backgroundColor), 'rgb(28, 28, 30)');
  });
});

test('in a narrow window the list sits above the message, which keeps the whole width', () => withReader({ viewport: { width: 480, height: 900 } }, async ({ page }) => {
  await openMessage(page, '会议纪要');
  const list = await page.locator('nav.list').boundingBox();
  const body = await page.locator('#body').boundingBox();
  assert.ok(body.width >= 440, `frame ${body.width} px wide`);
  assert.ok(list.y + list.height <= body.y, 'list above the message');
  // The attachment row is labelled in words: no pictograph that the fonts may not have.
  assert.equal(await page.evaluate(() => getComputedStyle(document.getElementById('attachments'), '::before').content), '"附件"');
  await page.screenshot({ path: join(shots, 'reader-narrow.png') });
}));

test('a message whose file vanished, or a reader that cannot be reached, is told in words', () => withReader({}, async ({ page }) => {
  const file = join(mail, 'new', '9.gone');
  writeFileSync(file, message({ from: 'Gone <g@example.com>', subject: 'Soon gone', date: 'Tue, 01 Dec 2026 08:00:00 +0000',
    type: 'text/plain', body: 'This message will be deleted.' }));
  await page.click('#refresh');
  await page.waitForSelector('#messages button:has-text("Soon gone")');
  await openMessage(page, 'Hostile');
  unlinkSync(file);
  await page.click('#messages button:has-text("Soon gone")');
  await page.waitForFunction(() => document.getElementById('notice').textContent === '无法读取这封邮件');
  // Nothing of the message shown before stays under the error.
  assert.equal(await page.textContent('#headers'), '');
  assert.ok(await page.isHidden('#body'));
  assert.ok(await page.isHidden('#remote-note'));
  assert.ok(await page.isHidden('#banner'));
  await page.waitForFunction(() => ![...document.querySelectorAll('#messages .subject')].some((e) => e.textContent === 'Soon gone'));

  // The next message shows as usual; one whose request never arrives is explained.
  await openMessage(page, '会议纪要');
  assert.ok(await page.isVisible('#body'));
  assert.ok(await page.isHidden('#notice'));
  await page.route('**/api/message?*', (route) => route.abort());
  await page.click('#messages button:has-text("Hostile")');
  await page.waitForFunction(() => document.getElementById('notice').textContent.startsWith('无法连接到读信器'));
}));

test('the list and the banner work from the keyboard', () => withReader({}, async ({ page }) => {
  const shownCount = () => page.evaluate(() => Number(document.body.dataset.shown || 0));
  const current = () => page.textContent('#messages button[aria-current="true"] .subject');
  await page.focus('#messages button');
  let before = await shownCount();
  await page.keyboard.press('ArrowDown');
  await page.waitForFunction((n) => Number(document.body.dataset.shown || 0) > n, before);
  assert.equal(await current(), 'Hostile');

  // The list drawn anew (new mail is looked for every few seconds) keeps the keyboard's place.
  await page.evaluate(() => {
    for (const b of document.querySelectorAll('#messages button')) b.qyOld = true;
    document.getElementById('refresh').click();
  });
  await page.waitForFunction(() => !document.querySelector('#messages button').qyOld);
  assert.equal(await page.evaluate(() => document.activeElement.textContent), await page.textContent('#messages button[aria-current="true"]'));

  before = await shownCount();
  await page.keyboard.press('ArrowUp');
  await page.waitForFunction((n) => Number(document.body.dataset.shown || 0) > n, before);
  assert.equal(await current(), 'Quarterly report');

  // The banner's button opens the panel, which takes the focus; Escape closes it again.
  await page.focus('#banner-action');
  await page.keyboard.press('Enter');
  await page.waitForSelector('#panel:not([hidden])');
  assert.equal(await page.evaluate(() => document.activeElement.name), 'panel-mode');
  await page.keyboard.press('Escape');
  assert.ok(await page.isHidden('#panel'));
  assert.equal(await page.evaluate(() => document.activeElement.id), 'banner-action');
}));

test('the subject is translated, and T shows the original and back', () => withReader({}, async ({ page }) => {
  let frame = await openMessage(page, 'Quarterly report');
  // Translated (by the first test, or now): under the original subject, in the header and the list.
  await page.waitForFunction(() => document.querySelector('#headers .translated-subject')?.textContent === 'es:Quarterly report',
    null, { timeout: kWait });
  assert.equal(await page.textContent('#headers .original-subject'), 'Quarterly report');
  assert.equal(await page.textContent('#messages button[aria-current="true"] .translated-subject'), 'es:Quarterly report');
  await frame.waitForFunction(() => document.body.textContent.includes('es:'), null, { timeout: kWait });
  assert.equal(await page.textContent('#banner-original'), '显示原文');

  const toggled = async (press) => {
    const before = Number(await page.evaluate(() => document.body.dataset.shown));
    await press();
    await page.waitForFunction((n) => Number(document.body.dataset.shown) > n, before);
    return messageFrame(page);
  };
  await page.focus('#messages button[aria-current="true"]');
  frame = await toggled(() => page.keyboard.press('t'));
  await frame.waitForFunction(() => !document.body.textContent.includes('es:'));
  assert.equal(await page.textContent('#banner-original'), '显示译文');
  assert.match(await page.textContent('#banner-title'), /^已翻译为西班牙语/);
  assert.equal(await page.$('#headers .translated-subject'), null);
  // The setting did not change: the original is this message's only.
  assert.equal(JSON.parse(readFileSync(join(home, 'config.json'), 'utf8')).mode ?? 'bilingual', 'bilingual');

  frame = await toggled(() => page.click('#banner-original'));
  await frame.waitForFunction(() => document.body.textContent.includes('es:'));
  assert.equal(await page.textContent('#banner-original'), '显示原文');
  // A key typed into a control is the control's.
  await page.focus('#scheme');
  await page.keyboard.press('t');
  assert.equal(await page.textContent('#banner-original'), '显示原文');
}));

test('a click marks the message and says it is opening before the answer comes', () => withReader({}, async ({ page }) => {
  await openMessage(page, 'Hostile');
  let release;
  const held = new Promise((resolve) => { release = resolve; });
  await page.route('**/api/message?*', async (route) => { await held; await route.continue(); });
  await page.click('#messages button:has-text("会议纪要")');
  await page.waitForSelector('#opening:not([hidden])');
  assert.equal(await page.textContent('#opening'), '正在打开…');
  assert.equal(await page.textContent('#messages button[aria-current="true"] .subject'), '会议纪要');
  assert.ok(await page.isHidden('#body'), 'nothing of the message before stays');
  release();
  await page.waitForSelector('#opening', { state: 'hidden' });
  assert.match(await page.textContent('#headers'), /张三/);
}));

test('an error banner looks like a warning, in light and in dark', () => withReader({}, async ({ page }) => {
  writeFileSync(join(mail, 'cur', '0.broken:2,S'), message({
    from: 'Bea <b@example.com>', subject: 'Broken', date: 'Sun, 01 Nov 2026 08:00:00 +0000', type: 'text/plain',
    body: 'This paragraph qy-fail makes the test engine refuse to translate it.\n',
  }));
  await page.click('#refresh');
  await page.waitForSelector('#messages button:has-text("Broken")');
  const look = () => page.evaluate(() => {
    const banner = document.getElementById('banner');
    return { state: banner.dataset.state, background: getComputedStyle(banner).backgroundColor,
             icon: document.getElementById('banner-icon').textContent };
  });
  await openMessage(page, 'Quarterly report');
  await page.waitForFunction(() => document.getElementById('banner').dataset.state === 'done', null, { timeout: kWait });
  const done = await look();
  await openMessage(page, 'Broken');
  await page.waitForFunction(() => document.getElementById('banner').dataset.state === 'error', null, { timeout: kWait });
  const error = await look();
  assert.match(await page.textContent('#banner-title'), /^翻译未完成（0\/1）：/);
  assert.equal(await page.textContent('#banner-action'), '重试');
  assert.equal(error.icon, '⚠');
  // Nothing was translated: there is no original to step back to.
  assert.ok(await page.isHidden('#banner-original'));
  assert.equal(done.icon, '');
  assert.notEqual(error.background, done.background);
  assert.ok(!isLight(await page.evaluate(() => getComputedStyle(document.getElementById('banner')).color)));
  await page.screenshot({ path: join(shots, 'reader-error-light.png') });

  await page.selectOption('#scheme', 'dark');
  const dark = await look();
  assert.notEqual(dark.background, error.background);
  assert.ok(!isLight(dark.background), 'a dark warning');
  assert.ok(isLight(await page.evaluate(() => getComputedStyle(document.getElementById('banner')).color)));
  await page.screenshot({ path: join(shots, 'reader-error-dark.png') });
  await page.selectOption('#scheme', 'auto');
  unlinkSync(join(mail, 'cur', '0.broken:2,S'));
}));

test('an attachment is saved as a file under its name, never shown', () => withReader({}, async ({ page }) => {
  await openMessage(page, '会议纪要');
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#attachments a')]);
  assert.equal(download.suggestedFilename(), 'agenda.pdf');
  assert.equal(readFileSync(await download.path(), 'latin1'), '%PDF-1.4\n');
  assert.equal(page.context().pages().length, 1);

  // The launch token opens the page once; later requests carry the page's cookie.
  const href = await page.getAttribute('#attachments a', 'href');
  const cookie = (await page.context().cookies()).map((c) => `${c.name}=${c.value}`).join('; ');
  const answer = await get(href, { Cookie: cookie });
  assert.equal(answer.status, 200);
  assert.equal(answer.headers['content-type'], 'application/octet-stream');
  assert.equal(answer.headers['content-disposition'], 'attachment; filename="agenda.pdf"; filename*=UTF-8\'\'agenda.pdf');
  assert.equal(answer.headers['x-content-type-options'], 'nosniff');
  assert.equal((await get(href.replace(/n=\d+/, 'n=5'), { Cookie: cookie })).status, 404);
}));
