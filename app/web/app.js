// The settings page: draws the model's state and sends every change and action to it. The
// model (in the application) owns all settings logic, captions included; this file only binds
// controls to the state's fields and follows the state with a long poll.
'use strict';

const $ = (id) => document.getElementById(id);
let version = 0;

// What the page says when it cannot reach the application.
const kGone = 'Quillory 已经退出，这里的设置改不了了。请重新打开 Quillory。';
const kRefused = '这个地址只对启动它的 Quillory 有效，请重新打开 Quillory。';
const kFailed = (status) => `Quillory 没能完成这一步（HTTP ${status}），请再试一次。`;

// A failure the user is told about; `lasting` ones (the application gone, or another one
// there now) also lock the controls, so no change is made that could not be saved.
class Trouble extends Error {
  constructor(text, lasting) { super(text); this.lasting = lasting; }
}

// Shows `trouble` above the form, or nothing once the application answers again.
function tell(trouble) {
  $('connection').hidden = !trouble;
  $('connection').textContent = trouble ? trouble.message : '';
  $('controls').disabled = Boolean(trouble?.lasting);
}

async function call(path, body) {
  const init = body === undefined
    ? { credentials: 'same-origin' }
    : { method: 'POST', credentials: 'same-origin', headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify(body) };
  let response;
  try {
    response = await fetch(path, init);
  } catch {
    throw new Trouble(kGone, true);
  }
  // Refused: the page's secret is not this launch's (the application was started again).
  if (response.status === 403) throw new Trouble(kRefused, true);
  if (!response.ok) throw new Trouble(kFailed(response.status), false);
  let state;
  try {
    state = await response.json();
  } catch {
    throw new Trouble(kGone, true);
  }
  tell(null);
  return state;
}

function fillChoices(select, choices) {
  const key = JSON.stringify(choices);
  if (select.dataset.choices === key) return;
  select.dataset.choices = key;
  select.replaceChildren(...choices.map(({ name, value }) => new Option(name, value)));
}

// A value outside the choices selects nothing.
function choose(select, value) {
  const index = [...select.options].findIndex((option) => option.value === value);
  select.selectedIndex = index;
}

function render(state) {
  if (state.version < version) return;
  version = state.version;
  const cfg = state.cfg;

  $('extensionIcon').className = 'symbol ' + (state.extensionEnabled ? 'ok' : 'warn');
  $('extensionState').textContent = state.extensionState;
  // A change that could not be written stays on the page, pending, under this notice.
  $('saveError').hidden = !state.saveError;
  $('saveError').textContent = state.saveError || '';

  for (const name of ['mode', 'trigger', 'targetLanguage', 'darkMode', 'style']) {
    fillChoices($(name), state.choices[name]);
    choose($(name), cfg[name]);
  }
  fillChoices($('packSource'), state.choices.packSource);
  choose($('packSource'), state.packSource);

  $('packIcon').className = 'symbol ' + (state.packReady ? 'ok' : 'pending');
  $('packStatus').textContent = state.packStatus;
  $('download').hidden = !state.packDownloadable;
  $('packHelp').hidden = !state.packHelp;
  $('download').disabled = state.downloading;
  $('download').textContent = state.downloading ? '下载中…' : '下载语言包';
  $('packResult').hidden = state.packResult === '';
  $('packResult').textContent = state.packResult;
  $('packResult').classList.toggle('failed', state.packFailed);
  $('test').disabled = state.testing;
  $('test').textContent = state.testing ? '测试中…' : '测试翻译';
  $('testResult').hidden = state.testResult === '';
  $('testResult').textContent = state.testResult;

  renderEngines(state.engines);

  $('darkBackgroundRow').hidden = !state.showDarkBackground;
  $('darkCaption').hidden = !state.showDarkBackground;
  $('darkBackground').value = state.darkBackgroundPicker;
  $('accentColor').value = state.accentPicker;

  // A number being typed is not overwritten under the user's fingers.
  for (const name of ['fontScale', 'opacity']) {
    if (document.activeElement !== $(name) || $(name).value === '') $(name).value = cfg[name];
  }
  $('fontScaleText').textContent = state.fontScaleText;
  $('opacityText').textContent = state.opacityText;
  $('autoReload').checked = cfg.autoReload;
  $('firstPaintSeconds').value = cfg.firstPaintSeconds;
  $('firstPaintText').textContent = state.firstPaintText;
  $('cacheInfo').textContent = state.cacheInfo;
  $('form').setAttribute('aria-busy', 'false');
}

