#!/usr/bin/env node
// node browser_test.js --server PATH [--screenshot FILE]: the dashboard of
// kovo_dashboard_server in headless Debian chromium, driven by playwright-core.
// The page's timers run on playwright's fake clock: it reloads only when the
// test lets the clock run.
'use strict';

const assert = require('assert');
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const readline = require('readline');
const { chromium } = require('playwright-core');

const HOSTILE_MISSION = '<script>window.kovoPwned=1</script>';
const HOSTILE_STRATEGY = '<img src=x onerror="window.kovoPwned=2">';
const HOSTILE_SITE = "x'><img src=x onerror=\"window.kovoPwned=3\"><script>window.kovoPwned=4</script>";
const CARDS = ['运行状态', '任务统计', '任务历史 (最近50条)', '版本信息', '连接配置', '内部状态', '配置编辑'];

function option(name) {
  const i = process.argv.indexOf(name);
  return i >= 0 ? process.argv[i + 1] : undefined;
}

// Resolves with the server's port once it prints its listening line.
function serverPort(child) {
  return new Promise((resolve, reject) => {
    readline.createInterface({ input: child.stdout }).on('line', (line) => {
      if (line.startsWith('{"event":"listening"')) resolve(JSON.parse(line).port);
    });
    child.on('exit', (code) => reject(new Error(`server exited with ${code}`)));
  });
}

// Runs the fake clock on and waits for the reload it triggers.
async function letPageReload(page, ms) {
  const loaded = page.waitForEvent('load', { timeout: 10000 });
  await page.clock.runFor(ms);
  await loaded;
}

async function checkHostileTextStaysText(page, texts) {
  const cells = await page.locator('td').allTextContents();
  for (const text of [HOSTILE_MISSION, HOSTILE_STRATEGY, ...texts]) assert.ok(cells.includes(text), text);
  const state = await page.evaluate(() => ({
    pwned: window.kovoPwned, images: document.images.length, scripts: document.scripts.length,
  }));
  assert.deepStrictEqual(state, { pwned: undefined, images: 0, scripts: 1 });
}

async function run(context, base, configPath) {
  const page = context.pages()[0] || (await context.newPage());
  let loads = 0;
  page.on('load', () => { loads += 1; });
  // Time stands still from here; only runFor moves it.
  const start = new Date('2026-05-17T10:00:00');
  await page.clock.install({ time: start });
  await page.clock.pauseAt(new Date(start.getTime() + 1000));

  // Viewing: cards, mission rows, escaped hostile texts; a reload a second.
  await page.goto(`${base}/`);
  assert.deepStrictEqual(await page.locator('h2').allTextContents(), CARDS);
  const rows = page.locator('div.card', { has: page.locator('h2', { hasText: '任务历史' }) }).locator('tr:has(td)');
  assert.strictEqual(await rows.count(), 50, 'newest 50 of 55 missions');
  assert.strictEqual(await rows.first().locator('td').first().textContent(), 'M20260517006');
  const last = rows.last().locator('td');
  assert.strictEqual(await last.nth(2).getAttribute('class'), 'status-running');
  assert.strictEqual(await last.nth(5).textContent(), '', 'a running mission has no end time');
  assert.strictEqual(await page.locator('td.metric').first().textContent(), '55');
  await checkHostileTextStaysText(page, []);
  assert.strictEqual(await page.locator('#cfgForm').isVisible(), false);
  if (option('--screenshot')) await page.screenshot({ path: option('--screenshot'), fullPage: true });
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

  // Save changed values: green "Config updated", saved, shown, back to viewing.
  await page.locator('#cfg_platform_site_id').fill(HOSTILE_SITE);
  await page.locator('#cfg_px4_port').fill('53002');
  await page.getByRole('button', { name: '保存' }).click();
  const message = page.locator('#cfgMsg');
  await message.filter({ hasText: 'Config updated' }).waitFor({ timeout: 10000 });
  assert.strictEqual(await message.evaluate((m) => m.style.color), 'green');
  const saved = JSON.parse(fs.readFileSync(configPath, 'utf8'));
  assert.deepStrictEqual([saved.platform.site_id, saved.px4ctrl.port, saved.mission.fs_idle], [HOSTILE_SITE, 53002, 9]);
  const { config } = await (await context.request.get(`${base}/api/stats`)).json();
  assert.deepStrictEqual([config.platform_site_id, config.px4_port], [HOSTILE_SITE, 53002]);
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
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kovo_dashboard_'));
  const configPath = path.join(dir, 'config.json');
  fs.writeFileSync(configPath, JSON.stringify({ mission: { fs_idle: 9 } }));
  const child = spawn(option('--server'), ['--config', configPath], { stdio: ['pipe', 'pipe', 'inherit'] });
  let context;
  try {
    const base = `http://127.0.0.1:${await serverPort(child)}`;
    context = await chromium.launchPersistentContext(path.join(dir, 'profile'), {
      executablePath: '/usr/bin/chromium',
      viewport: { width: 1280, height: 900 },
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    await run(context, base, configPath);
    console.log('dashboard browser test passed');
  } finally {
    if (context) await context.close();
    child.stdin.end();  // the server ends when its standard input closes
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((e) => {
  console.error(e && e.stack ? e.stack : e);
  process.exit(1);
});
