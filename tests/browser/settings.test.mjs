// The settings application in a real Chromium: the page served by `quillory` over a storage
// root of its own, a scripted systemctl, an opener that records what it was asked to open, and
// real Apertium for the test translation. Screenshots of the page in light and dark go to the
// build folder.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { chmodSync, existsSync, mkdirSync, mkdtempSync, readdirSync, readFileSync, rmSync, statSync, symlinkSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { launch, launchAddress, launchCookie, startServer } from './chromium.mjs';

const build = process.env.QY_BUILD_DIR;
const quillory = join(build, 'app', 'quillory');
const sample = 'Hello! Your order has shipped and should arrive within three days.';

// How long a condition may take to come true. Generous, for a loaded 2-core machine; it only
// bounds a failure, which then names what never happened instead of hanging the whole file.
const kWaitLimitMs = 60_000;

// Waits until `check()` gives something truthy and returns it.
async function until(check, what = check.toString()) {
  const end = Date.now() + kWaitLimitMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`waited ${kWaitLimitMs} ms in vain for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

// `promise`, or an error naming `what` once it has not settled within the wait limit.
async function within(promise, what) {
  let timer;
  const late = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`waited ${kWaitLimitMs} ms in vain for ${what}`)),
                       kWaitLimitMs);
  });
  try {
    return await Promise.race([promise, late]);
  } finally {
    clearTimeout(timer);
  }
}

// A cache file's name: the message key (24 + 10 hexadecimal digits) and ".json".
const cacheName = (i) => `${'a'.repeat(24)}-${String(i).padStart(10, '0')}.json`;

function script(path, body) {
  writeFileSync(path, `#!/bin/sh\n${body}\n`);
  chmodSync(path, 0o700);
  return path;
}

// A storage root with stand-ins, and `quillory --no-browser` serving it. `registration` is what
// the scripted systemctl answers from the start (the program asks it as it starts, so a later
// answer would race that first question).
async function startApp({ cacheFiles = 0, idleSeconds, registration = 'disabled', extraEnv = {} } = {}) {
  const dir = mkdtempSync(join(tmpdir(), 'qy-settings-'));
  const home = join(dir, 'home');
  mkdirSync(join(home, 'cache'), { recursive: true, mode: 0o700 });
  for (let i = 0; i < cacheFiles; i++) writeFileSync(join(home, 'cache', cacheName(i)), 'x'.repeat(1500));
  const answer = join(dir, 'systemctl-answer');
  writeFileSync(answer, `${registration}\n`);
  const env = {
    QY_HOME: home,
    QY_SYSTEMCTL: script(join(dir, 'systemctl'), `cat '${answer}'`),
    QY_OPENER: script(join(dir, 'opener'), `printf '%s\\n' "$1" >> '${join(dir, 'opened')}'`),
    QY_PACK_INSTALL: script(join(dir, 'install'),
      `echo "$@" > '${join(dir, 'install-args')}'; while [ ! -e '${join(dir, 'release')}' ]; do sleep 0.05; done
echo 'E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (apt)' >&2; exit 100`),
  };
  if (idleSeconds) env.QY_SETTINGS_IDLE_SECONDS = String(idleSeconds);
  Object.assign(env, extraEnv);
  const server = await startServer(quillory, ['--no-browser'], { env });
  return {
    ...server, dir, home, env,
    config: () => JSON.parse(readFileSync(join(home, 'config.json'), 'utf8')),
    answer: (text) => writeFileSync(answer, text),
    async close() {
      await server.stop();
      rmSync(dir, { recursive: true, force: true });
    },
  };
}

let context;
before(async () => { context = await launch(); });
after(async () => { await context?.close(); });

async function openPage(app) {
  const page = await context.newPage();
  await page.goto(launchAddress(app.home, 'settings', new URL(app.url).origin + '/'));
  await page.locator('main[aria-busy="false"]').waitFor();
  return page;
}

