// Shared helpers of the browser tests: Debian's Chromium, headless, driven by playwright-core,
// with a fresh profile per launch, and the programs under test started as real processes whose
// first line of standard output is their page's URL.
//
// Nothing here skips: a missing Chromium or a program that never prints its URL fails the test.
import { spawn } from 'node:child_process';
import { createHmac, randomBytes } from 'node:crypto';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { chromium } from 'playwright-core';

export const chromiumPath = process.env.QY_CHROMIUM || '/usr/bin/chromium';

// Flags for a quiet, offline, reproducible browser: as root Chromium runs only without its
// sandbox; no GPU on a build machine; and nothing that phones home (QUIC, background
// networking, component updates, sync).
const kFlags = [
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];

// Launches Chromium with a new profile directory (removed again when the context closes) and
// returns its BrowserContext. `options` go to playwright's launchPersistentContext (viewport,
// colorScheme, locale, …).
export async function launch(options = {}) {
  const profile = mkdtempSync(join(tmpdir(), 'qy-chromium-'));
  let context;
  try {
    context = await chromium.launchPersistentContext(profile, {
      executablePath: chromiumPath,
      headless: true,
      args: kFlags,
      locale: 'zh-CN',
      viewport: { width: 800, height: 1000 },
      ...options,
    });
  } catch (error) {
    rmSync(profile, { recursive: true, force: true });
    throw error;
  }
  // The profile can be removed only once the browser process is gone, that is after close()
  // has resolved (its 'close' event comes earlier, while Chromium still writes the profile).
  const close = context.close.bind(context);
  context.close = async (...args) => {
    await close(...args);
    rmSync(profile, { recursive: true, force: true, maxRetries: 5 });
  };
  context.profileDir = profile;
  return context;
}

// How long a program may take to print its URL. Generous: a loaded 2-core machine may be slow
// to start a process, and this only bounds a failure.
const kStartLimitMs = 60_000;
// How long a program may take to end after SIGTERM; as generous, for the same reason.
const kStopLimitMs = 60_000;

// Starts `command` with `args` and resolves once it has printed a line holding an http URL on
// standard output: { url, child, lines, exited, stop }. `lines` keeps the later output lines;
// `exited` resolves with the exit code (or signal name) when the program ends; stop() ends it
// with SIGTERM and resolves like `exited`, or kills it and rejects when it has not ended within
// kStopLimitMs: a program that ignores SIGTERM fails its test instead of hanging it.
export function startServer(command, args = [], { env = {}, cwd } = {}) {
  const child = spawn(command, args, {
    cwd,
    env: { ...process.env, ...env },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const lines = [];
  let stderr = '';
  child.stderr.on('data', (chunk) => { stderr += chunk; });
  const exited = new Promise((resolve) => {
    child.on('exit', (code, signal) => resolve(code ?? signal));
  });
  const stop = async () => {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
    let timer;
    const late = new Promise((resolve, reject) => {
      timer = setTimeout(() => {
        child.kill('SIGKILL');
        reject(new Error(`${command} did not end within ${kStopLimitMs} ms of SIGTERM; stderr: ${stderr}`));
      }, kStopLimitMs);
    });
    try {
      return await Promise.race([exited, late]);
    } finally {
      clearTimeout(timer);
    }
  };
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`${command} printed no URL within ${kStartLimitMs} ms; stderr: ${stderr}`));
    }, kStartLimitMs);
    let found = false;
    createInterface({ input: child.stdout }).on('line', (line) => {
      if (found) { lines.push(line); return; }
      const match = line.match(/https?:\/\/\S+/);
      if (!match) { lines.push(line); return; }
      found = true;
      clearTimeout(timer);
      resolve({ url: match[0], child, lines, exited, stop });
    });
    child.on('error', (error) => { clearTimeout(timer); reject(error); });
    exited.then((status) => {
      if (found) return;
      clearTimeout(timer);
      reject(new Error(`${command} ended (${status}) before printing a URL; stderr: ${stderr}`));
    });
  });
}

// A fresh launch address for the page of server `name` ("settings", "reader") whose key file is
// in the storage root `home`, as another program of the user's makes one: each address opens the
// page once. `address` is the page's origin with "/".
export function launchAddress(home, name, address) {
  const key = readFileSync(join(home, `${name}.key`), 'utf8').trim();
  const signed = `${Math.floor(Date.now() / 1000) + 600}-${randomBytes(16).toString('hex')}`;
  const mac = createHmac('sha256', key).update(signed).digest('hex').slice(0, 32);
  return `${address}?k=${signed}-${mac}`;
}

// The cookie ("name=value") that a launch address turns into.
export async function launchCookie(url) {
  const response = await fetch(url, { redirect: 'manual' });
  return (response.headers.get('set-cookie') || '').split(';')[0];
}
