// boardsim's HTML timeline in a real browser: what the page plots and shows is
// checked against the JSON Lines and the text trace of the same run.
import assert from 'node:assert/strict';
import {execFileSync} from 'node:child_process';
import {mkdtempSync, openSync, closeSync, readFileSync, rmSync, writeFileSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {dirname, join, resolve} from 'node:path';
import {after, before, describe, test} from 'node:test';
import {fileURLToPath, pathToFileURL} from 'node:url';

import {launch} from './browser.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const boardsim = process.env.BOARDSIM || resolve(here, '../../build/bin/boardsim');
const dir = mkdtempSync(join(tmpdir(), 'timeline-test-'));
let browser;

// Runs boardsim with args, its stdout into a file; returns the file's path.
function run(name, args) {
  const out = join(dir, name), fd = openSync(out, 'w');
  try {
    execFileSync(boardsim, args, {stdio: ['ignore', fd, 'inherit']});
  } finally {
    closeSync(fd);
  }
  return out;
}

const jsonLines = (path) => readFileSync(path, 'utf8').trimEnd().split('\n').map((l) => JSON.parse(l));

// Opens a page, recording its errors and any request that leaves the file.
async function open(path) {
  const page = await browser.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  page.on('console', (m) => { if (m.type() === 'error') problems.push(`console error: ${m.text()}`); });
  page.on('request', (r) => { if (!r.url().startsWith('file:')) problems.push(`request: ${r.url()}`); });
  await page.setViewport({width: 1280, height: 900});
  await page.goto(pathToFileURL(path).href, {waitUntil: 'load'});
  return {page, problems};
}

const rootData = (page) => page.evaluate(() => ({...document.getElementById('timeline-root').dataset}));

before(async () => {
  browser = await launch();
});

after(async () => {
  await browser?.close();
  rmSync(dir, {recursive: true, force: true});
});

describe('the default run', () => {
  let page, problems, events, textLines;

  before(async () => {
    const trace = join(dir, 'default.jsonl');
    const html = run('default.html', ['run', '--default', '--format', 'html', '--trace', trace]);
    events = jsonLines(trace);
    textLines = readFileSync(run('default.txt', ['run', '--default', '--format', 'text']), 'utf8').split('\n');
    ({page, problems} = await open(html));
  });

  test('loads with no error and no request outside the file', () => {
    assert.deepEqual(problems, []);
  });

  test('plots and draws every event of the trace', async () => {
    assert.ok(events.length > 100, `only ${events.length} events`);
    const data = await rootData(page);
    assert.equal(Number(data.eventCount), events.length);
    assert.equal(Number(data.drawnCount), events.length);
  });

  // What a click shows must be the event the text trace has under that seq.
  for (const [what, pick, lane] of [
    ['the first smn-write', (e) => e.event === 'smn-write', 'SMN'],
    ['the second step', (e) => e.event === 'step' && e.seq > events.find((f) => f.event === 'step').seq, 'Steps'],
    ['the first write to an FCH register', (e) => e.event === 'mmio-write' && /^0xFED8[01]...$/.test(e.address), 'FCH MMIO'],
  ]) {
    test(`clicking ${what} shows it in the detail panel`, async () => {
      const event = events.find(pick);
      assert.ok(event, `no ${what} in the trace`);
      const line = textLines.find((l) => l.trim().split(/\s+/)[0] === String(event.seq));
      assert.ok(line, `seq ${event.seq} is not in the text trace`);

      const at = await page.evaluate((seq) => window.timeline.locate(seq), event.seq);
      await page.mouse.move(at.x, at.y);
      assert.equal(await page.$eval('#tooltip', (t) => (t.hidden ? null : t.textContent)), line);
      await page.mouse.click(at.x, at.y);

      const shown = await page.$eval('#event-detail', (d) => ({
        seq: d.dataset.seq,
        heading: d.querySelector('h2')?.textContent,
        text: d.querySelector('pre.text')?.textContent,
        json: d.querySelector('pre.json')?.textContent,
      }));
      assert.equal(shown.seq, String(event.seq));
      assert.match(shown.heading, new RegExp(`^seq ${event.seq} .*\\b${lane} lane$`));
      assert.equal(shown.text, line);
      assert.deepEqual(JSON.parse(shown.json), event);
      assert.deepEqual(problems, []);
    });
  }

  // The default board's strap is found: BoardInitDxe mirrors it into Setup.
  test('the Setup panel highlights exactly the fields the run changed', async () => {
    const rows = await page.$$eval('#setup-table tbody tr', (trs) =>
      trs.map((tr) => ({changed: tr.classList.contains('changed'), cells: [...tr.cells].map((c) => c.textContent)})));
    assert.ok(rows.length > 20);
    assert.deepEqual(rows.filter((r) => r.changed).map((r) => r.cells), [
      ['ProbeGatedOption', '0x1', '0x0'],
      ['BoardProbeResult', '0x0', '0x1'],
    ]);
    const final = events.at(-1);
    assert.equal(final.event, 'final');
    const siTune = rows.find((r) => r.cells[0] === 'SiTuneEnable');
    assert.equal(siTune.cells[2], `0x${final.setup.substr(2 * 0x20A, 2).replace(/^0/, '')}`);
  });
});

describe('other runs', () => {
  test('a run that starts without Setup says so', async () => {
    const scenario = join(dir, 'no-setup.json');
    writeFileSync(scenario, JSON.stringify({setup: null, run: ['SignalTuneDxe']}));
    const trace = join(dir, 'no-setup.jsonl');
    const {page, problems} = await open(run('no-setup.html', ['run', scenario, '--format', 'html', '--trace', trace]));
    assert.deepEqual(problems, []);
    assert.equal(Number((await rootData(page)).eventCount), jsonLines(trace).length);
    assert.match(await page.$eval('#setup-summary', (p) => p.textContent), /absent before the run/);
    await page.close();
  });

  test('a long run is drawn whole', async () => {
    const scenario = join(dir, 'long.json');
    const steps = Array.from({length: 100}, () => ['SignalTuneDxe', 'SubsysIdDxe']).flat();
    writeFileSync(scenario, JSON.stringify({run: steps}));
    const trace = join(dir, 'long.jsonl');
    const {page, problems} = await open(run('long.html', ['run', scenario, '--format', 'html', '--trace', trace]));
    const count = jsonLines(trace).length;
    assert.ok(count > 10000, `only ${count} events`);
    assert.deepEqual(problems, []);
    const data = await rootData(page);
    assert.equal(Number(data.eventCount), count);
    assert.equal(Number(data.drawnCount), count);
    await page.close();
  });
});