describe('settings page', () => {
  let app, page;
  before(async () => { app = await startApp({ cacheFiles: 2 }); page = await openPage(app); });
  after(async () => { await page?.close(); await app?.close(); });

  test('shows the six sections in order with every control by its name', async () => {
    assert.deepEqual(await page.getByRole('heading').allTextContents(),
      ['Mail 扩展', '翻译', '语言包', '翻译引擎', '深色模式', '译文外观', '其他']);
    for (const name of ['显示方式', '什么时候翻译', '翻译成', '来信语言', '邮件正文', '样式']) {
      assert.equal(await page.getByRole('combobox', { name, exact: true }).count(), 1, name);
    }
    assert.equal(await page.getByRole('checkbox', { name: '翻译完成后自动刷新 Mail' }).isChecked(), true);
    assert.equal(await page.getByRole('slider', { name: '最多等' }).inputValue(), '2.5');
    assert.equal(await page.getByRole('spinbutton', { name: '字号 100%' }).inputValue(), '100');
    assert.equal(await page.getByRole('spinbutton', { name: '不透明度 100%' }).inputValue(), '100');
    assert.equal(await page.getByLabel('颜色', { exact: true }).inputValue(), '#34a77a');
    assert.equal(await page.getByLabel('底色').inputValue(), '#1e1e1e');
    for (const name of ['重新检查', '打开 Mail', '测试翻译', '清空缓存', '查看日志']) {
      assert.equal(await page.getByRole('button', { name, exact: true }).count(), 1, name);
    }
    assert.equal(await page.getByRole('combobox', { name: '翻译成' }).locator('option').count(), 12);
    // The source picker never offers the target.
    const sources = await page.getByRole('combobox', { name: '来信语言' }).locator('option').evaluateAll(
      (options) => options.map((o) => o.value));
    assert.equal(sources.length, 11);
    assert.ok(!sources.includes('zh-Hans'));
    await until(() => page.getByText('还没启用：运行“systemctl --user enable --now quillory-ext.service”').isVisible());
    await until(async () => (await page.locator('#cacheInfo').textContent()) === '2 封邮件，3 KB');
  });

  test('saves a change after the delay', async () => {
    await page.getByRole('combobox', { name: '显示方式' }).selectOption({ label: '仅译文' });
    await until(() => app.config().mode === 'replace');
    await page.getByLabel('颜色', { exact: true }).fill('#ffffff');
    await until(() => app.config().accentColor === '#FFFFFF');
    await page.getByRole('checkbox', { name: '翻译完成后自动刷新 Mail' }).uncheck();
    await until(() => app.config().autoReload === false);
  });

  test('dark mode off hides the background colour and its explanation', async () => {
    const darkMode = page.getByRole('combobox', { name: '邮件正文' });
    const caption = page.getByText('把邮件里写死的白底黑字换成深色配色');
    await darkMode.selectOption({ label: '关闭' });
    await until(async () => !(await page.getByLabel('底色').isVisible()));
    assert.equal(await caption.isVisible(), false);
    await darkMode.selectOption({ label: '始终深色' });
    await until(() => page.getByLabel('底色').isVisible());
    assert.equal(await caption.isVisible(), true);
    await darkMode.selectOption({ label: '跟随系统外观' });
    await until(() => app.config().darkMode === 'auto');
  });

  test('steppers keep to their ranges and steps', async () => {
    const fontScale = page.locator('#fontScale');
    assert.deepEqual(await fontScale.evaluate((e) => [e.min, e.max, e.step]), ['70', '150', '5']);
    assert.deepEqual(await page.locator('#opacity').evaluate((e) => [e.min, e.max, e.step]), ['40', '100', '10']);
    await fontScale.focus();
    await fontScale.press('ArrowUp');
    await until(() => page.getByText('字号 105%').isVisible());
    await until(() => app.config().fontScale === 105);
    // Typed past the end, the value is held at the end.
    await fontScale.fill('200');
    await fontScale.press('Tab');
    await until(() => page.getByText('字号 150%').isVisible());
    assert.equal(await fontScale.inputValue(), '150');
    await fontScale.focus();
    await fontScale.press('ArrowUp');
    await fontScale.press('Tab');
    assert.equal(await fontScale.inputValue(), '150');
    await fontScale.fill('10');
    await fontScale.press('Tab');
    await until(() => page.getByText('字号 70%').isVisible());
  });

  test('the slider reads out its value with one decimal', async () => {
    const slider = page.getByRole('slider', { name: '最多等' });
    await slider.fill('0');
    await until(async () => (await page.locator('#firstPaintText').textContent()) === '0.0 秒就先显示');
    await slider.fill('8');
    await until(async () => (await page.locator('#firstPaintText').textContent()) === '8.0 秒就先显示');
    await until(() => app.config().firstPaintSeconds === 8);
  });

  test('clearing the cache empties it and raises the epoch once', async () => {
    await page.getByRole('button', { name: '清空缓存' }).click();
    await until(async () => (await page.locator('#cacheInfo').textContent()) === '没有缓存');
    await until(() => app.config().cacheEpoch === 1);
  });

  test('coming back to the page shows what changed elsewhere', async () => {
    app.answer('enabled\n');
    // The banner panel saves a setting meanwhile.
    writeFileSync(join(app.home, 'config.json'), JSON.stringify({ ...app.config(), trigger: 'manual' }));
    writeFileSync(join(app.home, 'cache', cacheName(9)), 'x'.repeat(10));
    await page.evaluate(() => window.dispatchEvent(new Event('focus')));
    await until(() => page.getByText('已在 Mail 里启用').isVisible());
    assert.match(await page.locator('#extensionIcon').getAttribute('class'), /ok/);
    const trigger = page.getByRole('combobox', { name: '什么时候翻译' });
    await until(async () => (await trigger.inputValue()) === 'manual');
    await until(async () => (await page.locator('#cacheInfo').textContent()) === '1 封邮件，10 字节');
  });

  test('opening Mail and the log go through the desktop opener', async () => {
    await page.getByRole('button', { name: '打开 Mail' }).click();
    await until(() => existsSync(join(app.dir, 'opened')));
    await until(() => readFileSync(join(app.dir, 'opened'), 'utf8').includes('mailto:'));
    await page.getByRole('button', { name: '查看日志' }).click();
    await until(() => readFileSync(join(app.dir, 'opened'), 'utf8').includes(join(app.home, 'qy.log')));
  });

  test('a change just before SIGTERM is saved', async () => {
    const separate = await startApp();
    const origin = new URL(separate.url).origin;
    const cookie = await launchCookie(separate.url);
    const response = await fetch(origin + '/api/settings', {
      method: 'POST', headers: { Cookie: cookie, 'Content-Type': 'application/json' },
      body: JSON.stringify({ style: 'plain' }) });
    assert.equal(response.status, 200);
    assert.equal(await separate.stop(), 0);
    assert.equal(separate.config().style, 'plain');
    rmSync(separate.dir, { recursive: true, force: true });
  });

  test('a second start opens the running page through a launch file, with no secret on a command line', async () => {
    const second = await startServer(quillory, [], { env: app.env });
    assert.equal(new URL(second.url).origin, new URL(app.url).origin);
    assert.notEqual(second.url, app.url);  // a token of its own
    assert.equal(await second.stop() ?? 0, 0);
    // The opener was given the launch file, 0600 in the storage root; the browser opens it and
    // lands on the page, let in by the token the file forwards to.
    const launchFile = join(app.home, 'open-settings.html');
    await until(() => readFileSync(join(app.dir, 'opened'), 'utf8').includes(launchFile));
    const opened = readFileSync(join(app.dir, 'opened'), 'utf8');
    assert.ok(!opened.includes('k='), opened);
    assert.equal(statSync(launchFile).mode & 0o777, 0o600);
    const fresh = await context.newPage();
    try {
      await fresh.goto('file://' + launchFile);
      await fresh.locator('main[aria-busy="false"]').waitFor();
      assert.equal(new URL(fresh.url()).pathname, '/');
    } finally {
      await fresh.close();
    }
  });
});

