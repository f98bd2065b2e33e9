// The dashboard's page: a snapshot and then changes over /ws, the record's
// history and stats over plain requests. Everything from a GCU, a firmware
// file or the record is put in as text (textContent), never as markup.
'use strict';

const tiles = new Map(); // key -> { gcu, log, element }
let mode = 'station';
let socket = null;
let reconnectDelayMs = 1000;
let lastHeardMs = 0;
let pingTimer = null;
let shownKey = null;
let historyTimer = null;

const $ = (id) => document.getElementById(id);

function text(value) {
  return value === undefined || value === null || value === '' ? '–' : String(value);
}

function make(tag, className, content) {
  const element = document.createElement(tag);
  if (className) element.className = className;
  if (content !== undefined) element.textContent = content;
  return element;
}

function bytesText(bytes) {
  if (bytes < 1024) return `${Math.round(bytes)} B`;
  if (bytes < 1024 * 1024) return `${(bytes / 1024).toFixed(1)} KiB`;
  return `${(bytes / (1024 * 1024)).toFixed(1)} MiB`;
}

function clockText(seconds) {
  const whole = Math.max(0, Math.round(seconds));
  return `${String(Math.floor(whole / 60)).padStart(2, '0')}:${String(whole % 60).padStart(2, '0')}`;
}

function shareText(share) {
  return share === null || share === undefined ? '–' : `${(share * 100).toFixed(1)} %`;
}

// --- The live board -------------------------------------------------------

function connect() {
  const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
  socket = new WebSocket(`${scheme}://${location.host}/ws`);
  socket.addEventListener('open', () => {
    $('banner').hidden = true;
    reconnectDelayMs = 1000;
    lastHeardMs = Date.now();
    pingTimer = setInterval(ping, 10000);
  });
  socket.addEventListener('message', (event) => {
    lastHeardMs = Date.now();
    if (event.data === 'pong') return;
    receive(JSON.parse(event.data));
  });
  socket.addEventListener('close', () => {
    clearInterval(pingTimer);
    $('banner').hidden = false;
    setTimeout(connect, reconnectDelayMs);
    reconnectDelayMs = Math.min(reconnectDelayMs * 2, 5000);
  });
}

// A socket that has heard nothing for 30 s is taken for dead, as a cable
// pulled out of a switch never closes it.
function ping() {
  if (Date.now() - lastHeardMs > 30000) {
    socket.close();
    return;
  }
  if (socket.readyState === WebSocket.OPEN) socket.send('ping');
}

function receive(message) {
  switch (message.type) {
    case 'snapshot':
      showSnapshot(message);
      break;
    case 'gcu':
      showGcu(message.gcu, message.log || []);
      if (message.counters) showCounters(message.counters);
      break;
    case 'counters':
      showCounters(message.counters);
      break;
    case 'remove':
      removeTile(message.serial);
      break;
  }
}

function showSnapshot(snapshot) {
  mode = snapshot.mode;
  const fleet = mode === 'fleet';
  document.title = fleet ? 'GCU fleet' : `GCU station ${snapshot.station}`;
  $('title').textContent = fleet ? 'GCU fleet' : `Station ${snapshot.station}`;
  for (const element of document.querySelectorAll('.station-only')) element.hidden = fleet;
  for (const element of document.querySelectorAll('.fleet-only')) element.hidden = !fleet;
  $('firmware-file').textContent = text(snapshot.firmware.file);
  // The version the GCUs must run afterwards, when the station was told; else
  // what the file says of itself.
  $('firmware-version-label').textContent = snapshot.firmware.version ? 'Version' : 'Description';
  $('firmware-version').textContent = text(snapshot.firmware.version || snapshot.firmware.description);
  $('firmware-sha256').textContent = text(snapshot.firmware.sha256);
  showCounters(snapshot.counters);
  for (const key of [...tiles.keys()]) removeTile(key);
  for (const gcu of snapshot.gcus) showGcu(gcu, gcu.log, true);
  refreshRecord();
}

function showCounters(counters) {
  $('count-in_progress').textContent = counters.in_progress;
  $('count-done').textContent = counters.done;
  $('count-failed').textContent = counters.failed;
  $('count-yield').textContent = shareText(counters.yield);
  $('count-first_pass_yield').textContent = shareText(counters.first_pass_yield);
  $('count-units_per_hour').textContent = counters.units_per_hour;
}

function tileElement(key) {
  const element = make('article', 'tile');
  element.dataset.key = key;
  for (const part of ['serial', 'port', 'state', 'numbers', 'versions', 'reason'])
    element.append(make('div', part));
  const bar = make('progress');
  bar.max = 100;
  bar.value = 0;
  element.querySelector('.state').after(bar);
  element.addEventListener('click', () => showDetail(key));
  $('tiles').append(element);
  return element;
}

