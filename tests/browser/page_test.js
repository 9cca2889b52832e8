// The file list page in Debian's chromium, driven by playwright-core, against
// the stack that `make run` starts (tools/run-demo on a free loopback port).
// The lists the page shows are compared row for row with what hvcall gets
// from the session's daemon for the same request, written here from the
// form's values, in the other cache slot. The browser runs in the time zone
// of Tokyo, which the demo's machine is not in, so that a date shown in the
// appliance's zone would be caught.
//
//   node page_test.js BIN_DIR WORK_DIR page|banner
//
// "page": signed in from the printed address, the share's own entries with
// their dates in the viewer's zone; a click on a folder and Enter on one open
// it, the breadcrumb and Up go back, and Back, Forward and reload give the
// same lists; a name search, a type filter and a size sort (first page and a
// later one), the group headings, folder sizes under a size bound, refusals
// written as sentences at their fields with no list left, a page that fails
// (the web server's 502, then no answer) and its retry in place, keyboard
// order, and a list that fits the window at 1000 pixels, at 360 and at 200%;
// the signed-out message. "banner": a file created in a searched folder
// brings the change banner on the next page fetch, and Refresh lists the
// file; a folder of more entries than one request answers lists whole.
// Screenshots go to WORK_DIR/screenshots; every server the test starts is
// stopped, even when it fails.
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
      path: [{full_path: this.share, alias: this.alias}], recursive: false, hidden: 1,
      sort: 'name:asc', lang: 'ENG', ...changes,
    };
  }

  // The whole list of `query` through the bus, searched into slot 2 so that
  // the page's list in slot 1 stays.
  async list(query) {
    const made = await this.hvcall('create.cache', {...query, index: 2});
    assert.equal(made.error_code, 0, JSON.stringify(made));
    const entries = [];
    while (entries.length < made.total) {
      const page = await this.hvcall('fetch.cache', {
        index: 2, uuid: made.uuid, limit: 2000, offset: entries.length,
      });
      assert.ok(page.datas.length > 0, JSON.stringify(page).slice(0, 200));
      entries.push(...page.datas);
    }
    return {total: made.total, cluster: made.cluster, entries};
  }
}

// ---- what the page shows -----------------------------------------------------

// A time as the page must show it in Tokyo (UTC+9 all year): "2024-05-01 14:03".
const inTokyo = (epoch) => new Date((epoch + 9 * 3600) * 1000).toISOString().slice(0, 16)
    .replace('T', ' ');