describe('language pack and test translation', () => {
  let app, page;
  before(async () => { app = await startApp(); page = await openPage(app); });
  after(async () => { await page?.close(); await app?.close(); });

  test('an installed pack shows the check mark and no download button', async () => {
    await page.getByRole('combobox', { name: '翻译成' }).selectOption('es');
    await until(async () => (await page.locator('#packStatus').textContent()) === '「英语 → 西班牙语」语言包已安装');
    assert.equal(await page.getByRole('button', { name: '下载语言包' }).isVisible(), false);
    assert.match(await page.locator('#packIcon').getAttribute('class'), /ok/);
  });

  test('a real test translation into Spanish', async () => {
    await page.getByRole('button', { name: '测试翻译' }).click();
    const result = page.locator('#testResult');
    await until(() => result.isVisible());
    const text = await result.textContent();
    assert.ok(text.startsWith(`✓ ${sample}\n→ `), text);
    assert.match(text.split('\n→ ')[1], /Hola.*tres días/);
    assert.equal(await page.getByRole('button', { name: '测试翻译' }).isEnabled(), true);
  });

  test('a download shows its progress, the page stays usable, and a failure shows in Chinese', async () => {
    await page.getByRole('combobox', { name: '来信语言' }).selectOption('pt');
    await until(async () => (await page.locator('#packStatus').textContent()) === '「葡萄牙语 → 西班牙语」语言包还没下载');
    await page.getByRole('button', { name: '下载语言包' }).click();
    const busy = page.getByRole('button', { name: '下载中…' });
    await until(() => busy.isVisible());
    assert.equal(await busy.isDisabled(), true);
    await until(() => existsSync(join(app.dir, 'install-args')));
    assert.equal(readFileSync(join(app.dir, 'install-args'), 'utf8').trim(), 'apertium-es-pt');
    // While the installer runs, the rest of the page works.
    await page.getByRole('combobox', { name: '显示方式' }).selectOption({ label: '仅译文' });
    await until(() => app.config().mode === 'replace');
    writeFileSync(join(app.dir, 'release'), '');
    const result = page.locator('#packResult');
    await until(() => result.isVisible());
    assert.equal(await result.textContent(), '✗ 另一个程序正在安装软件（dpkg 被占用），请等它结束后再试');
    assert.match(await result.getAttribute('class'), /failed/);
    assert.equal(await page.getByRole('button', { name: '下载语言包' }).isEnabled(), true);
    assert.equal(await page.locator('#packStatus').textContent(), '「葡萄牙语 → 西班牙语」语言包还没下载');
    await until(() => readFileSync(join(app.home, 'qy.log'), 'utf8').includes('language pack pt → es not installed'));
  });
});

