#!/usr/bin/env node
// The dashboard in a real browser: headless Debian chromium driven by
// playwright-core against kovo_dashboard_server (the daemon's web server,
// statistics routes and configuration update over a temporary config file).
//
//   node browser_test.js --server PATH [--screenshot FILE] [--chromium PATH]
//
// The page's timers run on playwright's fake clock, so the one-second reload
// happens exactly when the test lets the clock run.
'use strict';

const assert = require('assert');
const { spawn } = require('child_process');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const readline = require('readline');
const { chromium } = require('playwright-core');

const HOSTILE_MISSION = '<script>window.kovoPwned=1</script>';
const HOSTILE_STRATEGY = '<img src=x onerror="window.kovoPwned=2">';
const HOSTILE_SITE = "x'><img src=x onerror=\"window.kovoPwned=3\"><script>window.kovoPwned=4</script>";
const CARDS = ['运行状态', '任务统计', '任务历史 (最近50条)', '版本信息', '连接配置', '内部状态', '配置编辑'];

function option(name, fallback) {
  const i = process.argv.indexOf(name);
  return i >= 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}

function withTimeout(promise, ms, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out: ${what}`)), ms);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

// Starts the server and resolves with its port once it prints the listening line.
function startServer(binary, configPath) {
  const child = spawn(binary, ['--config', configPath], { stdio: ['ignore', 'pipe', 'pipe'] });
  child.stderr.on('data', (d) => process.stderr.write(`[server] ${d}`));
  const listening = new Promise((resolve, reject) => {
    readline.createInterface({ input: child.stdout }).on('line', (line) => {
      process.stderr.write(`[server] ${line}\n`);
      try {
        const event = JSON.parse(line);
        if (event.event === 'listening') resolve(event.port);
      } catch (e) {
        // progress lines of the server are not JSON
      }
    });
    child.on('exit', (code) => reject(new Error(`server exited with ${code}`)));
  });
  return { child, listening: withTimeout(listening, 10000, 'server listening line') };
}

function stopServer(child) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
  const exited = new Promise((resolve) => child.on('exit', resolve));
  child.kill('SIGTERM');
  return withTimeout(exited, 5000, 'server exit').catch(() => child.kill('SIGKILL'));
}

function getJson(url) {
  return new Promise((resolve, reject) => {
    http.get(url, (res) => {
      let body = '';
      res.setEncoding('utf8');
      res.on('data', (c) => { body += c; });
      res.on('end', () => {
        try {
          resolve(JSON.parse(body));
        } catch (e) {
          reject(e);
        }
      });
    }).on('error', reject);
  });
}

// Runs the fake clock on and waits for the reload it triggers.
async function letPageReload(page, ms) {
  const loaded = page.waitForEvent('load', { timeout: 10000 });
  await page.clock.runFor(ms);
  await loaded;
}

async function checkCardsAndRows(page) {
  const titles = await page.locator('h2').allTextContents();
  assert.deepStrictEqual(titles, CARDS);
  const history = page.locator('div.card', { has: page.locator('h2', { hasText: '任务历史' }) });
  const rows = history.locator('tr:has(td)');
  assert.strictEqual(await rows.count(), 50, 'newest 50 of 55 missions');
  assert.strictEqual(await rows.first().locator('td').first().textContent(), 'M20260517006');
  const last = rows.last().locator('td');
  assert.strictEqual(await last.nth(2).textContent(), 'running');
  assert.strictEqual(await last.nth(2).getAttribute('class'), 'status-running');
  assert.strictEqual(await last.nth(4).textContent(), '', 'a running mission has no end time');
  assert.strictEqual(await page.locator('td.status-failed').first().textContent(), 'failed');
  assert.strictEqual(await page.locator('td.metric').first().textContent(), '55');
  assert.match(await page.locator('p', { hasText: 'SIO 连接' }).textContent(), /已连接 \(累计 1 次\)/);
}

async function checkHostileTextStaysText(page, extra) {
  const cells = await page.locator('td').allTextContents();
  assert.ok(cells.includes(HOSTILE_MISSION), 'hostile mission id shown as text');
  assert.ok(cells.includes(HOSTILE_STRATEGY), 'hostile strategy id shown as text');
  for (const text of extra) assert.ok(cells.includes(text), `shown as text: ${text}`);
  const state = await page.evaluate(() => ({
    pwned: window.kovoPwned,
    images: document.images.length,
    scripts: document.scripts.length,
  }));
  assert.deepStrictEqual(state, { pwned: undefined, images: 0, scripts: 1 });
}

async function run(port, configPath, screenshot, chromiumPath) {
  const base = `http://127.0.0.1:${port}`;
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'kovo_chromium_'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: chromiumPath,
    headless: true,
    viewport: { width: 1280, height: 900 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  try {
    const page = context.pages()[0] || (await context.newPage());
    const dialogs = [];
    page.on('dialog', (d) => { dialogs.push(d.message()); d.dismiss(); });
    let loads = 0;
    page.on('load', () => { loads += 1; });
    // Time stands still from here; only runFor moves it.
    const start = new Date('2026-05-17T10:00:00');
    await page.clock.install({ time: start });
    await page.clock.pauseAt(new Date(start.getTime() + 1000));

    // Viewing: cards, mission rows, escaped hostile texts.
    await page.goto(`${base}/`);
    await checkCardsAndRows(page);
    await checkHostileTextStaysText(page, []);
    assert.strictEqual(await page.locator('#cfgForm').isVisible(), false);
    if (screenshot) await page.screenshot({ path: screenshot, fullPage: true });
    // In viewing the page reloads itself after a second.
    await letPageReload(page, 1100);
    assert.strictEqual(loads, 2);

    // "修改配置" shows the form at once; the reload scheduled before still
    // happens and the form stays open, with no reload after it.
    await page.getByRole('button', { name: '修改配置' }).click();
    assert.strictEqual(await page.locator('#cfgForm').isVisible(), true);
    await letPageReload(page, 1100);
    assert.strictEqual(await page.locator('#cfgForm').isVisible(), true, 'form open after the reload');
    await page.clock.runFor(5000);
    assert.strictEqual(loads, 3, 'no reload while editing');
    assert.strictEqual(await page.locator('#cfg_platform_site_id').inputValue(), 'qtpe-8264');
    assert.strictEqual(await page.locator('#cfg_stats_enabled').inputValue(), 'true');

    // Save changed values: green "Config updated", then back to viewing.
    await page.locator('#cfg_platform_site_id').fill(HOSTILE_SITE);
    await page.locator('#cfg_px4_port').fill('53002');
    await page.getByRole('button', { name: '保存' }).click();
    const message = page.locator('#cfgMsg');
    await message.filter({ hasText: 'Config updated' }).waitFor({ timeout: 10000 });
    assert.strictEqual(await message.evaluate((m) => m.style.color), 'green');

    const saved = JSON.parse(fs.readFileSync(configPath, 'utf8'));
    assert.strictEqual(saved.platform.site_id, HOSTILE_SITE);
    assert.strictEqual(saved.px4ctrl.port, 53002);
    assert.strictEqual(saved.mission.fs_idle, 9, 'other settings of the file are kept');
    const stats = await getJson(`${base}/api/stats`);
    assert.strictEqual(stats.config.platform_site_id, HOSTILE_SITE);
    assert.strictEqual(stats.config.px4_port, 53002);

    await letPageReload(page, 1100);
    assert.strictEqual(await page.locator('#cfgForm').isVisible(), false, 'viewing after a successful save');
    assert.strictEqual(await page.locator('#cfg_platform_site_id').inputValue(), HOSTILE_SITE);
    await checkHostileTextStaysText(page, [HOSTILE_SITE]);

    // A failed save is shown in red and keeps editing.
    await page.getByRole('button', { name: '修改配置' }).click();
    await page.route('**/api/config', (route) => route.continue({ postData: '{"broken":' }));
    await page.getByRole('button', { name: '保存' }).click();
    await message.filter({ hasText: 'Invalid JSON: ' }).waitFor({ timeout: 10000 });
    assert.strictEqual(await message.evaluate((m) => m.style.color), 'red');
    assert.strictEqual(await page.evaluate(() => sessionStorage.getItem('cfgEditing')), 'true');

    assert.deepStrictEqual(dialogs, [], 'no script of a hostile value ran');
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

async function main() {
  const server = option('--server');
  if (!server) throw new Error('--server PATH is required');
  const screenshot = option('--screenshot');
  const chromiumPath = option('--chromium', '/usr/bin/chromium');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kovo_dashboard_'));
  const configPath = path.join(dir, 'config.json');
  fs.writeFileSync(configPath, JSON.stringify({ mission: { fs_idle: 9 } }));
  const { child, listening } = startServer(server, configPath);
  try {
    const port = await listening;
    await withTimeout(run(port, configPath, screenshot, chromiumPath), 90000, 'browser checks');
    console.log('dashboard browser test passed');
  } finally {
    await stopServer(child);
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((e) => {
  console.error(e && e.stack ? e.stack : e);
  process.exit(1);
});