// The entry rows in the document: list position, size in bytes, kind, whether
// loading or failed, and the cells' texts.
function shownRows(page) {
  return page.$$eval('#rows [role=row][data-index]', (rows) => rows.map((row) => ({
    index: Number(row.dataset.index),
    loading: row.classList.contains('loading'),
    failed: row.classList.contains('failed'),
    bytes: Number(row.dataset.bytes),
    kind: row.dataset.kind,
    cells: [...row.querySelectorAll('[role=cell]')].map((cell) => cell.textContent),
    titles: [...row.querySelectorAll('[role=cell]')].map((cell) => cell.title),
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

const listId = (page) => page.$eval('#list', (list) => list.dataset.uuid || '');

// Waits until the rows in view are loaded, after a new list when `previousId`
// is given (the one before it).
async function settled(page, previousId) {
  await waitFor(async () => {
    const id = await listId(page);
    if (id === '' || id === previousId) return false;
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

// Every entry row in the document is the entry hvcall has at its position,
// its date in the viewer's zone.
async function expectRows(page, expected, what, least = 8) {
  const rows = await shownRows(page);
  assert.ok(rows.length >= Math.min(least, expected.total),
            what + ': only ' + rows.length + ' rows shown');
  for (const row of rows) {
    const entry = expected.entries[row.index];
    assert.ok(entry, what + ': row ' + row.index + ' past the list');
    const folder = entry.filepath.slice(0, entry.filepath.lastIndexOf('/')) || '/';
    const [name, shownFolder, , date, owner, group, permissions] = row.cells;
    assert.deepEqual(
        [name, shownFolder, date, owner, group, permissions, row.bytes],
        [entry.filename, folder, inTokyo(entry.epochmt), entry.owner, entry.group,
         entry.privilege, entry.filesize],
        what + ': row ' + row.index);
    assert.match(row.titles[3], /GMT\+9 \(Asia\/Tokyo\)$/, what + ': the date names its zone');
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

// Does `act` (which leads to a new list) and waits for the list.
async function newList(page, act) {
  const current = await listId(page);
  await act();
  await settled(page, current);
}

// Searches with the form as `fill` leaves it.
const submit = (page, fill) => newList(page, async () => {
  await fill();
  await page.click('#submit');
});

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
  await scrollToRow(page, expected.total - 1);
  await settled(page, '');
  const later = await expectRows(page, expected, what + ', later page');
  assert.ok(later[later.length - 1].index === expected.total - 1, what + ': end not shown');
  return expected;
}

// The folder the page shows: the breadcrumb's parts, the form's folder, the
// address's, and its own entries as hvcall lists them.
async function expectFolder(page, demo, folder, what) {
  const crumbs = await page.$$eval('#crumbs a', (links) => links.map((a) => a.textContent));
  assert.deepEqual(crumbs, [demo.alias.slice(1), ...folder.split('/').slice(1)], what);
  assert.equal(await page.inputValue('#folder'), folder, what + ': the form');
  assert.equal(new URLSearchParams(new URL(page.url()).hash.slice(1)).get('folder'),
               demo.alias + folder, what + ': the address');
  assert.equal(await page.isChecked('#recursive'), false, what);
  const expected = await demo.list(demo.query({
    path: [{full_path: demo.share + folder, alias: demo.alias + folder}], recursive: false,
  }));
  assert.equal(await page.textContent('#summary'), expected.total + ' items', what);
  await expectRows(page, expected, what);
  return expected;
}

// The page fits the window: it does not scroll, the list does, and the pager
// is in view.
async function fitsTheWindow(page, what) {
  const sizes = await page.evaluate(() => {
    const pager = document.querySelector('.pager').getBoundingClientRect();
    const viewport = document.getElementById('viewport');
    return {
      page: document.documentElement.scrollHeight, window: innerHeight,
      pagerBottom: pager.bottom, list: viewport.clientHeight,
    };
  });
  assert.ok(sizes.page <= sizes.window && sizes.pagerBottom <= sizes.window && sizes.list > 50,
            what + ': ' + JSON.stringify(sizes));
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

// A new browser context of `options`, in Tokyo, on the printed address (or
// `address`), once its list is in.
async function openDemo(browser, demo, options, address = demo.url) {
  const context = await browser.newContext({
    locale: 'en-US', timezoneId: 'Asia/Tokyo', ...options,
  });
  const page = watched(await context.newPage());
  // Signed in by the printed address first.
  await page.goto(demo.url);
  await settled(page, '');
  if (address !== demo.url) await newList(page, () => page.goto(address));
  return {context, page};
}

async function browseScenario(page, demo) {
  // The share's own entries, dates in the viewer's zone, which the header
  // names.
  const root = await expectFolder(page, demo, '', 'the share');
  assert.deepEqual(root.entries.map((entry) => entry.filename),
                   ['Archive', 'Documents', 'Empty folder', 'Music', 'Photos', 'Videos']);
  assert.notEqual(root.entries[0].mt.slice(0, 16), inTokyo(root.entries[0].epochmt),
                  'the appliance is not in Tokyo: the test could not tell the zones apart');
  assert.equal(await page.textContent('#zone'), '(Asia/Tokyo)');
  assert.equal(await page.getAttribute('#up', 'aria-disabled'), 'true');
  await fitsTheWindow(page, 'at 1000 by 600');
  await page.screenshot({path: path.join(kShots, 'list.png')});

  // A click on a folder's row opens it; Enter on a folder's name does too.
  await newList(page, () => page.click('#rows .row[data-kind=folder] >> text=Music'));
  const music = await expectFolder(page, demo, '/Music', 'a click on Music');
  await newList(page, async () => {
    await page.focus('#rows a >> text=Jazz');
    await page.keyboard.press('Enter');
  });
  await expectFolder(page, demo, '/Music/Jazz', 'Enter on Jazz');
  await page.screenshot({path: path.join(kShots, 'folder.png')});
  step('folders opened');

  // Back, Forward and reload give the same lists.
  await newList(page, () => page.goBack());
  await expectFolder(page, demo, '/Music', 'Back');
  await newList(page, () => page.goForward());
  await expectFolder(page, demo, '/Music/Jazz', 'Forward');
  await newList(page, () => page.reload());
  await expectFolder(page, demo, '/Music/Jazz', 'reload');
  // Up, then the breadcrumb's first part.
  await newList(page, () => page.click('#up'));
  assert.deepEqual((await demo.list(demo.query({
    path: [{full_path: demo.share + '/Music', alias: demo.alias + '/Music'}], recursive: false,
  }))).entries, music.entries);
  await expectFolder(page, demo, '/Music', 'Up');
  await newList(page, () => page.click('#crumbs a >> nth=0'));
  await expectFolder(page, demo, '', 'the breadcrumb');
  step('Back, Forward, reload, Up, breadcrumb');
}

async function searchScenario(page, demo) {
  const recursive = (changes) => demo.query({recursive: true, ...changes});
  await checkSearch(page, demo, recursive({name: '*o*'}), async () => {
    await page.fill('#name', '*o*');
    await page.check('#recursive');
  }, 'name *o*');
  await checkSearch(page, demo, recursive({type: 'extname:txt'}), async () => {
    await page.fill('#name', '');
    await page.selectOption('#type', 'extname');
    await page.fill('#extension', 'txt');
  }, 'type extname:txt');
  const bySize = await checkSearch(page, demo, recursive({sort: 'size:desc'}), async () => {
    await page.fill('#extension', '');
    await page.selectOption('#type', '');
    await page.selectOption('#sort', 'size');
    await page.selectOption('#sort-dir', 'desc');
  }, 'sort size:desc');
  // The demo's files have real sizes.
  assert.ok(bySize.entries[0].filesize > 100 << 20, 'largest ' + bySize.entries[0].filesize);
  step('name, type and sort');

  // The groups as headings inside the list, named by what they group by.
  await submit(page, async () => {
    await page.selectOption('#sort', 'name');
    await page.selectOption('#sort-dir', 'asc');
    await page.selectOption('#cluster', 'type');
  });
  const grouped = await demo.list(recursive({cluster: 'type'}));
  await expectRows(page, grouped, 'grouped by extension');
  const headings = () => page.$$eval('#rows .heading', (rows) => rows.map(
      (row) => [Number(row.dataset.group), row.textContent]));
  const label = (group) => (group.value === 'folder' ? 'Folders' :
      group.value === '' ? 'No extension' : 'Extension: ' + group.value) +
      (group.count === 1 ? '1 item' : group.count + ' items');
  assert.ok(grouped.cluster.length > 10, 'too few groups: ' + grouped.cluster.length);
  assert.deepEqual((await headings()).slice(0, 2).map(([, text]) => text),
                   grouped.cluster.slice(0, 2).map(label));
  await page.screenshot({path: path.join(kShots, 'groups.png')});
  const last = grouped.cluster.length - 1;
  await page.selectOption('#group-jump', String(last));
  await waitFor(async () => (await headings()).some(([group]) => group === last), 5000,
                'the last group');
  assert.ok((await headings()).some(([group, text]) => group === last &&
                                    text === label(grouped.cluster[last])));
  step('groups');

  // Under a size bound, folders show the size that made them match.
  await submit(page, async () => {
    await page.selectOption('#cluster', '');
    await page.click('#more-toggle');
    await page.fill('#size', '1');
    await page.selectOption('#size-unit', 'K');
  });
  const bounded = await demo.list(recursive({size: '>=1K'}));
  const rows = await expectRows(page, bounded, 'at least 1 KiB');
  const folders = rows.filter((row) => row.kind === 'folder');
  assert.ok(folders.length > 0 && folders.every((row) => row.cells[2] !== '' &&
                                                row.titles[2].includes('own entry')),
            JSON.stringify(folders.map((row) => row.cells)));
  step('size bound');

  // A refusal shows as a sentence at its field, and no list is left that
  // could pass for its answer.
  await page.fill('#size', '12x');
  await page.click('#submit');
  await page.waitForSelector('#size-error:not([hidden])');
  assert.equal(await page.textContent('#size-error'), 'Enter the size as a whole number, ' +
               'such as 500 or 20, and choose its unit beside it.');
  assert.equal(await page.getAttribute('#size', 'aria-invalid'), 'true');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'size');
  assert.equal(await listId(page), '');
  assert.equal((await shownRows(page)).length, 0);
  assert.equal(await page.textContent('#summary'), 'Nothing listed: the request was refused.');
  await page.fill('#size', '');
  await page.fill('#owner', 'no-such-owner');
  await page.click('#submit');
  await page.waitForSelector('#owner-error:not([hidden])');
  assert.equal(await page.textContent('#owner-error'), 'No user named “no-such-owner”.');
  assert.equal(await page.isHidden('#size-error'), true);
  await page.fill('#owner', '');
  step('refusals');
}

// A page of rows that cannot be fetched shows a retry in place, and the
// banner says what happened.
async function retryScenario(page, demo) {
  await submit(page, async () => {
    await page.check('#recursive');
    await page.selectOption('#sort', 'name');
  });
  const all = await demo.list(demo.query({recursive: true}));
  const failures = [
    [100, (route) => route.fulfill({status: 502, contentType: 'text/html',
                                    body: '<html>502 Bad Gateway</html>'}),
     'Rows 101–200 could not be loaded. The web server answered 502 Bad Gateway.'],
    [200, (route) => route.abort(),
     'Rows 201–' + all.total + ' could not be loaded. The server did not answer.'],
  ];
  for (const [offset, fail, banner] of failures) {
    const matches = (url) => url.pathname === '/Orvane6/fetch.cache';
    await page.route(matches, (route) => JSON.parse(route.request().postData()).offset === offset ?
        fail(route) : route.continue());
    await scrollToRow(page, offset + 10);
    await page.waitForSelector('#rows .failed button.retry');
    assert.equal(await page.textContent('#banner p'), banner);
    assert.ok((await shownRows(page)).every((row) => !row.loading || row.failed));
    await page.unroute(matches);
    await page.click('#rows .failed button.retry >> nth=0');
    await settled(page, '');
    await expectRows(page, all, 'after a retry at ' + offset);
    assert.equal(await page.isHidden('#banner'), true);
  }
  step('retry');
}

async function keyboardAndLayoutScenario(browser, page, demo) {
  // Keyboard alone: Tab reaches the form's fields, then the button, then the
  // list, whose keys scroll it and bring in later rows.
  const all = await demo.list(demo.query({recursive: true}));
  await page.goto(demo.origin + '/#folder=' + demo.alias + '&recursive=1');
  await newList(page, () => page.reload());
  const order = [];
  for (let i = 0; i < 60 && !order.includes('viewport'); ++i) {
    await page.keyboard.press('Tab');
    // A date field takes one Tab per part of the date.
    const id = await page.evaluate(() => document.activeElement.id);
    if (order[order.length - 1] !== id) order.push(id);
    if (id === 'more-toggle' && !(await page.$eval('#more', (more) => more.open))) {
      await page.keyboard.press('Enter');
    }
  }
  const wanted = ['folder', 'name', 'type', 'sort', 'cluster', 'recursive', 'hidden',
                  'more-toggle', 'lang', 'after', 'before', 'size', 'owner', 'group', 'submit',
                  'viewport'];
  const reached = order.filter((id) => wanted.includes(id));
  assert.deepEqual(reached, wanted, 'tab order: ' + order.join(' '));
  for (let i = 0; i < 40; ++i) {
    await page.keyboard.press('PageDown');
    if ((await shownRows(page)).some((row) => row.index >= 120)) break;
  }
  await waitFor(async () => (await shownRows(page)).some((row) => row.index >= 100 &&
                                                           !row.loading), 10000, 'PageDown');
  await expectRows(page, all, 'after PageDown');
  step('keyboard');

  // A narrow window and 200% zoom (half as many CSS pixels, twice as dense):
  // no sideways scrolling, the pager in view, every cell of a row still there.
  await page.setViewportSize({width: 360, height: 720});
  await waitFor(async () => (await page.$eval('#probe', (p) => p.offsetHeight)) > 50, 5000,
                'the narrow rows');
  await settled(page, '');
  await noSideways(page, 'at 360 pixels');
  await fitsTheWindow(page, 'at 360 pixels');
  await expectRows(page, all, 'at 360 pixels');
  await page.screenshot({path: path.join(kShots, 'narrow.png')});

  const {context: zoomed, page: zoomedPage} = await openDemo(
      browser, demo, {viewport: {width: 640, height: 400}, deviceScaleFactor: 2});
  await noSideways(zoomedPage, 'at 200%');
  await fitsTheWindow(zoomedPage, 'at 200%');
  await expectRows(zoomedPage, await demo.list(demo.query()), 'at 200%', 2);
  await zoomedPage.screenshot({path: path.join(kShots, 'zoomed.png')});
  await zoomed.close();
  step('narrow and zoomed');
}

async function pageScenario(browser, demo) {
  const {context, page} = await openDemo(browser, demo, {viewport: {width: 1000, height: 600}});
  assert.ok(!new URL(page.url()).hash.includes(demo.sid), 'the session left the address bar');
  const cookies = await context.cookies();
  assert.deepEqual(cookies.filter((c) => c.name === 'NAS_SID').map((c) => c.value),
                   [demo.sid]);
  step('signed in');
  await browseScenario(page, demo);
  await searchScenario(page, demo);
  await retryScenario(page, demo);
  await keyboardAndLayoutScenario(browser, page, demo);
  await context.close();

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
  step('signed out');
}

async function bannerScenario(browser, demo) {
  const {page} = await openDemo(browser, demo, {viewport: {width: 1200, height: 720}},
                                demo.origin + '/#folder=' + demo.alias + '&recursive=1');
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

  const before = await listId(page);
  await page.click('#refresh');
  await settled(page, before);
  assert.equal(await page.textContent('#summary'), total + 1 + ' items');
  assert.equal(await page.isHidden('#banner'), true);
  const rows = await expectRows(page, await demo.list(demo.query({recursive: true})),
                                'after refresh');
  assert.equal(rows[0].cells[0], '000 new file.txt');
  step('banner');

  // A folder of more entries than one request answers (2,000) lists whole.
  const big = path.join(demo.share, 'Big');
  fs.mkdirSync(big);
  for (let i = 0; i < 2100; ++i) {
    fs.writeFileSync(path.join(big, 'item ' + String(i).padStart(4, '0') + '.txt'), '');
  }
  await newList(page, () => page.goto(demo.origin + '/#folder=' + demo.alias + '/Big'));
  const expected = await demo.list(demo.query({
    path: [{full_path: big, alias: demo.alias + '/Big'}], recursive: false,
  }));
  assert.equal(expected.total, 2100);
  assert.equal(await page.textContent('#summary'), '2100 items');
  await scrollToRow(page, 2099);
  await settled(page, '');
  const end = await expectRows(page, expected, 'the end of a folder of 2,100');
  assert.equal(end[end.length - 1].index, 2099);
  step('a folder of 2,100');
}

// ---- main --------------------------------------------------------------------

async function main() {
  const scenarios = {page: pageScenario, banner: bannerScenario};
  assert.ok(scenarios[scenario], 'scenario: page or banner');
  fs.mkdirSync(kShots, {recursive: true});
  // The screenshots show the demo's Chinese, Japanese and Korean names.
  for (const lang of ['zh-cn', 'ja', 'ko']) {
    const {stdout} = await promisify(execFile)('fc-list', [':lang=' + lang, 'family']);
    assert.notEqual(stdout.trim(), '', 'no font for ' + lang + ' (tools/install-deps)');
  }
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
