// The file list page in Debian's chromium, driven by playwright-core, against
// the stack that `make run` starts (tools/run-demo on a free loopback port).
// The lists the page shows are compared row for row with what hvcall gets
// from the session's daemon for the same request, written here from the
// form's values, in the other cache slot.
//
//   node page_test.js BIN_DIR WORK_DIR page|banner
//
// "page": signed in from the printed address, the share's first page in name
// order, a name search, a type filter and a sort change (first page and a
// later one), the group labels, a refusal shown at its field, the signed-out
// message, keyboard order and narrow windows. "banner": a file created in the
// listed folder brings the change banner on the next page fetch, and Refresh
// lists the file. Screenshots go to WORK_DIR/screenshots; every server the
// test starts is stopped, even when it fails.
'use strict';

const assert = require('node:assert/strict');
const {execFile, spawn} = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const {promisify} = require('node:util');

const [binDir, workDir, scenario] = process.argv.slice(2);
const {chromium} = require(require.resolve('playwright-core', {paths: [workDir]}));

const kRunDemo = path.resolve(__dirname, '../../tools/run-demo');
const kShots = path.join(workDir, 'screenshots');
const kChromiumFlags = [
  '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync',
];
const kDeadlineMs = 150000;

const sleep = (ms) => new Promise((done) => setTimeout(done, ms));
const kStart = Date.now();
const step = (what) => console.log(((Date.now() - kStart) / 1000).toFixed(1) + ' s: ' + what);

// Polls `condition` (async) every 100 ms until it is true or `ms` passed.
async function waitFor(condition, ms, what) {
  const end = Date.now() + ms;
  for (;;) {
    if (await condition()) return;
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await sleep(100);
  }
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const {port} = server.address();
      server.close(() => resolve(port));
    });
  });
}

function portIsFree(port) {
  return new Promise((resolve) => {
    const server = net.createServer();
    server.once('error', () => resolve(false));
    server.listen(port, '127.0.0.1', () => server.close(() => resolve(true)));
  });
}

// ---- the demo stack ----------------------------------------------------------

// tools/run-demo in `dir`, as `make run` starts it. It gets SIGTERM if this
// process dies first, so that it stops its servers even then.
class Demo {
  static async start(dir) {
    for (let attempt = 0; attempt < 3; ++attempt) {
      const demo = new Demo(dir, await freePort());
      if (await demo.ready()) return demo;
      await demo.stop();
    }
    throw new Error('run-demo did not come up');
  }

