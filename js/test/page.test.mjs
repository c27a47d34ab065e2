// The page in headless Chromium, opened from disk: VEMK_PAGE is the built
// index.html, VEMK_CHROMIUM the browser, VEMK_TEST_DEPS the folder that
// holds puppeteer-core, VEMK_CORPUS_DIR and VEMK_CORPUS_HASHES as for the
// package's tests.
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { pathToFileURL } from 'node:url';

const puppeteer = createRequire(join(process.env.VEMK_TEST_DEPS, 'package.json'))('puppeteer-core');
const pageUrl = pathToFileURL(process.env.VEMK_PAGE).href;
const corpusFile = join(process.env.VEMK_CORPUS_DIR, 'alice29.txt');
const expectedHash = readFileSync(process.env.VEMK_CORPUS_HASHES, 'utf8')
  .split('\n')
  .find((row) => row.endsWith('  alice29.txt.vemk'))
  .split(' ')[0];
const sha256 = (bytes) => createHash('sha256').update(bytes).digest('hex');

const work = mkdtempSync(join(tmpdir(), 'vemk-page-'));
const downloads = join(work, 'downloads');
let browser;
let page;
let cdp;
const scriptErrors = [];
const requestsAfterLoad = [];

before(async () => {
  browser = await puppeteer.launch({
    executablePath: process.env.VEMK_CHROMIUM,
    headless: true,
    userDataDir: join(work, 'profile'),
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  cdp = await browser.target().createCDPSession();
  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads, eventsEnabled: true });
  page = await browser.newPage();
  page.on('pageerror', (e) => scriptErrors.push(String(e)));
  page.on('console', (message) => {
    if (message.type() === 'error') scriptErrors.push(message.text());
  });
  await page.goto(pageUrl, { waitUntil: 'load' });
  page.on('request', (request) => requestsAfterLoad.push(request.url()));
  await page.waitForSelector('body[data-ready="true"]', { timeout: 20000 });
});

after(async () => {
  await browser?.close();
  rmSync(work, { recursive: true, force: true });
});

// Gives `files` (if any) to the file input and waits for `count` results in all.
async function choose(files, count) {
  if (files.length > 0) {
    const input = await page.$('#files');
    await input.uploadFile(...files);
  }
  await page.waitForFunction((n) => document.querySelectorAll('#results li a, #results li [role=alert]').length >= n,
    { timeout: 30000 }, count);
  return page.$$eval('#results li', (items) => items.map((li) => ({
    text: li.textContent,
    download: li.querySelector('a')?.getAttribute('download') ?? null,
    alert: li.querySelector('[role=alert]')?.textContent ?? null,
  })));
}

// Clicks the download link of result `index` and gives the file it saved.
async function download(index, name) {
  const done = new Promise((resolve, reject) => {
    cdp.on('Browser.downloadProgress', (e) => {
      if (e.state === 'completed') resolve();
      if (e.state === 'canceled') reject(new Error(`download of ${name} canceled`));
    });
  });
  await page.click(`#results li:nth-child(${index + 1}) a`);
  await done;
  cdp.removeAllListeners('Browser.downloadProgress');
  return readFileSync(join(downloads, name));
}

test('the page compresses a file and restores it, offline, with no script error', { timeout: 120000 }, async () => {
  const original = readFileSync(corpusFile);
  let results = await choose([corpusFile], 1);
  assert.equal(results[0].download, 'alice29.txt.vemk');
  assert.match(results[0].text, /compressed 152,089 bytes to 89,735 bytes in [\d.]+ ms/);
  const packed = await download(0, 'alice29.txt.vemk');
  assert.equal(sha256(packed), expectedHash);

  // The download given back, with a cut copy beside it, in one choice.
  const packedFile = join(work, 'alice29.txt.vemk');
  const cutFile = join(work, 'cut.vemk');
  writeFileSync(packedFile, packed);
  writeFileSync(cutFile, packed.subarray(0, packed.length - 100));
  results = await choose([packedFile, cutFile], 3);
  assert.equal(results[1].download, 'alice29.txt');
  const restored = await download(1, 'alice29.txt');
  assert.ok(restored.equals(original));
  assert.equal(results[2].download, null);
  assert.equal(results[2].alert, 'cut.vemk: not restored: damaged file: coded stream cut short');

  assert.deepEqual(scriptErrors, []);
  // The downloads are of the page's own blobs; nothing else was asked for.
  assert.deepEqual(requestsAfterLoad.filter((url) => !url.startsWith('blob:')), []);
});

test('a file dropped on the area is compressed', async () => {
  const before = await page.$$eval('#results li', (items) => items.length);
  await page.evaluate(() => {
    const files = new DataTransfer();
    files.items.add(new File(['dropped, not chosen'], 'dropped.txt'));
    document.getElementById('drop').dispatchEvent(new DragEvent('drop', { dataTransfer: files, bubbles: true, cancelable: true }));
  });
  const results = await choose([], before + 1);
  assert.equal(results[before].download, 'dropped.txt.vemk');
  assert.deepEqual(scriptErrors, []);
});

test('the page is reached by keyboard and follows the dark setting', async () => {
  await page.reload({ waitUntil: 'load' });
  await page.waitForSelector('body[data-ready="true"]');
  await page.keyboard.press('Tab');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'files');
  assert.equal(await page.$eval('label[for=files]', (l) => l.textContent), 'Choose files');
  const background = () => page.evaluate(() => getComputedStyle(document.body).backgroundColor);
  await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: 'light' }]);
  const light = await background();
  await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: 'dark' }]);
  assert.notEqual(await background(), light);
  assert.deepEqual(scriptErrors, []);
});