describe('a language pack that installs', () => {
  let app, page;
  before(async () => {
    // Apertium's modes as installed, in a folder the stand-in installer may add a mode to.
    const modes = mkdtempSync(join(tmpdir(), 'qy-modes-'));
    for (const name of readdirSync('/usr/share/apertium/modes'))
      symlinkSync(join('/usr/share/apertium/modes', name), join(modes, name));
    const installer = join(modes, '..', `${modes.split('/').pop()}-install`);
    app = await startApp({ extraEnv: {
      QY_APERTIUM_MODES: modes,
      QY_PACK_INSTALL: script(installer, `echo "$@" > '${modes}/args'; : > '${modes}/pt-es.mode'`) } });
    app.modes = modes;
    app.installer = installer;
    page = await openPage(app);
  });
  after(async () => {
    await page?.close();
    await app?.close();
    if (app) rmSync(app.modes, { recursive: true, force: true });
    if (app) rmSync(app.installer, { force: true });
  });

  test('shows downloading, then done, and the pair as installed', async () => {
    await page.getByRole('combobox', { name: '翻译成' }).selectOption('es');
    await page.getByRole('combobox', { name: '来信语言' }).selectOption('pt');
    await until(async () => (await page.locator('#packStatus').textContent()) === '「葡萄牙语 → 西班牙语」语言包还没下载');
    await page.getByRole('button', { name: '下载语言包' }).click();
    const result = page.locator('#packResult');
    await until(() => result.isVisible());
    assert.equal(await result.textContent(), '✓ 「葡萄牙语 → 西班牙语」语言包已下载并安装');
    assert.doesNotMatch(await result.getAttribute('class'), /failed/);
    await until(async () => (await page.locator('#packStatus').textContent()) === '「葡萄牙语 → 西班牙语」语言包已安装');
    assert.equal(await page.getByRole('button', { name: '下载语言包' }).isVisible(), false);
    assert.equal(readFileSync(join(app.modes, 'args'), 'utf8').trim(), 'apertium-es-pt');
  });
});