  constructor(dir, port) {
    this.dir = dir;
    this.port = port;
    this.out = '';
    this.err = '';
    this.status = null;
    this.child = spawn('setpriv', ['--pdeathsig', 'TERM', '--', kRunDemo, binDir, dir], {
      env: {...process.env, PORT: String(port)},
      detached: true,
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    this.child.stdout.on('data', (chunk) => this.out += chunk);
    this.child.stderr.on('data', (chunk) => this.err += chunk);
    this.exited = new Promise((done) => this.child.on('exit', (code, signal) => {
      this.status = code !== null ? code : 128 + os.constants.signals[signal];
      done();
    }));
  }

  async ready() {
    await waitFor(() => this.status !== null || /^orv demo: ready/m.test(this.out), 90000,
                  'run-demo');
    if (this.status !== null) return false;
    const field = (pattern) => {
      const match = this.out.match(pattern);
      assert.ok(match, 'run-demo printed no ' + pattern + ':\n' + this.out);
      return match;
    };
    this.url = field(/^orv demo: ready at (\S+)/m)[1];
    this.root = field(/^ {2}ORV_ROOT {3}(.+)$/m)[1];
    [, this.share, this.alias] = field(/^ {2}share {6}(.+) \(alias (.+)\)$/m);
    this.sid = field(/^ {2}session {4}(\S+) of user/m)[1];
    this.origin = 'http://127.0.0.1:' + this.port;
    return true;
  }

  // SIGINT, as Ctrl-C; the group is killed when run-demo has not ended in 30 s.
  async stop() {
    if (this.status === null) this.child.kill('SIGINT');
    let timer;
    const ended = await Promise.race([
      this.exited.then(() => true),
      new Promise((done) => timer = setTimeout(done, 30000, false)),
    ]);
    clearTimeout(timer);
    if (!ended) {
      process.kill(-this.child.pid, 'SIGKILL');
      await this.exited;
    }
    return this.status;
  }

  async hvcall(method, body) {
    const {stdout} = await promisify(execFile)(
        path.join(binDir, 'hvcall'), ['orv-' + this.sid, method, JSON.stringify(body)],
        {env: {...process.env, ORV_ROOT: this.root}, maxBuffer: 64 << 20});
    return JSON.parse(stdout);
  }

  // The search that the page's form makes by default, with `changes`.
  query(changes = {}) {
    return {
      path: [{full_path: this.share, alias: this.alias}], recursive: true, hidden: 1,
      sort: 'name:asc', lang: 'ENG', ...changes,
    };
  }

  // The whole list of `query` through the bus, searched into slot 2 so that
  // the page's list in slot 1 stays.
  async list(query) {
    const made = await this.hvcall('create.cache', {...query, index: 2});
    assert.equal(made.error_code, 0, JSON.stringify(made));
    const page = await this.hvcall('fetch.cache',
                                   {index: 2, uuid: made.uuid, limit: 2000, offset: 0});
    assert.equal(page.datas.length, made.total);
    return {total: made.total, cluster: made.cluster, entries: page.datas};
  }
}

// ---- what the page shows -----------------------------------------------------

// The loaded rows in the document: list position, size in bytes, and the
// cells' texts.
function shownRows(page) {
  return page.$$eval('#rows [role=row]', (rows) => rows.map((row) => ({
    index: Number(row.getAttribute('aria-rowindex')) - 2,
    loading: row.classList.contains('loading'),
    bytes: Number(row.dataset.bytes),
    kind: row.dataset.kind,
    cells: [...row.querySelectorAll('[role=cell]')].map((cell) => cell.textContent),
  })).sort((a, b) => a.index - b.index));
}

// The gateway's answers other than a plain success and the pages' script
// errors, printed when the test fails.
const trouble = [];
function watched(page) {
  const note = (what) => trouble.push(((Date.now() - kStart) / 1000).toFixed(1) + ' s: ' + what);
  page.on('pageerror', (error) => note('page error: ' + error.message));
  page.on('requestfailed', (request) => note('failed: ' + request.url()));
  page.on('response', (response) => {
    if (!response.url().includes('/Orvane6/')) return;
    response.text().then((text) => {
      if (response.status() !== 200 || !/"error_code":0[,}]/.test(text)) {
        note(response.status() + ' ' + response.url() + ': ' + text.slice(0, 200));
      }
    }, () => {});
  });
  return page;
}

// Waits until the rows in view are loaded, after a new list when `uuid` is
// given (the one before it).
async function settled(page, previousUuid) {
  await waitFor(async () => {
    const uuid = await page.$eval('#list', (list) => list.dataset.uuid || '');
    if (uuid === '' || uuid === previousUuid) return false;
    const rows = await shownRows(page);
    return rows.length > 0 && rows.every((row) => !row.loading);
  }, 20000, 'the list').catch(async (error) => {
    const rows = await shownRows(page);
    throw new Error(error.message + ' (' + rows.filter((row) => row.loading).length + ' of ' +
                    rows.length + ' rows loading; summary "' +
                    (await page.textContent('#summary')) + '", banner "' +
                    (await page.textContent('#banner p')) + '")');
  });
}

// Every row in the document is the entry hvcall has at its position.
async function expectRows(page, expected, what) {
  const rows = await shownRows(page);
  assert.ok(rows.length >= 8, what + ': only ' + rows.length + ' rows shown');
  for (const row of rows) {
    const entry = expected.entries[row.index];
    assert.ok(entry, what + ': row ' + row.index + ' past the list');
    const folder = entry.filepath.slice(0, entry.filepath.lastIndexOf('/')) || '/';
    const [name, shownFolder, , date, owner, group, permissions] = row.cells;
    assert.deepEqual(
        [name, shownFolder, date, owner, group, permissions, row.bytes],
        [entry.filename, folder, entry.mt, entry.owner, entry.group, entry.privilege,
         entry.filesize],
        what + ': row ' + row.index);
  }
  return rows;
}

// Scrolls row `index` into view and waits until the page has put it into the
// document (loaded or not): the rows change only on the next frame after
// the scroll, so a wait for loaded rows alone may see the rows from before.
async function scrollToRow(page, index) {
  await page.$eval('#viewport', (viewport, row) => {
    const height = document.getElementById('probe').getBoundingClientRect().height;
    viewport.scrollTop = row * height;
  }, index);
  await waitFor(async () => (await shownRows(page)).some((row) => row.index === index), 10000,
                'row ' + index);
}

// Searches with the form as `fill` leaves it, and waits for the new list.
async function submit(page, fill) {
  await fill();
  const current = await page.$eval('#list', (list) => list.dataset.uuid || '');
  await page.click('#submit');
  await settled(page, current);
}

// The list of `query` on the page, compared with hvcall's on the first page
// and after scrolling to a later one.
async function checkSearch(page, demo, query, fill, what) {
  await submit(page, fill);
  const expected = await demo.list(query);
  // The page fetches 100 rows at a time.
  assert.ok(expected.total > 120, what + ': too short a list to page (' + expected.total + ')');
  assert.equal(await page.textContent('#summary'), expected.total + ' items', what);
  const first = await expectRows(page, expected, what + ', first page');
  assert.equal(first[0].index, 0, what);
  await scrollToRow(page, expected.total - 20);
  await settled(page, '');
  const later = await expectRows(page, expected, what + ', later page');
  assert.ok(later[later.length - 1].index === expected.total - 1, what + ': end not shown');
}

async function noSideways(page, what) {
  const widths = await page.evaluate(() => ({
    page: document.documentElement.scrollWidth,
    window: document.documentElement.clientWidth,
    list: document.getElementById('viewport').scrollWidth,
    view: document.getElementById('viewport').clientWidth,
  }));
  assert.ok(widths.page <= widths.window, what + ': the page is wider than the window ' +
            JSON.stringify(widths));
  assert.ok(widths.list <= widths.view, what + ': the rows are wider than the list ' +
            JSON.stringify(widths));
}

// ---- the scenarios -----------------------------------------------------------

// A new browser context of `options` on the printed address, once its list
// is in.
async function openDemo(browser, demo, options) {
  const context = await browser.newContext({locale: 'en-US', ...options});
  const page = watched(await context.newPage());
  await page.goto(demo.url);
  await settled(page, '');
  return {context, page};
}

async function pageScenario(browser, demo) {
  const {context, page} = await openDemo(browser, demo, {viewport: {width: 1000, height: 600}});
  assert.equal(new URL(page.url()).hash, '', 'the session stays in the address bar');
  const cookies = await context.cookies();
  assert.deepEqual(cookies.filter((c) => c.name === 'NAS_SID').map((c) => c.value),
                   [demo.sid]);

  step('signed in');
  // The share, first page in name order.
  const all = await demo.list(demo.query());
  assert.equal(await page.textContent('#summary'), all.total + ' items');
  const first = await expectRows(page, all, 'the share');
  assert.equal(first[0].index, 0);
  assert.ok(first.length < 60, 'only the rows on screen are in the document: ' + first.length);
  assert.deepEqual(first.filter((row) => row.cells[0] === 'Archive').map((row) => row.kind),
                   ['folder']);
  await page.screenshot({path: path.join(kShots, 'list.png')});

  step('the first page');
  // The folder list holds the share's sub-folders.
  await waitFor(async () => (await page.$$('#folder option')).length > 10, 10000, 'folders');

  await checkSearch(page, demo, demo.query({name: '*o*'}), () => page.fill('#name', '*o*'),
                    'name *o*');
  await checkSearch(page, demo, demo.query({type: 'extname:txt'}), async () => {
    await page.fill('#name', '');
    await page.selectOption('#type', 'extname');
    await page.fill('#extension', 'txt');
  }, 'type extname:txt');
  await checkSearch(page, demo, demo.query({sort: 'size:desc'}), async () => {
    await page.fill('#extension', '');
    await page.selectOption('#type', '');
    await page.selectOption('#sort', 'size');
    await page.selectOption('#sort-dir', 'desc');
  }, 'sort size:desc');

  step('name, type and sort');
  // The groups as labels with their counts.
  const grouped = demo.query({sort: 'name:asc', cluster: 'type'});
  await submit(page, async () => {
    await page.selectOption('#sort', 'name');
    await page.selectOption('#sort-dir', 'asc');
    await page.selectOption('#cluster', 'type');
  });
  const expected = await demo.list(grouped);
  await expectRows(page, expected, 'grouped by type');
  const labels = await page.$$eval('#groups button', (buttons) => buttons.map(
      (button) => [button.firstChild.textContent, Number(button.lastChild.textContent)]));
  assert.deepEqual(labels, expected.cluster.map(
      (group) => [group.value === '' ? '(none)' : group.value, group.count]));
  assert.ok(labels.length > 10, 'too few groups: ' + labels.length);
  await page.screenshot({path: path.join(kShots, 'groups.png')});

  // A sub-folder of the share, from the folder list.
  const jazz = '/Music/Jazz';
  await submit(page, async () => {
    await page.selectOption('#cluster', '');
    await page.selectOption('#folder', jazz);
  });
  await expectRows(page, await demo.list(demo.query({
    path: [{full_path: demo.share + jazz, alias: demo.alias + jazz}],
  })), 'folder ' + jazz);
  await page.selectOption('#folder', '');

  step('groups');
  // A refusal of the service shows at its field and changes nothing else.
  const kept = await page.$eval('#list', (list) => list.dataset.uuid);
  // The field is among the closed "more conditions", which the refusal opens.
  await page.click('#more-toggle');
  await page.fill('#size', '12x');
  await page.click('#more-toggle');
  assert.equal(await page.isVisible('#size'), false);
  await page.click('#submit');
  await page.waitForSelector('#size-error:not([hidden])');
  assert.equal(await page.textContent('#size-error'), 'invalid size');
  assert.equal(await page.getAttribute('#size', 'aria-invalid'), 'true');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'size');
  assert.equal(await page.$eval('#list', (list) => list.dataset.uuid), kept);
  await page.fill('#size', '');
  await page.fill('#owner', 'no-such-owner');
  await page.click('#submit');
  await page.waitForSelector('#owner-error:not([hidden])');
  assert.equal(await page.textContent('#owner-error'), 'invalid owner');
  assert.equal(await page.isHidden('#size-error'), true);
  await page.fill('#owner', '');