function showGcu(gcu, newLines, replaceLog) {
  const key = gcu.key;
  let tile = tiles.get(key);
  if (!tile) {
    tile = { gcu, log: [], element: tileElement(key) };
    tiles.set(key, tile);
  }
  const finishing = gcu.outcome && !tile.gcu.outcome;
  tile.gcu = gcu;
  tile.log = replaceLog ? [...newLines] : tile.log.concat(newLines);
  if (tile.log.length > 500) tile.log.splice(0, tile.log.length - 500);
  drawTile(tile);
  if (shownKey === key) drawDetail();
  $('no-gcus').hidden = mode === 'fleet' || tiles.size > 0;
  if (finishing && !replaceLog) scheduleRecordRefresh(1500);
}

function drawTile(tile) {
  const gcu = tile.gcu;
  const element = tile.element;
  element.className = `tile ${gcu.state}`;
  element.querySelector('.serial').textContent = gcu.serial || '(no serial number)';
  element.querySelector('.port').textContent = text(gcu.port);
  element.querySelector('.state').textContent = gcu.state;
  const bar = element.querySelector('progress');
  bar.value = gcu.percent || (gcu.outcome === 'done' ? 100 : 0);
  let numbers = '';
  if (gcu.steps_total) numbers = `step ${gcu.steps_done || 0} of ${gcu.steps_total} · ${gcu.percent || 0} %`;
  if (!gcu.outcome && gcu.rate) numbers += ` · ${bytesText(gcu.rate)}/s`;
  if (!gcu.outcome && gcu.seconds_left !== undefined && gcu.seconds_left !== null)
    numbers += ` · ${clockText(gcu.seconds_left)} left`;
  element.querySelector('.numbers').textContent = numbers;
  element.querySelector('.versions').textContent =
    gcu.version_before || gcu.version_after ? `${text(gcu.version_before)} → ${text(gcu.version_after)}` : '';
  element.querySelector('.reason').textContent = gcu.outcome && gcu.outcome !== 'done' ? text(gcu.reason) : '';
}

function removeTile(key) {
  const tile = tiles.get(key);
  if (!tile) return;
  tile.element.remove();
  tiles.delete(key);
  if (shownKey === key) closeDetail();
  $('no-gcus').hidden = mode === 'fleet' || tiles.size > 0;
}

function showDetail(key) {
  shownKey = key;
  $('detail').hidden = false;
  drawDetail();
}

function drawDetail() {
  const tile = tiles.get(shownKey);
  if (!tile) return;
  $('detail-title').textContent = tile.gcu.serial || tile.gcu.port || '';
  $('detail-log').textContent = tile.log
    .map((line) => `${line.time || ''}  ${line.kind}  ${line.text}`)
    .join('\n');
}

function closeDetail() {
  shownKey = null;
  $('detail').hidden = true;
}

// --- The record -----------------------------------------------------------

function scheduleRecordRefresh(delayMs) {
  clearTimeout(historyTimer);
  historyTimer = setTimeout(refreshRecord, delayMs);
}

async function fetchTable(path) {
  const response = await fetch(path, { credentials: 'same-origin', cache: 'no-store' });
  const body = await response.json();
  if (!response.ok) throw new Error(body.error || `HTTP ${response.status}`);
  return body;
}

function fillTable(table, answer, hidden) {
  const shown = answer.columns.map((name, index) => ({ name, index })).filter((c) => !hidden.includes(c.name));
  const head = table.tHead;
  const body = table.tBodies[0];
  head.replaceChildren();
  body.replaceChildren();
  const headRow = head.insertRow();
  for (const column of shown) headRow.append(make('th', '', column.name.replaceAll('_', ' ')));
  for (const row of answer.rows) {
    const line = body.insertRow();
    for (const column of shown) {
      const value = row[column.index];
      const className = column.name === 'outcome' ? String(value) : ['reason', 'serial', 'reasons'].includes(column.name) ? 'wraps' : '';
      const cell = make('td', className, text(value));
      line.append(cell);
    }
  }
}

async function refreshHistory() {
  const query = new URLSearchParams();
  if ($('filter-serial').value) query.set('serial', $('filter-serial').value);
  if ($('filter-outcome').value) query.set('outcome', $('filter-outcome').value);
  try {
    const answer = await fetchTable(`/api/history?${query}`);
    fillTable($('history'), answer, mode === 'fleet' ? [] : ['station']);
    $('history-status').textContent = answer.rows.length ? '' : 'No updates in the record match.';
  } catch (error) {
    $('history').tBodies[0].replaceChildren();
    $('history-status').textContent = `History unavailable: ${error.message}`;
  }
}

async function refreshStats() {
  try {
    const answer = await fetchTable('/api/stats?by=station,day');
    fillTable($('stats'), answer, []);
    $('stats-status').textContent = answer.rows.length ? '' : 'No finished updates in the last 30 days.';
  } catch (error) {
    $('stats-status').textContent = `Stats unavailable: ${error.message}`;
  }
}

async function refreshRecord() {
  await refreshHistory();
  if (mode === 'fleet') await refreshStats();
  scheduleRecordRefresh(mode === 'fleet' ? 10000 : 20000);
}

document.addEventListener('DOMContentLoaded', () => {
  $('detail-close').addEventListener('click', closeDetail);
  $('filter-serial').addEventListener('input', () => scheduleRecordRefresh(300));
  $('filter-outcome').addEventListener('change', () => scheduleRecordRefresh(0));
  connect();
});
