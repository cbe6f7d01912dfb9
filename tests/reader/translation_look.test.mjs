// How a translation looks next to its source in the web mail reader, in a real Chromium against
// a real `quillory-ext serve --reader`: it takes on the colour, size, face and weight of the text
// it translates (a white headline on a dark cell stays readable, fine print stays fine), it is as
// hidden as its source (a preheader hidden by the mail's own style sheet), and text the sender
// marked as not to be translated gets no translation.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { chmodSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { launch, startServer } from '../browser/chromium.mjs';

const binary = process.env.QY_EXT_BINARY;
const provider = join(process.env.QY_READER_TEST_DIR, 'held_provider.py');
// Only bounds a failure: a loaded machine may need long for a translation to come through.
const kWait = 120_000;

const kHeadline = 'Holiday Gift Ideas for the whole family';
const kFinePrint = 'Terms and conditions apply to every offer in this letter.';
const kPreheader = 'Your weekly gift guide is here with many fresh ideas';
const kName = 'Preslynn Marsh';

let home, mail, service;

before(async () => {
  home = mkdtempSync(join(tmpdir(), 'qy-look-home-'));
  chmodSync(home, 0o700);
  // The first display waits for the translation; dark recolouring stays out of the comparison.
  writeFileSync(join(home, 'config.json'),
    JSON.stringify({ targetLanguage: 'es', firstPaintSeconds: 60, darkMode: 'off' }), { mode: 0o600 });
  writeFileSync(join(home, 'translators.json'), JSON.stringify({
    apertium: false, commands: [{ command: ['/usr/bin/python3', provider], pairs: [['*', 'es']] }],
  }), { mode: 0o600 });
  mail = mkdtempSync(join(tmpdir(), 'qy-look-mail-'));
  for (const sub of ['new', 'cur', 'tmp']) mkdirSync(join(mail, sub));
  writeFileSync(join(mail, 'cur', '1.gifts:2,S'),
    'From: Shop <news@shop.example>\nTo: you@example.com\nSubject: Gift ideas\n' +
    'Date: Thu, 10 Dec 2026 10:00:00 +0000\nMIME-Version: 1.0\nContent-Type: text/html; charset=utf-8\n\n' +
    '<html><head><style>.preheader{display:none !important}</style></head><body>' +
    `<span class="preheader">${kPreheader}</span>` +
    '<table><tr><td bgcolor="#0B4D2C" style="padding:12px">' +
    `<b><font color="#FFFFFF" size="4" face="Georgia, serif">${kHeadline}</font></b></td></tr>` +
    `<tr><td><font size="1">${kFinePrint}</font></td></tr>` +
    `<tr><td id="call">Please call <span translate="no">${kName}</span> about your order today.</td></tr>` +
    `<tr><td id="address"><span class="notranslate">${kName}, 12 Preslynn Drive</span></td></tr>` +
    '</table></body></html>\n');
  service = await startServer(binary, ['serve', '--reader', mail, '--no-browser'], { env: { QY_HOME: home } });
});

after(async () => {
  if (service) assert.equal(await service.stop(), 0);
  rmSync(home, { recursive: true, force: true });
  rmSync(mail, { recursive: true, force: true });
});

// The frame (the page itself or one of its frames) that shows the translated message.
async function translatedMessage(page) {
  const deadline = Date.now() + kWait;
  while (Date.now() < deadline) {
    for (const frame of page.frames()) {
      if (await frame.locator('.qy-tr').count().catch(() => 0) > 0) return frame;
    }
    await page.waitForTimeout(50);
  }
  throw new Error('no translation shown');
}

// The computed look of the element (and whether it is rendered visibly) whose own text starts
// with `text`: the translation block, or the innermost element holding the source.
function look(frame, selector, text) {
  return frame.locator(selector).filter({ hasText: text }).last().evaluate((e) => {
    const s = getComputedStyle(e);
    return {
      color: s.color, fontSize: s.fontSize, fontFamily: s.fontFamily, fontWeight: s.fontWeight,
      visible: e.checkVisibility({ checkOpacity: true, checkVisibilityCSS: true }),
    };
  });
}

test('translations look like their source, hide with it, and skip text marked not to translate', async () => {
  const context = await launch();
  try {
    const page = context.pages()[0] ?? await context.newPage();
    await page.goto(service.url);
    await page.click('#messages button:has-text("Gift ideas")');
    const frame = await translatedMessage(page);
    await frame.locator('.qy-tr', { hasText: `es:${kHeadline}` }).waitFor({ state: 'attached', timeout: kWait });

    // The white headline's translation is white, in the headline's size, face and weight.
    const headline = await look(frame, 'font', kHeadline);
    const headlineTr = await look(frame, '.qy-tr', `es:${kHeadline}`);
    assert.equal(headline.color, 'rgb(255, 255, 255)');
    assert.deepEqual(headlineTr, headline);

    // Fine print stays fine print.
    const fine = await look(frame, 'font', kFinePrint);
    const fineTr = await look(frame, '.qy-tr', `es:${kFinePrint}`);
    assert.equal(fineTr.fontSize, fine.fontSize);
    assert.notEqual(fineTr.fontSize, '16px');

    // The hidden preheader's translation is hidden too.
    assert.equal((await look(frame, '.qy-tr', `es:${kPreheader}`)).visible, false);
    assert.equal((await look(frame, 'span', kPreheader)).visible, false);

    // The name marked translate="no" and the address marked notranslate are never sent.
    const translations = await frame.locator('.qy-tr').allTextContents();
    assert.ok(translations.some((t) => t.startsWith('es:Please call')), translations.join(' | '));
    assert.ok(!translations.some((t) => t.includes('Preslynn')), translations.join(' | '));
    assert.equal(await frame.locator('#address .qy-tr').count(), 0);
  } finally {
    await context.close();
  }
});