  step('refusals');
  // Keyboard alone: Tab reaches the form's fields, then the button, then the
  // list, whose keys scroll it and bring in later rows.
  await page.reload();
  await settled(page, '');
  const order = [];
  for (let i = 0; i < 60 && !order.includes('viewport'); ++i) {
    await page.keyboard.press('Tab');
    // A date field takes one Tab per part of the date.
    const id = await page.evaluate(() => document.activeElement.id);
    if (order[order.length - 1] !== id) order.push(id);
    if (id === 'more-toggle') await page.keyboard.press('Enter');
  }
  const wanted = ['folder', 'name', 'type', 'lang', 'sort', 'cluster', 'recursive', 'hidden',
                  'more-toggle', 'after', 'before', 'size', 'owner', 'group', 'submit',
                  'viewport'];
  const reached = order.filter((id) => wanted.includes(id));
  assert.deepEqual(reached, wanted, 'tab order: ' + order.join(' '));
  for (let i = 0; i < 12; ++i) await page.keyboard.press('PageDown');
  await waitFor(async () => (await shownRows(page)).some((row) => row.index >= 100 &&
                                                           !row.loading), 10000, 'PageDown');
  await expectRows(page, all, 'after PageDown');

  step('keyboard');
  // A narrow window and 200% zoom (half as many CSS pixels, twice as dense):
  // no sideways scrolling, every cell of a row still there.
  await page.setViewportSize({width: 360, height: 720});
  await waitFor(async () => (await page.$eval('#probe', (p) => p.offsetHeight)) > 50, 5000,
                'the narrow rows');
  await settled(page, '');
  await noSideways(page, 'at 360 pixels');
  await expectRows(page, all, 'at 360 pixels');
  await page.screenshot({path: path.join(kShots, 'narrow.png'), fullPage: true});
  await context.close();

