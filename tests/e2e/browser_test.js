#!/usr/bin/env node
// node browser_test.js --server PATH [--screenshot FILE]: the dashboard of
// kovo_dashboard_server in headless chromium, its timers on a fake clock.
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
const CARDS = ['当前状态', '连接状态', '任务统计', '待发送（缓存）', '最近错误', '任务历史', '运行状态', '配置'];
const TOKEN = 'tok-1';

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

async function run(context, base, configPath) {
  const page = context.pages()[0] || (await context.newPage());
  let loads = 0;
  page.on('load', () => { loads += 1; });
  const start = new Date('2026-05-17T10:00:00');
  await page.clock.install({ time: start });
  await page.clock.pauseAt(new Date(start.getTime() + 1000));

  // Viewing: live state, errors, the newest missions, no secret; a reload a second.
  await page.goto(`${base}/`);
  assert.deepStrictEqual(await page.locator('h2').allTextContents(), CARDS);
  const live = await page.locator('.live b').allTextContents();
  assert.deepStrictEqual(live, ['fs 4 · hover_photo', '1.2 m', '76.5 %', 'M202605170055', '2 / 4 高度', '3']);
  assert.ok((await page.locator('td').allTextContents()).includes('[PLATFORM] upload failed: HTTP 500'));
  const history = page.locator('div.card', { has: page.locator('h2', { hasText: '任务历史' }) });
  const rows = history.locator('tr:has(td)');
  assert.strictEqual(await rows.count(), 20, 'newest 20 of 55 missions');
  assert.strictEqual(await rows.first().locator('td').first().textContent(), 'M202605170055');
  assert.ok(!(await page.content()).includes('4821-9037'), 'the access key is never shown');
  assert.strictEqual(await page.locator('#cfgForm').isVisible(), false);
  if (option('--screenshot')) await page.screenshot({ path: option('--screenshot'), fullPage: true });
  await letPageReload(page, 1100);
  assert.strictEqual(loads, 2);

  // Older pages, and back; a phone-sized window keeps the page readable.
  await history.getByRole('link', { name: '较早 »' }).click();
  await page.waitForURL(/page=2/);
  assert.strictEqual(await rows.first().locator('td').first().textContent(), 'M202605170035');
  assert.ok((await history.textContent()).includes('第 2 / 3 页 (共 55 条)'));
  await page.setViewportSize({ width: 390, height: 800 });
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth), 'no sideways page');
  await page.setViewportSize({ width: 1280, height: 900 });
  await page.goto(`${base}/`);
  loads = 2;

  // "修改配置" shows the form; it stays open through the reload already due, then no reload.
  await page.getByRole('button', { name: '修改配置' }).click();
  assert.strictEqual(await page.locator('#cfgForm').isVisible(), true);
  await letPageReload(page, 1100);
  assert.strictEqual(await page.locator('#cfgForm').isVisible(), true, 'form open after the reload');
  await page.clock.runFor(5000);
  assert.strictEqual(loads, 3, 'no reload while editing');
  assert.strictEqual(await page.locator('#cfg_platform_site_id').inputValue(), 'qtpe-8264');

  // Saving asks for the token once and keeps it; the restart-only value is marked pending.
  const asked = [];
  page.on('dialog', (dialog) => { asked.push(dialog.type()); dialog.accept(TOKEN); });
  await page.locator('#cfg_platform_site_id').fill(HOSTILE_SITE);
  await page.locator('#cfg_px4_port').fill('53002');
  await page.getByRole('button', { name: '保存' }).click();
  const message = page.locator('#cfgMsg');
  await message.filter({ hasText: 'Config updated (重启后生效: px4ctrl.port)' }).waitFor({ timeout: 10000 });
  assert.strictEqual(await message.evaluate((m) => m.style.color), 'green');
  assert.deepStrictEqual(asked, ['prompt']);
  assert.strictEqual(await page.evaluate(() => localStorage.getItem('kovoToken')), TOKEN);
  const saved = JSON.parse(fs.readFileSync(configPath, 'utf8'));
  assert.deepStrictEqual([saved.platform.site_id, saved.px4ctrl.port, saved.mission.fs_idle, saved.socketio.access_key],
    [HOSTILE_SITE, 53002, 9, '4821-9037']);
  const { config } = await (await context.request.get(`${base}/api/stats`)).json();
  assert.deepStrictEqual([config.platform_site_id, config.px4_port, config.restart_pending], [HOSTILE_SITE, 53002, ['px4_port']]);
  await letPageReload(page, 1100);
  assert.strictEqual(await page.locator('#cfgForm').isVisible(), false, 'viewing after a successful save');
  assert.strictEqual(await page.locator('#cfg_platform_site_id').inputValue(), HOSTILE_SITE);
  assert.strictEqual(await page.locator('span.pending').count(), 2, 'px4_port pending in the form and the table');
  // The hostile texts, the new site among them, stay text in their cells.
  const cells = await page.locator('td').allTextContents();
  for (const text of [HOSTILE_MISSION, HOSTILE_STRATEGY, HOSTILE_SITE]) assert.ok(cells.includes(text), text);
  assert.deepStrictEqual(await page.evaluate(() => [window.kovoPwned, document.images.length, document.scripts.length]),
    [undefined, 0, 1]);

  // A failed save is shown in red and keeps editing.
  await page.getByRole('button', { name: '修改配置' }).click();
  await page.route('**/api/config', (route) => route.continue({ postData: '{"broken":' }));
  await page.getByRole('button', { name: '保存' }).click();
  await message.filter({ hasText: 'Invalid JSON: ' }).waitFor({ timeout: 10000 });
  assert.strictEqual(await message.evaluate((m) => m.style.color), 'red');
  assert.strictEqual(await page.evaluate(() => sessionStorage.getItem('cfgEditing')), 'true');
  await page.unroute('**/api/config');
  // A refused value names the field; the token is not asked again.
  await page.locator('#cfg_siyi_port').fill('70000');
  await page.getByRole('button', { name: '保存' }).click();
  await message.filter({ hasText: 'Invalid values: siyi.http_port out of range 1..65535' }).waitFor({ timeout: 10000 });
  assert.deepStrictEqual(asked, ['prompt']);
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kovo_dashboard_'));
  const configPath = path.join(dir, 'config.json');
  fs.writeFileSync(configPath, JSON.stringify({ mission: { fs_idle: 9 }, stats: { auth_token: TOKEN } }));
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
