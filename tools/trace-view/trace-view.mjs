// node trace-view.mjs TRACE OUT.png [TRACK]
//
// Opens a trace written by velmar-manager --trace in speedscope (its offline
// page, from node_modules beside this file: scripts/trace-view copies it
// there) in headless Chromium, prints the name of every track speedscope
// lists, one a line, and saves a picture of one track's timeline: the first
// whose name holds TRACK, or without TRACK the first engine's. Exit status 0; 1 when the page logged an error, the trace
// was not read or no track matched; 2 for a usage error.
import path from 'node:path';
import fs from 'node:fs';
import { fileURLToPath } from 'node:url';
import puppeteer from 'puppeteer-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const [tracePath, outPath, wanted] = process.argv.slice(2);
if (!tracePath || !outPath || process.argv.length > 5) {
  console.error('usage: trace-view.mjs TRACE OUT.png [TRACK]');
  process.exit(2);
}
if (!fs.existsSync(tracePath)) {
  console.error(`trace-view: no trace file ${tracePath}`);
  process.exit(2);
}
const modules = path.join(here, 'node_modules');
const page_ = path.join(modules, 'speedscope', 'dist', 'release', 'index.html');
const chromium = process.env.CHROMIUM || '/usr/bin/chromium';
const width = Number(process.env.TRACE_VIEW_WIDTH || 1400);
const height = Number(process.env.TRACE_VIEW_HEIGHT || 500);

// speedscope names a track "<process> (pid P), <thread> (tid T)"; the
// manager's thread names are the tracks' own names.
function trackName(title) {
  const m = title.match(/^.* \(pid \d+\), (.*) \(tid \d+\)$/);
  return m ? m[1] : title;
}

const errors = [];
const args = ['--enable-unsafe-swiftshader', '--disable-gpu-sandbox'];
// Chromium refuses to run as root with its sandbox.
if (process.getuid && process.getuid() === 0) args.push('--no-sandbox');
const browser = await puppeteer.launch({ executablePath: chromium, headless: true, args });
let status = 0;
try {
  const page = await browser.newPage();
  page.on('console', (m) => { if (m.type() === 'error') errors.push(`console: ${m.text()}`); });
  page.on('pageerror', (e) => errors.push(`page: ${e.message}`));
  page.on('requestfailed', (r) => errors.push(`request failed: ${r.url()} ${r.failure()?.errorText}`));
  // speedscope says that it cannot read a file in an alert box.
  const dialog = new Promise((resolve) => page.on('dialog', async (d) => {
    errors.push(`the page said: ${d.message()}`);
    await d.dismiss();
    resolve();
  }));
  await page.setViewport({ width, height });
  await page.goto('file://' + page_, { waitUntil: 'load' });
  const input = await page.waitForSelector('input[type=file]', { timeout: 30000 });
  await input.uploadFile(path.resolve(tracePath));
  // The toolbar reads "<track> (i/n)" once the trace is read.
  const titlePattern = '\\n([^\\n]*) \\((\\d+)/(\\d+)\\)';
  await Promise.race([
    page.waitForFunction((p) => new RegExp(p).test(document.body.innerText), { timeout: 30000 }, titlePattern),
    dialog.then(() => { throw new Error(`speedscope did not read ${tracePath}`); }),
  ]);
  const title = () => page.evaluate((p) => {
    const m = document.body.innerText.match(new RegExp(p));
    return { name: m[1], index: Number(m[2]), count: Number(m[3]) };
  }, titlePattern);
  const names = [];
  let shown = await title();
  for (let i = 0; i < shown.count; ++i) {
    if (i > 0) {
      await page.keyboard.press('n');  // speedscope's next track
      await page.waitForFunction((p, k) => {
        const m = document.body.innerText.match(new RegExp(p));
        return m && Number(m[2]) === k;
      }, { timeout: 10000 }, titlePattern, i + 1);
      shown = await title();
    }
    names.push(trackName(shown.name));
  }
  for (const name of names) console.log(name);
  const target = wanted === undefined ? names.findIndex((n) => n.startsWith('Velmar #'))
                                      : names.findIndex((n) => n.includes(wanted));
  if (target < 0) {
    errors.push(wanted === undefined ? 'no engine track in the trace' : `no track named like "${wanted}"`);
  } else {
    for (let i = names.length - 1; i > target; --i) await page.keyboard.press('p');
    await page.waitForFunction((p, k) => {
      const m = document.body.innerText.match(new RegExp(p));
      return m && Number(m[2]) === k;
    }, { timeout: 10000 }, titlePattern, target + 1);
    // Two frames for the canvas to be drawn at its final size.
    await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
    await page.screenshot({ path: outPath });
  }
} catch (e) {
  errors.push(String(e && e.message ? e.message : e));
} finally {
  await browser.close();
}
for (const e of errors) console.error(`trace-view: ${e}`);
if (errors.length) status = 1;
process.exit(status);
