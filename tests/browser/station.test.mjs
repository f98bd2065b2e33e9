// The station's dashboard in Debian's Chromium, against a station updating
// three simulated GCUs on the virtual USB bus: the tiles appear and their bars
// move, a failing GCU's tile says why, the record's history shows the updates,
// a serial number written as markup stays text, and when the station goes away
// the page says so and reconnects to the station started again on its port.
//
// node station.test.mjs BIN_DIR PRELOAD_LIBRARY SCREENSHOT.png
import { spawn } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { randomBytes } from 'node:crypto';
import { createInterface } from 'node:readline';
import { chromium } from 'playwright-core';

const [binDir, preload, screenshotPath] = process.argv.slice(2);
const chromiumPath = process.env.ORV_CHROMIUM || '/usr/bin/chromium';
const work = mkdtempSync(join(tmpdir(), 'orv-dashboard-'));
// The bus, the record's spool and gcutool's settings are the run's own.
const env = {
  ...process.env,
  ORV_VIRTUAL_USB_DIR: join(work, 'bus'),
  XDG_DATA_HOME: join(work, 'data'),
  XDG_CONFIG_HOME: join(work, 'config'),
};
mkdirSync(env.ORV_VIRTUAL_USB_DIR);
const children = [];
// Generous: the machine may be loaded and the tools built with sanitizers.
const deadlineMs = 120000;

const failingSerial = 'GCUB0002';
const markupSerial = 'GCU<img src=x onerror="window.__injected=1">';

function run(tool, args) {
  return new Promise((resolve, reject) => {
    const child = spawn(join(binDir, tool), args, { env, stdio: ['ignore', 'ignore', 'pipe'] });
    let errors = '';
    child.stderr.on('data', (chunk) => (errors += chunk));
    child.on('exit', (code) => (code === 0 ? resolve() : reject(new Error(`${tool} exited ${code}: ${errors}`))));
  });
}

function start(tool, args, extraEnv = {}) {
  const child = spawn(join(binDir, tool), args, { env: { ...env, ...extraEnv }, stdio: ['ignore', 'pipe', 'pipe'] });
  child.lines = [];
  child.exited = new Promise((resolve) => child.on('exit', resolve));
  createInterface({ input: child.stdout }).on('line', (line) => child.lines.push(line));
  // What gcutool says on standard error explains a failure; the simulators' fault log does not.
  if (tool === 'gcutool') child.stderr.on('data', (chunk) => process.stderr.write(`[${tool}] ${chunk}`));
  else child.stderr.resume();
  children.push(child);
  return child;
}

async function waitFor(what, condition) {
  const until = Date.now() + deadlineMs;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > until) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

// The station's JSON event that carries its dashboard's address.
function startStation(listen, ...more) {
  const station = start(
    'gcutool',
    ['--json', 'station', join(work, 'firmware.enc'), '--listen', listen, '--station', 'line-1',
      '--record', `sqlite://${join(work, 'record.sqlite')}`, ...more],
    { LD_PRELOAD: preload });
  station.url = waitFor('the station to serve its page', () => {
    for (const line of station.lines) {
      const event = JSON.parse(line);
      if (event.url) return event.url;
    }
    return null;
  });
  return station;
}

async function stopStation(station) {
  station.kill('SIGTERM');
  const code = await station.exited;
  children.splice(children.indexOf(station), 1);
  return code;
}