// The engines section: what translates now, the search for local servers and what it found.
function renderEngines(engines) {
  const rows = JSON.stringify(engines.rows);
  if ($('engineRows').dataset.rows !== rows) {
    $('engineRows').dataset.rows = rows;
    $('engineRows').replaceChildren(...engines.rows.map((row) => {
      const item = document.createElement('li');
      item.className = row.usable ? 'usable' : 'unusable';
      item.append(...nameAndDetail(row.name, row.detail));
      return item;
    }));
  }
  $('findServers').disabled = engines.probing;
  $('findServers').textContent = engines.probing ? '查找中…' : '查找本机翻译服务';
  $('probeAddress').disabled = engines.probing;
  $('probeStatus').textContent = engines.probeStatus;
  // Drawn again only when the servers found change, so a model being chosen stays chosen.
  const found = JSON.stringify(engines.found);
  if ($('foundServers').dataset.found !== found) {
    $('foundServers').dataset.found = found;
    $('foundServers').replaceChildren(...engines.found.map(foundRow));
  }
  $('preferServer').checked = engines.preferServer;
  $('engineMessage').hidden = engines.message === '';
  $('engineMessage').textContent = engines.message;
}

// An engine's name and what it says of itself, as the list and the servers found show them.
function nameAndDetail(nameText, detailText) {
  const name = document.createElement('span');
  name.className = 'engine-name';
  name.textContent = nameText;
  const detail = document.createElement('span');
  detail.className = 'engine-detail';
  detail.textContent = detailText;
  return [name, detail];
}

function foundRow(server) {
  const row = document.createElement('div');
  row.className = 'row';
  row.append(...nameAndDetail(server.title, server.detail));
  let models = null;
  if (server.models.length > 0) {
    models = document.createElement('select');
    models.setAttribute('aria-label', `${server.title}的模型`);
    models.replaceChildren(...server.models.map((name) => new Option(name, name)));
    row.append(models);
  }
  const use = document.createElement('button');
  use.type = 'button';
  use.textContent = '使用';
  use.setAttribute('aria-label', `使用 ${server.title}`);
  use.disabled = !server.choosable;
  use.addEventListener('click', () => send('/api/engines/choose',
    { api: server.api, url: server.url, model: models ? models.value : '' }));
  row.append(use);
  return row;
}

function valueOf(control) {
  if (control.type === 'checkbox') return control.checked;
  if (control.type === 'number' || control.type === 'range') return control.valueAsNumber;
  return control.value;
}

function send(path, body) {
  call(path, body).then(render).catch(tell);
}

function bind() {
  for (const control of document.querySelectorAll('[data-field]')) {
    const field = control.dataset.field;
    // The slider and the colour pickers report while they move; the model saves once they rest.
    const event = control.type === 'range' || control.type === 'color' ? 'input' : 'change';
    control.addEventListener(event, () => {
      const value = valueOf(control);
      if (typeof value === 'number' && Number.isNaN(value)) return;
      send('/api/settings', { [field]: value });
    });
  }
  $('packSource').addEventListener('change', () => send('/api/packSource', { id: $('packSource').value }));
  $('findServers').addEventListener('click', () => send('/api/engines/find', {}));
  const probeAddress = () => send('/api/engines/find', { address: $('serverAddress').value });
  $('probeAddress').addEventListener('click', probeAddress);
  $('serverAddress').addEventListener('keydown', (event) => {
    if (event.key === 'Enter') probeAddress();
  });
  $('preferServer').addEventListener('change', () => send('/api/engines/prefer', { on: $('preferServer').checked }));
  const actions = { recheck: 'recheck', openMail: 'openMail', download: 'download', test: 'test',
                    clearCache: 'clearCache', openLog: 'openLog' };
  for (const [id, action] of Object.entries(actions)) {
    $(id).addEventListener('click', () => send('/api/action/' + action, {}));
  }
  // Coming back to the page refreshes what may have changed elsewhere.
  const activate = () => send('/api/action/activate', {});
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'visible') activate();
  });
  window.addEventListener('focus', activate);
}

async function follow() {
  for (;;) {
    try {
      const seen = version;
      render(await call('/api/state?after=' + version));
      // An answer without news (the poll timed out, or the server has too many open) waits a
      // moment, so a busy server is not asked in a tight loop.
      if (version === seen) await new Promise((resolve) => setTimeout(resolve, 1000));
    } catch (error) {
      // The application has ended or is restarting: say so, and try again a little later.
      tell(error);
      await new Promise((resolve) => setTimeout(resolve, 2000));
    }
  }
}

async function start() {
  bind();
  try {
    render(await call('/api/state'));
  } catch (error) {
    tell(error);
  }
  send('/api/action/shown', {});
  follow();
}

start();