describe('a service started by hand', () => {
  let app, page, serve;
  before(async () => { app = await startApp({ registration: 'disabled' }); page = await openPage(app); });
  after(async () => {
    if (serve && serve.exitCode === null) {
      serve.kill('SIGTERM');
      await within(new Promise((resolve) => serve.on('exit', resolve)), 'quillory-ext serve to end');
    }
    await page?.close();
    await app?.close();
  });

  test('shows as running although its unit is not enabled', async () => {
    await until(() => page.getByText('还没启用：运行“systemctl --user enable --now quillory-ext.service”').isVisible());
    serve = spawn(join(build, 'extension', 'quillory-ext'), ['serve'],
                  { env: { ...process.env, ...app.env }, stdio: 'ignore' });
    const running = '服务正在运行（登录时不会自动启动：运行“systemctl --user enable quillory-ext.service”让它自动启动）';
    // The service answers once its socket is up; 重新检查 asks again until then.
    await until(async () => {
      await page.getByRole('button', { name: '重新检查' }).click();
      return (await page.locator('#extensionState').textContent()) === running;
    }, 'the page to show the service running');
    assert.match(await page.locator('#extensionIcon').getAttribute('class'), /ok/);
  });
});

// A stand-in for Ollama on a free loopback port: its model listing, and chat answers that
// translate each text of the JSON array it is given to "译：" and the text.
async function standInOllama() {
  const http = await import('node:http');
  const asked = [];
  const server = http.createServer((request, response) => {
    let body = '';
    request.on('data', (chunk) => { body += chunk; });
    request.on('end', () => {
      asked.push(`${request.method} ${request.url}`);
      response.setHeader('Content-Type', 'application/json');
      if (request.method === 'GET' && request.url === '/api/tags') {
        response.end(JSON.stringify({ models: [{ name: 'llama3.2:3b' }, { name: 'qwen2.5:7b' }] }));
      } else if (request.method === 'POST' && request.url === '/api/chat') {
        const chat = JSON.parse(body);
        const texts = JSON.parse(chat.messages.find((m) => m.role === 'user').content);
        response.end(JSON.stringify({ model: chat.model, done: true,
          message: { role: 'assistant', content: JSON.stringify(texts.map((t) => `译：${t}`)) } }));
      } else {
        response.statusCode = 404;
        response.end(JSON.stringify({ error: 'not found' }));
      }
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { url: `http://127.0.0.1:${server.address().port}`, asked,
           close: () => new Promise((resolve) => server.close(resolve)) };
}

describe('translation engines', () => {
  let app, page, ollama;
  before(async () => {
    ollama = await standInOllama();
    // The usual addresses point at the stand-in and at a port nobody listens on.
    const nobody = await standInOllama();
    await nobody.close();
    app = await startApp({ extraEnv: {
      QY_SERVER_ADDRESSES: `openai=${nobody.url}/v1 ollama=${ollama.url}` } });
    page = await openPage(app);
  });
  after(async () => { await page?.close(); await app?.close(); await ollama?.close(); });

  test('where nothing translates the pair, the page says what to install instead of a download', async () => {
    await until(async () => (await page.locator('#packStatus').textContent()) !== '');
    assert.equal(await page.getByRole('button', { name: '下载语言包' }).isVisible(), false);
    const help = page.locator('#packHelp');
    assert.equal(await help.isVisible(), true);
    assert.match(await help.textContent(), /ollama pull qwen2\.5:7b[\s\S]*pip install libretranslate[\s\S]*libretranslate/);
    await help.getByRole('link', { name: '翻译引擎' }).click();
    assert.equal(new URL(page.url()).hash, '#engines');
    const rows = await page.locator('#engineRows li').allTextContents();
    assert.ok(rows.some((row) => row.startsWith('Apertium') && row.includes('英语 → 西班牙语')), rows.join(' | '));
  });

  test('a typed address that is not this machine is refused in Chinese and nothing is found', async () => {
    await page.getByRole('textbox', { name: '其他地址' }).fill('http://192.0.2.7:11434');
    await page.getByRole('button', { name: '查找这个地址' }).click();
    await until(async () => /[\u4e00-\u9fff]/.test(await page.locator('#probeStatus').textContent()));
    assert.equal(await page.locator('#foundServers').locator('button').count(), 0);
  });

  test('finding the local server, choosing it, and the test translation through it', async () => {
    await page.getByRole('button', { name: '查找本机翻译服务' }).click();
    const title = `Ollama（${ollama.url.slice('http://'.length)}）`;
    const use = page.getByRole('button', { name: `使用 ${title}` });
    await until(() => use.isVisible());
    await until(async () => (await page.locator('#probeStatus').textContent()) === '找到 1 个本机翻译服务，选一个来用：');
    assert.equal(await page.getByRole('checkbox', { name: /所有语言都优先用选中的服务/ }).isChecked(), true);
    await page.getByRole('combobox', { name: `${title}的模型` }).selectOption('qwen2.5:7b');
    await use.click();

    const message = page.locator('#engineMessage');
    await until(async () => (await message.textContent()).includes('→ '));
    const text = await message.textContent();
    assert.ok(text.startsWith(`已写入 translators.json：所有语言都用 ${title}的 qwen2.5:7b 翻译。\n✓ ${sample}\n→ `), text);
    assert.match(text, new RegExp(`→ 译：${sample.replace(/[.!]/g, '\\$&')}`));
    assert.ok(ollama.asked.includes('POST /api/chat'), ollama.asked.join(', '));

    const file = join(app.home, 'translators.json');
    assert.equal(statSync(file).mode & 0o777, 0o600);
    assert.deepEqual(JSON.parse(readFileSync(file, 'utf8')),
      { servers: [{ api: 'ollama', url: ollama.url, model: 'qwen2.5:7b' }], apertium: false });
    // The engine list and the pack row now show the server.
    await until(async () => (await page.locator('#engineRows li').allTextContents()).some((row) => row.includes('qwen2.5:7b')));
    await until(async () => (await page.locator('#packStatus').textContent()).endsWith('已安装'));
    assert.equal(await page.locator('#packHelp').isVisible(), false);
  });
});

describe('a new user at the keyboard, on a narrow window, and when the program is gone', () => {
  let app, page;
  // Not registered: the longest state line, beside its two buttons.
  before(async () => { app = await startApp({ registration: 'not-found' }); page = await openPage(app); });
  after(async () => { await page?.close(); await app?.close(); });

  test('Tab reaches every control in order, each by its label', async () => {
    await until(() => page.getByText('系统还没登记这个扩展。运行“quillory-ext install-service”后点“重新检查”。').isVisible());
    await until(async () => (await page.locator('#packStatus').textContent()) !== '');
    const download = (await page.locator('#download').isVisible()) ? [['button', '下载语言包']] : [];
    const help = (await page.locator('#packHelp').isVisible()) ? [['link', '翻译引擎']] : [];
    const expected = [
      ['button', '重新检查'], ['button', '打开 Mail'],
      ['combobox', '显示方式'], ['combobox', '什么时候翻译'], ['combobox', '翻译成'],
      ['combobox', '来信语言'], ...download, ...help, ['button', '测试翻译'],
      ['button', '查找本机翻译服务'], ['textbox', '其他地址'], ['button', '查找这个地址'],
      ['checkbox', '所有语言都优先用选中的服务（不再先用 Apertium）'],
      ['combobox', '邮件正文'], [null, '底色'],
      ['combobox', '样式'], [null, '颜色'], ['spinbutton', '字号 100%'], ['spinbutton', '不透明度 100%'],
      ['checkbox', '翻译完成后自动刷新 Mail'], ['slider', '最多等'],
      ['button', '清空缓存'], ['button', '查看日志'],
    ];
    await page.evaluate(() => document.activeElement?.blur());
    for (const [role, name] of expected) {
      await page.keyboard.press('Tab');
      const control = role ? page.getByRole(role, { name, exact: true }) : page.getByLabel(name, { exact: true });
      assert.equal(await control.evaluate((e) => e === document.activeElement), true, `Tab to ${name}`);
    }
  });

  // Every element of the form inside the window, and no text cut off inside its box.
  async function overflows() {
    return page.evaluate(() => {
      const width = document.documentElement.clientWidth;
      const out = [];
      if (document.documentElement.scrollWidth > width) out.push(`page ${document.documentElement.scrollWidth} > ${width}`);
      for (const e of document.querySelectorAll('main *')) {
        const box = e.getBoundingClientRect();
        if (box.width === 0 && box.height === 0) continue;
        const name = e.id || e.textContent.trim().slice(0, 20) || e.tagName;
        if (box.left < -0.5 || box.right > width + 0.5) out.push(`${name}: ${box.left}…${box.right} of ${width}`);
        if (!['SELECT', 'INPUT'].includes(e.tagName) && e.scrollWidth > e.clientWidth + 1 && getComputedStyle(e).overflowX !== 'visible')
          out.push(`${name}: clipped`);
        if (['BUTTON', 'LABEL', 'SPAN', 'P', 'OUTPUT'].includes(e.tagName) && e.scrollWidth > e.clientWidth + 1 && e.clientWidth > 0)
          out.push(`${name}: text wider than its box`);
      }
      return out;
    });
  }

  test('nothing overflows or is cut off at 640 and at 400 pixels, light and dark', async () => {
    await page.getByRole('button', { name: '测试翻译' }).click();
    await until(() => page.locator('#testResult').isVisible());
    await until(() => page.getByRole('button', { name: '测试翻译' }).isEnabled());
    const shots = join(build, 'screenshots');
    mkdirSync(shots, { recursive: true });
    for (const width of [640, 400]) {
      for (const scheme of ['light', 'dark']) {
        await page.emulateMedia({ colorScheme: scheme });
        await page.setViewportSize({ width, height: 900 });
        assert.deepEqual(await overflows(), [], `${width} px, ${scheme}`);
        await page.screenshot({ path: join(shots, `settings-${width}-${scheme}.png`), fullPage: true });
      }
    }
  });

  test('when the program has ended the page says so in Chinese', async () => {
    const alert = page.getByRole('alert');
    assert.equal(await alert.isVisible(), false);
    // Read from the bottom of the page, the notice must still come into view.
    await page.evaluate(() => window.scrollTo(0, document.body.scrollHeight));
    assert.equal(await app.stop(), 0);
    await until(() => alert.isVisible());
    const box = await alert.boundingBox();
    const height = await page.evaluate(() => window.innerHeight);
    assert.ok(box.y >= 0 && box.y + box.height <= height, `the notice at ${box.y} is out of view`);
    assert.match(await alert.textContent(), /Quillory 已经退出/);
    // No change can be made that would be lost without a word.
    assert.equal(await page.getByRole('combobox', { name: '显示方式' }).isDisabled(), true);
    assert.equal(await page.getByRole('button', { name: '清空缓存' }).isDisabled(), true);
    await page.screenshot({ path: join(build, 'screenshots', 'settings-gone.png') });
  });
});

describe('who may ask', () => {
  let app;
  before(async () => { app = await startApp(); });
  after(async () => { await app?.close(); });

  test('requests without the secret, or from a foreign host or origin, are refused', async () => {
    const origin = new URL(app.url).origin;
    const token = new URL(app.url).searchParams.get('k');
    const status = async (path, init = {}) => (await fetch(origin + path, { redirect: 'manual', ...init })).status;
    assert.equal(await status('/'), 403);
    assert.equal(await status('/api/state'), 403);
    assert.equal(await status('/?k=' + '0'.repeat(64)), 403);
    assert.equal(await status('/api/action/clearCache', { method: 'POST', headers: { 'Content-Type': 'application/json', Cookie: `qy_settings_${new URL(app.url).port}=wrong` }, body: '{}' }), 403);
    const cookie = await launchCookie(app.url);
    assert.match(cookie, new RegExp(`^qy_settings_${new URL(app.url).port}=[0-9a-f]{64}$`));
    assert.equal(await status('/?k=' + token), 403, 'a launch token opens the page once');
    assert.equal(await status('/api/state', { headers: { Cookie: cookie } }), 200);
    assert.equal(await status('/api/state', { headers: { Cookie: cookie, 'Sec-Fetch-Site': 'same-site' } }), 403);
    assert.equal(await status('/api/state', { headers: { Cookie: cookie, Origin: 'http://evil.example' } }), 403);
    assert.equal(await status('/api/action/test', { method: 'POST', headers: { Cookie: cookie, 'Content-Type': 'text/plain' }, body: '{}' }), 415);
    assert.equal(await status('/api/settings', { method: 'POST', headers: { Cookie: cookie, 'Content-Type': 'application/json' }, body: '{"maxChars": 5}' }), 400);
    // A name that resolves here but is not ours (DNS rebinding) is refused by its Host.
    const http = await import('node:http');
    const foreign = await new Promise((resolve) => {
      http.get({ host: '127.0.0.1', port: new URL(app.url).port, path: '/api/state', headers: { Host: 'rebind.example', Cookie: cookie } },
        (response) => { response.resume(); resolve(response.statusCode); });
    });
    assert.equal(foreign, 403);
    const page = await (await fetch(origin + '/', { headers: { Cookie: cookie } }));
    assert.match(page.headers.get('content-security-policy'), /script-src 'self'/);
    assert.equal(page.headers.get('access-control-allow-origin'), null);
  });
});

describe('lifetime', () => {
  test('the application ends on its own once its page is closed', async () => {
    const app = await startApp({ idleSeconds: 1 });
    try {
      const page = await openPage(app);
      await page.close();
      assert.equal(await within(app.exited, 'the idle application to end'), 0);
      assert.match(readFileSync(join(app.home, 'qy.log'), 'utf8'), /settings application stopped/);
    } finally {
      await app.close();
    }
  });
});

describe('screenshots', () => {
  test('light and dark, translating into Spanish', async () => {
    const app = await startApp({ cacheFiles: 3, registration: 'enabled' });
    const shots = join(build, 'screenshots');
    mkdirSync(shots, { recursive: true });
    try {
      for (const scheme of ['light', 'dark']) {
        const page = await openPage(app);
        await page.emulateMedia({ colorScheme: scheme });
        await page.setViewportSize({ width: 640, height: 1000 });
        await page.getByRole('combobox', { name: '翻译成' }).selectOption('es');
        await until(async () => (await page.locator('#packStatus').textContent()).endsWith('已安装'));
        await page.getByRole('button', { name: '测试翻译' }).click();
        // The result of the earlier page's test is shown at first; wait for this one's.
        await until(() => page.getByRole('button', { name: '测试中…' }).isVisible()
          .then((busy) => !busy && page.locator('#testResult').isVisible()));
        await until(() => page.getByText('已在 Mail 里启用').isVisible());
        await page.screenshot({ path: join(shots, `settings-${scheme}.png`), fullPage: true });
        await page.close();
      }
    } finally {
      await app.close();
    }
  });
});