  const {context: zoomed, page: zoomedPage} = await openDemo(
      browser, demo, {viewport: {width: 640, height: 400}, deviceScaleFactor: 2});
  await noSideways(zoomedPage, 'at 200%');
  await expectRows(zoomedPage, all, 'at 200%');
  await zoomedPage.screenshot({path: path.join(kShots, 'zoomed.png')});
  await zoomed.close();

  step('narrow and zoomed');
  step('signed out');
  // Without the cookie the page says so, also when it knows the share.
  for (const address of [demo.origin + '/', demo.url.replace(/sid=[^&]*&/, '')]) {
    const signedOut = await browser.newContext();
    const outPage = watched(await signedOut.newPage());
    await outPage.goto(address);
    await outPage.waitForSelector('#signed-out:not([hidden])', {timeout: 20000}).catch(
        async (error) => {
          const shown = await outPage.$$eval('body > [id]', (parts) => parts
              .filter((part) => !part.hidden).map((part) => part.id));
          throw new Error(address + ': no signed-out message, shown: ' + shown.join(' ') +
                          '\n' + error.message);
        });
    assert.equal(await outPage.isHidden('#app'), true, address);
    assert.equal(await outPage.$$eval('#rows [role=row]', (rows) => rows.length), 0);
    if (address.includes('#')) {
      await outPage.screenshot({path: path.join(kShots, 'signed-out.png')});
    }
    await signedOut.close();
  }
}