async function main() {
  writeFileSync(join(work, 'image.bin'), randomBytes(256 * 1024));
  await run('gcu-keytool', ['genkey', join(work, 'device.pem'), '2048']);
  await run('gcu-keytool', ['orvkc', join(work, 'device.pem'), join(work, 'device.orvkc')]);
  await run('gcu-fwpack', ['--image', join(work, 'image.bin'), '--device-key', join(work, 'device.orvkc'),
    '--out', join(work, 'firmware.enc'), '--version', '1.3.0']);
  const sim = (serial, ...more) =>
    start('gcu-sim', ['--serial', serial, '--version', '1.2.3', '--device-key', join(work, 'device.pem'), ...more]);
  // A link slow enough that a bar is seen between its ends.
  sim('GCUA0001', '--baud', '230400');
  sim(failingSerial, '--fail', '1');
  sim(markupSerial, '--baud', '460800');

  let station = startStation('127.0.0.1:0');
  const url = await station.url;
  const port = new URL(url).port;

  const browser = await chromium.launch({ executablePath: chromiumPath, args: ['--no-sandbox'] });
  const page = await browser.newPage({ viewport: { width: 1280, height: 960 } });
  const problems = [];
  page.on('dialog', (dialog) => {
    problems.push(`a dialog opened: ${dialog.message()}`);
    dialog.dismiss();
  });
  page.on('pageerror', (error) => problems.push(`page error: ${error.message}`));
  page.on('console', (message) => {
    if (message.type() === 'error' && !message.text().includes('WebSocket connection'))
      problems.push(`console: ${message.text()}`);
  });
  await page.goto(url);

  const tile = (serial) => page.locator('.tile').filter({ has: page.locator('.serial', { hasText: serial }) });
  await waitFor('three tiles', async () => (await page.locator('.tile').count()) === 3);

  // The slow GCU's bar is seen part-way and then further on.
  const bar = tile('GCUA0001').locator('progress');
  const first = await waitFor('the bar to start', async () => {
    const value = await bar.evaluate((b) => b.value);
    return value > 0 && value < 100 ? value : 0;
  });
  await waitFor('the bar to move on', async () => (await bar.evaluate((b) => b.value)) > first);
  const numbers = await tile('GCUA0001').locator('.numbers').textContent();
  if (!/step \d+ of \d+/.test(numbers)) throw new Error(`the tile shows no step: ${numbers}`);

  // The failing GCU's tile says how it failed, by the outcome's one name (as
  // the record and the report have it: it stalled), and why.
  await waitFor('the failing GCU to stall', async () =>
    (await tile(failingSerial).getAttribute('class')).includes('stalled'));
  const reason = await tile(failingSerial).locator('.reason').textContent();
  if (reason.length < 10) throw new Error(`the failed tile gives no reason: "${reason}"`);

  await waitFor('both others to be done', async () =>
    (await page.locator('.tile.done').count()) === 2);
  const versions = await tile('GCUA0001').locator('.versions').textContent();
  if (!versions.includes('1.2.3') || !versions.includes('1.3.0'))
    throw new Error(`the done tile does not show both versions: ${versions}`);
  await waitFor('the counters', async () =>
    (await page.locator('#count-done').textContent()) === '2' &&
    (await page.locator('#count-failed').textContent()) === '1');

  // The record's history has the updates, the failed one too (it stalled: the
  // GCU refused every step for the stall time).
  await waitFor('history rows', async () => {
    const rows = await page.locator('#history tbody tr').allTextContents();
    return rows.some((row) => row.includes('GCUA0001') && row.includes('done')) &&
      rows.some((row) => row.includes(failingSerial) && row.includes('stalled'));
  });

  // The serial number written as markup is shown as those characters, in the
  // tile and the history, and runs nothing.
  const shownSerials = await page.locator('.tile .serial').allTextContents();
  if (!shownSerials.includes(markupSerial)) throw new Error(`the serial number is not shown as text: ${shownSerials}`);
  if ((await page.locator('img').count()) !== 0) throw new Error('markup from a serial number became an element');
  await waitFor('the markup serial in the history', async () =>
    (await page.locator('#history tbody').textContent()).includes(markupSerial));
  if (await page.evaluate(() => window.__injected)) throw new Error('a serial number ran script');

  // A click on a tile shows what the terminal printed for it.
  await tile(failingSerial).click();
  const log = await page.locator('#detail-log').textContent();
  if (!log.includes(reason)) throw new Error(`the GCU's log lacks its outcome: ${log}`);

  await page.screenshot({ path: screenshotPath, fullPage: true });

  // The station goes away: the page says so, and reconnects by itself to the
  // station started again on the same port.
  if (!(await page.locator('#banner').isHidden())) throw new Error('the banner shows while connected');
  // Its exit status is the worst of its GCUs': the stalled one's.
  const code = await stopStation(station);
  if (code !== 4) throw new Error(`the station exited ${code}, not 4 (stalled)`);
  await waitFor('the connection-lost banner', () => page.locator('#banner').isVisible());
  // Started again for no GCU of these, so that it has nothing to finish at the end.
  station = startStation(`127.0.0.1:${port}`, '--serial-prefix', 'NONE');
  await station.url;
  await waitFor('the page to reconnect', () => page.locator('#banner').isHidden());
  await waitFor("the new station's snapshot, with none of the old GCUs", async () =>
    (await page.locator('.tile').count()) === 0);

  if (problems.length) throw new Error(problems.join('\n'));
  await browser.close();
  const lastCode = await stopStation(station);
  if (lastCode !== 0) throw new Error(`the station with no GCU exited ${lastCode}`);
}

let failed = false;
try {
  await main();
  console.log('dashboard: every check held');
} catch (error) {
  failed = true;
  console.error(`dashboard: ${error.stack || error}`);
}
for (const child of children) child.kill('SIGTERM');
await Promise.all(children.map((child) => child.exited));
if (!failed) rmSync(work, { recursive: true, force: true });
else console.error(`files of the run kept in ${work}`);
process.exit(failed ? 1 : 0);
