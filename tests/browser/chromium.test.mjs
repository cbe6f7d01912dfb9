// The browser-test setup itself: Chromium starts headless with a fresh profile that is removed
// on closing, and Chinese text is drawn with a CJK font (two ideographs about two em wide).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { launch } from './chromium.mjs';

test('Chromium draws Chinese text and leaves no profile behind', async () => {
  const context = await launch();
  assert.ok(existsSync(context.profileDir));
  const page = context.pages()[0] ?? await context.newPage();
  await page.setContent('<span id="t" style="font: 40px sans-serif">设置</span>');
  const fonts = await page.evaluate(async () => {
    await document.fonts.ready;
    return document.fonts.check('40px "WenQuanYi Micro Hei"');
  });
  assert.ok(fonts);
  const width = await page.locator('#t').evaluate((e) => e.getBoundingClientRect().width);
  assert.ok(width > 70 && width < 90, `two ideographs are ${width}px wide`);
  await context.close();
  assert.equal(existsSync(context.profileDir), false);
});