async function bannerScenario(browser, demo) {
  const {page} = await openDemo(browser, demo, {viewport: {width: 1200, height: 720}});
  const total = Number((await page.textContent('#summary')).split(' ')[0]);
  assert.ok(total > 200, 'the share lists ' + total);
  assert.equal(await page.isHidden('#banner'), true,
               'banner at start: ' + (await page.textContent('#banner p')));
  // A change in the second the list's watch was armed in does not count.
  await sleep(1500);
  fs.writeFileSync(path.join(demo.share, '000 new file.txt'), 'new\n');
  await sleep(1000);
  // The next page fetch reports the change.
  await scrollToRow(page, 150);
  await settled(page, '');
  await scrollToRow(page, total - 1);
  await settled(page, '');
  await page.waitForSelector('#banner:not([hidden])', {timeout: 5000});
  await page.screenshot({path: path.join(kShots, 'banner.png')});

  const before = await page.$eval('#list', (list) => list.dataset.uuid);
  await page.click('#refresh');
  await settled(page, before);
  assert.equal(await page.textContent('#summary'), total + 1 + ' items');
  assert.equal(await page.isHidden('#banner'), true);
  const rows = await expectRows(page, await demo.list(demo.query()), 'after refresh');
  assert.equal(rows[0].cells[0], '000 new file.txt');
}

// ---- main --------------------------------------------------------------------

async function main() {
  const scenarios = {page: pageScenario, banner: bannerScenario};
  assert.ok(scenarios[scenario], 'scenario: page or banner');
  fs.mkdirSync(kShots, {recursive: true});
  // The demo's web server workers must reach its folder.
  const temp = fs.mkdtempSync(path.join(os.tmpdir(), 'orv-page-'));
  fs.chmodSync(temp, 0o755);
  process.env.TMPDIR = temp;  // the browser's profile, too
  let demo = null;
  let browser = null;
  const cleanup = async () => {
    try {
      if (browser) await browser.close().catch(() => {});
      browser = null;
      if (demo) {
        step('stopping');
        const stopping = demo;
        demo = null;
        const status = await stopping.stop();
        assert.equal(status, 0, 'run-demo ended with ' + status);
        assert.ok(await portIsFree(stopping.port), 'the port is still taken');
      }
    } finally {
      fs.rmSync(temp, {recursive: true, force: true});
    }
  };
  for (const signal of ['SIGINT', 'SIGTERM']) {
    process.on(signal, () => cleanup().finally(() => process.exit(1)));
  }
  const deadline = setTimeout(() => {
    console.error('page_test: over ' + kDeadlineMs / 1000 + ' s');
    cleanup().finally(() => process.exit(1));
  }, kDeadlineMs);
  try {
    demo = await Demo.start(path.join(temp, 'demo'));
    step('run-demo ready');
    browser = await chromium.launch({
      executablePath: '/usr/bin/chromium', headless: true, chromiumSandbox: false,
      args: kChromiumFlags,
    });
    await scenarios[scenario](browser, demo);
  } catch (error) {
    console.error(error);
    if (trouble.length > 0) console.error('what the pages met:\n' + trouble.join('\n'));
    if (demo) console.error('run-demo output:\n' + demo.out + demo.err);
    throw error;
  } finally {
    clearTimeout(deadline);
    await cleanup();
  }
  console.log('page_test ' + scenario + ': passed');
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
