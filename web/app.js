// The file list page. It signs in from a one-time "#sid=" fragment (turned
// into the NAS_SID cookie and removed from the address bar), searches the
// share through create.cache into cache slot 1, and reads the list through
// fetch.cache, one page at a time, as its rows come into view. Every row has
// one height, so row i sits at i times that height and only the rows on
// screen (and a few around them) are in the document.
'use strict';

const kSlot = 1;            // the cache slot this page searches into
const kPageRows = 100;      // rows per fetch.cache (the endpoint takes 50 to 2000)
const kOverscan = 8;        // rows kept in the document above and below the view
const kKeptPages = 40;      // pages kept in memory; the farthest from view go first
const kPagesAtOnce = 2;     // page requests in flight: each one is a process
const kFolderLimit = 2000;  // sub-folders offered in the folder list

// The languages the search endpoints collate by, as code, own name and the
// browser language they match.
const kLanguages = [
  ['ENG', 'English', 'en'], ['SCH', '简体中文', 'zh'], ['TCH', '繁體中文', 'zh-tw'],
  ['CZE', 'Čeština', 'cs'], ['DAN', 'Dansk', 'da'], ['GER', 'Deutsch', 'de'],
  ['SPA', 'Español', 'es'], ['FRE', 'Français', 'fr'], ['ITA', 'Italiano', 'it'],
  ['JPN', '日本語', 'ja'], ['KOR', '한국어', 'ko'], ['NOR', 'Norsk', 'nb'],
  ['POL', 'Polski', 'pl'], ['RUS', 'Русский', 'ru'], ['FIN', 'Suomi', 'fi'],
  ['SWE', 'Svenska', 'sv'], ['DUT', 'Nederlands', 'nl'], ['TUR', 'Türkçe', 'tr'],
  ['THA', 'ไทย', 'th'], ['HUN', 'Magyar', 'hu'], ['POR', 'Português', 'pt'],
  ['GRK', 'Ελληνικά', 'el'], ['ROM', 'Română', 'ro'],
];

// The icon of a file by its extension, in the categories of the service's
// file type table.
const kKinds = {
  music: 'ogg aac aif aiff dff dsf flac m4a m4b m4r mka ape wma ra wav wv mp3 mpa au',
  video: '3gp bdmv divx ifo iso insv m4v mp4 rmp4 m1v m2t m2ts m2v mod mpeg mpg mts ' +
      'tod tp trp ts mov rm rmvb webm f4v flv mkv mp2v mpv2 asf wmv avi',
  photo: '3fr bmp dcr dng erf gif heic heif jpeg iiq insp jpe jpg k25 kdc mef mos mrw ' +
      'nef orf pef png ptx raf raw rw2 arw sr2 srf tiff tif webp cr2 crw tga x3f hif',
  pdf: 'pdf',
  document: 'doc docx docm dotx dotm dot',
  sheet: 'xls xlsx xlsm xlt xltx xltm xlam',
  slides: 'ppt pptx pptm potx potm ppam ppsx ppsm pot pps rtf',
  mail: 'eml',
};
const kKindOf = new Map();
for (const [kind, extensions] of Object.entries(kKinds)) {
  for (const extension of extensions.split(' ')) kKindOf.set(extension, kind);
}
const kIconOf = {pdf: 'document', document: 'document', file: 'file'};

// The form field that shows each refusal of the search endpoints.
const kFieldOf = {
  'invalid name': 'name', 'invalid type': 'type', 'invalid date': 'date',
  'invalid size': 'size', 'invalid owner': 'owner', 'invalid group': 'group',
  'invalid sort': 'sort', 'invalid cluster': 'cluster', 'invalid lang': 'lang',
  'invalid path': 'folder', 'invalid path type': 'folder',
  'invalid path array item': 'folder', 'invalid full_path object format': 'folder',
  'invalid alias object format': 'folder',
};
const kControlsOf = {
  type: ['type', 'extension'], date: ['after', 'before'], size: ['size'],
};

const $ = (id) => document.getElementById(id);
const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

// ---- the API ---------------------------------------------------------------

class ApiError extends Error {
  constructor(code, message) {
    super(message);
    this.code = code;
  }
}

// Posts `body` to the gateway's `endpoint`; the reply when its error_code is
// 0. A refused session signs the page out.
async function call(endpoint, body) {
  for (let attempt = 0; ; ++attempt) {
    let reply;
    try {
      const response = await fetch('/Orvane6/' + endpoint, {
        method: 'POST',
        headers: {'Content-Type': 'application/json'},
        body: JSON.stringify(body),
        credentials: 'same-origin',
        cache: 'no-store',
      });
      reply = await response.json();
    } catch (error) {
      throw new ApiError(-1, 'The server did not answer.');
    }
    const code = reply.error_code;
    // The first request of a session starts its daemon, which may take a
    // moment to come up.
    if (code === 503 && attempt < 6) {
      await sleep(500);
      continue;
    }
    if (code === 401) {
      signOut();
      throw new ApiError(401, 'not signed in');
    }
    if (code !== 0) {
      throw new ApiError(code, reply.error_message || 'error ' + code);
    }
    return reply;
  }
}

// ---- session and share -------------------------------------------------------

let share = null;  // {alias, path}: the shared folder the page searches

// Takes the session id and the share from the address's fragment, once.
function takeFragment() {
  const params = new URLSearchParams(location.hash.slice(1));
  if (!params.has('sid') && !params.has('path')) return;
  const sid = params.get('sid');
  // A cookie value may not hold separators; session ids never do.
  if (sid !== null && /^[A-Za-z0-9_-]{1,64}$/.test(sid)) {
    document.cookie = 'NAS_SID=' + sid + '; path=/; SameSite=Strict';
  }
  const path = params.get('path');
  if (path) {
    share = {alias: params.get('alias') || '/' + path.split('/').pop(), path};
    try {
      localStorage.setItem('orv.share', JSON.stringify(share));
    } catch (error) {
      // Kept for this visit only.
    }
  }
  history.replaceState(null, '', location.pathname + location.search);
}

function storedShare() {
  try {
    const stored = JSON.parse(localStorage.getItem('orv.share'));
    if (stored && typeof stored.path === 'string' && typeof stored.alias === 'string') {
      return stored;
    }
  } catch (error) {
    // No stored share.
  }
  return null;
}

function signOut() {
  ++generation;
  list = null;
  $('app').hidden = true;
  $('share-name').textContent = '';
  $('no-share').hidden = true;
  $('signed-out').hidden = false;
}

// ---- the form ----------------------------------------------------------------

function defaultLanguage() {
  for (const wanted of navigator.languages || [navigator.language]) {
    const tag = String(wanted).toLowerCase();
    if (/^zh-(tw|hk|mo|hant)/.test(tag)) return 'TCH';
    let primary = tag.split('-')[0];
    if (primary === 'no' || primary === 'nn') primary = 'nb';
    const row = kLanguages.find((language) => language[2] === primary);
    if (row) return row[0];
  }
  return 'ENG';
}

function fillLanguages() {
  const select = $('lang');
  for (const [code, name, tag] of kLanguages) {
    const option = new Option(name, code);
    option.lang = tag;
    select.add(option);
  }
  select.value = defaultLanguage();
}

function shareRoot() {
  return {full_path: share.path, alias: share.alias};
}

// Fills the folder list with the share and its sub-folders.
async function loadFolders() {
  const reply = await call('fetch.resource', {
    path: [shareRoot()], recursive: true, type: 'folder', limit: kFolderLimit,
    lang: $('lang').value,
  });
  const collator = new Intl.Collator(undefined, {numeric: true});
  const folders = (reply.datas || [])
      .map((entry) => entry.filepath)
      .filter((path) => path.startsWith(share.alias + '/'))
      .sort(collator.compare);
  const select = $('folder');
  for (const path of folders) select.add(new Option(path, path.slice(share.alias.length)));
}

// The search request of the form's values: the JSON body of create.cache.
function readForm() {
  const value = (id) => $(id).value;
  const sub = value('folder');
  const query = {
    index: kSlot,
    path: [{full_path: share.path + sub, alias: share.alias + sub}],
    recursive: $('recursive').checked,
    hidden: $('hidden').checked ? 0 : 1,
    sort: value('sort') + ':' + value('sort-dir'),
    lang: value('lang'),
  };
  if (value('name') !== '') query.name = value('name');
  const type = value('type');
  if (type === 'extname') {
    query.type = value('extension') !== '' ? 'extname:' + value('extension') : 'extname';
  } else if (type !== '') {
    query.type = type;
  }
  // A date field holds the day's start in UTC, which is what the service
  // compares the files' days with.
  const date = [];
  if (value('after') !== '') date.push('>=' + $('after').valueAsNumber / 1000);
  if (value('before') !== '') date.push('<' + $('before').valueAsNumber / 1000);
  if (date.length > 0) query.date = date;
  // The size goes as typed: the service tells when it is not a number.
  const size = value('size').trim();
  if (size !== '') query.size = value('size-op') + size + value('size-unit');
  if (value('owner') !== '') query.owner = value('owner');
  if (value('group') !== '') query.group = value('group');
  if (value('cluster') !== '') {
    query.cluster = value('cluster') + (value('cluster-dir') ? ':' + value('cluster-dir') : '');
  }
  return query;
}

function clearErrors() {
  for (const element of document.querySelectorAll('.search .error')) {
    element.hidden = true;
    element.textContent = '';
  }
  for (const element of document.querySelectorAll('[aria-invalid]')) {
    element.removeAttribute('aria-invalid');
  }
}

// Shows a refusal next to its field, or above the form when it has none.
function showError(error) {
  const field = kFieldOf[error.message];
  const place = field ? $(field + '-error') : $('form-error');
  place.textContent = error.message;
  place.hidden = false;
  if (!field) return;
  const controls = (kControlsOf[field] || [field]).map($);
  for (const control of controls) control.setAttribute('aria-invalid', 'true');
  const more = controls[0].closest('details');
  if (more) more.open = true;
  controls[0].focus();
}

// ---- the list ----------------------------------------------------------------

// The list on screen: {uuid, total, groups, pages, pending, failed}.
let list = null;
let generation = 0;   // counts searches; a reply of an older one is dropped
let lastQuery = null; // what Refresh runs again
let rowHeight = 0;
let renderQueued = false;
const shown = new Map();  // row number -> its element in the document

async function search(query) {
  const mine = ++generation;
  clearErrors();
  $('submit').disabled = true;
  $('summary').textContent = 'Searching…';
  try {
    const reply = await call('create.cache', query);
    if (mine !== generation) return;
    lastQuery = query;
    list = {
      uuid: reply.uuid, total: reply.total, groups: reply.cluster || [],
      grouped: 'cluster' in query, pages: new Map(), pending: new Set(), failed: false,
    };
    $('list').dataset.uuid = list.uuid;
    $('banner').hidden = true;
    clearRows();
    $('viewport').scrollTop = 0;
    showGroups();
    render();
  } catch (error) {
    if (mine !== generation) return;
    if (error.code !== 401) showError(error);
    updatePosition();
  } finally {
    if (mine === generation) $('submit').disabled = false;
  }
}

function showBanner(text) {
  $('banner').querySelector('p').textContent = text;
  $('banner').hidden = false;
}

// Fetches page `page` of `target` and shows it when `target` is still the list.
async function loadPage(target, page) {
  target.pending.add(page);
  try {
    const reply = await call('fetch.cache', {
      index: kSlot, uuid: target.uuid, limit: kPageRows, offset: page * kPageRows,
    });
    if (target !== list) return;
    target.pages.set(page, reply.datas || []);
    if (reply.changed === true) {
      showBanner('The folders have changed since this list was made.');
    }
    dropFarPages(target, page);
  } catch (error) {
    if (target !== list || error.code === 401) return;
    // A search of another window replaces this slot's list.
    target.failed = true;
    showBanner(error.code === 2 ? 'This list is no longer kept.' :
                                  'A page of this list could not be read: ' + error.message);
  } finally {
    target.pending.delete(page);
    queueRender();
  }
}

function dropFarPages(target, near) {
  while (target.pages.size > kKeptPages) {
    let farthest = near;
    for (const page of target.pages.keys()) {
      if (Math.abs(page - near) > Math.abs(farthest - near)) farthest = page;
    }
    target.pages.delete(farthest);
  }
}

function entryAt(index) {
  const page = list.pages.get(Math.floor(index / kPageRows));
  return page ? page[index % kPageRows] : undefined;
}

function kindOf(entry) {
  if (entry.isfolder) return 'folder';
  const name = entry.filename;
  const dot = name.lastIndexOf('.');
  if (dot <= 0) return 'file';
  return kKindOf.get(name.slice(dot + 1).toLowerCase()) || 'file';
}

function humanSize(bytes) {
  if (bytes < 1024) return bytes + ' B';
  const units = ['KiB', 'MiB', 'GiB', 'TiB', 'PiB', 'EiB'];
  let value = bytes / 1024;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    ++unit;
  }
  return (value < 10 ? value.toFixed(1) : Math.round(value)) + ' ' + units[unit];
}

function cell(row, className, text, title) {
  const span = document.createElement('span');
  span.className = className;
  span.setAttribute('role', 'cell');
  span.textContent = text;
  if (title) span.title = title;
  row.append(span);
}

function makeRow(index, entry) {
  const row = document.createElement('div');
  row.className = 'row' + (index % 2 ? ' odd' : '');
  row.setAttribute('role', 'row');
  row.setAttribute('aria-rowindex', String(index + 2));
  row.style.transform = 'translateY(' + index * rowHeight + 'px)';
  if (list.grouped && groupStarts().has(index) && index > 0) row.classList.add('group-start');
  const icon = document.createElement('span');
  icon.className = 'icon-cell';
  icon.setAttribute('aria-hidden', 'true');
  row.append(icon);
  if (!entry) {
    row.classList.add('loading');
    cell(row, 'name', list.failed ? '' : 'Loading…');
    return row;
  }
  const kind = kindOf(entry);
  row.dataset.kind = kind;
  row.dataset.bytes = String(entry.filesize);
  icon.innerHTML = '<svg class="icon kind-' + kind + '"><use href="#icon-' +
      (kIconOf[kind] || kind) + '"/></svg>';
  const path = entry.filepath || '';
  const folder = path.slice(0, Math.max(path.lastIndexOf('/'), 0)) || '/';
  cell(row, 'name', entry.filename, entry.filename);
  cell(row, 'folder', folder, folder);
  cell(row, 'size', entry.isfolder ? '' : humanSize(entry.filesize),
       entry.isfolder ? '' : entry.filesize + ' bytes');
  cell(row, 'date', entry.mt);
  cell(row, 'owner', entry.owner, entry.owner);
  cell(row, 'group', entry.group, entry.group);
  cell(row, 'perm', entry.privilege);
  return row;
}

let starts = null;  // the first row number of each group of the list
function groupStarts() {
  if (starts && starts.list === list) return starts.rows;
  const rows = new Set();
  let at = 0;
  for (const group of list.groups) {
    rows.add(at);
    at += group.count;
  }
  starts = {list, rows};
  return rows;
}

function clearRows() {
  for (const row of shown.values()) row.remove();
  shown.clear();
}

function queueRender() {
  if (renderQueued) return;
  renderQueued = true;
  requestAnimationFrame(render);
}

// Puts the rows in view into the document, drops the others, and asks for
// the pages the view needs.
function render() {
  renderQueued = false;
  if (!list) return;
  const viewport = $('viewport');
  const total = list.total;
  $('list').setAttribute('aria-rowcount', String(total + 1));
  $('rows').style.height = total * rowHeight + 'px';
  const top = viewport.scrollTop;
  const first = Math.max(0, Math.floor(top / rowHeight) - kOverscan);
  const end = Math.min(total, Math.ceil((top + viewport.clientHeight) / rowHeight) + kOverscan);
  for (const [index, row] of shown) {
    const stale = row.classList.contains('loading') && entryAt(index) !== undefined;
    if (index < first || index >= end || stale) {
      row.remove();
      shown.delete(index);
    }
  }
  const rows = $('rows');
  for (let index = first; index < end; ++index) {
    if (shown.has(index)) continue;
    const row = makeRow(index, entryAt(index));
    rows.append(row);
    shown.set(index, row);
  }
  if (!list.failed && end > first) {
    const last = Math.floor((end - 1) / kPageRows);
    for (let page = Math.floor(first / kPageRows); page <= last; ++page) {
      if (list.pending.size >= kPagesAtOnce) break;
      if (!list.pages.has(page) && !list.pending.has(page)) loadPage(list, page);
    }
  }
  updatePosition();
}

function updatePosition() {
  const viewport = $('viewport');
  const total = list ? list.total : 0;
  $('summary').textContent = !list ? '' :
      total === 0 ? 'Nothing matches.' : total === 1 ? '1 item' : total + ' items';
  const first = Math.min(total, Math.floor(viewport.scrollTop / rowHeight + 0.5) + 1);
  const last = Math.min(total, Math.floor((viewport.scrollTop + viewport.clientHeight) / rowHeight));
  $('position').textContent = total === 0 ? '' : 'Rows ' + first + '–' + Math.max(first, last) + ' of ' + total;
  $('previous').disabled = viewport.scrollTop <= 0;
  $('next').disabled = viewport.scrollTop + viewport.clientHeight >= total * rowHeight - 1;
}

function showGroups() {
  const box = $('groups');
  box.replaceChildren();
  box.hidden = !list.grouped;
  if (!list.grouped) return;
  let at = 0;
  for (const group of list.groups) {
    const start = at;
    at += group.count;
    const button = document.createElement('button');
    button.type = 'button';
    button.append(group.value === '' ? '(none)' : group.value);
    const count = document.createElement('span');
    count.className = 'count';
    count.textContent = String(group.count);
    button.append(count);
    button.addEventListener('click', () => {
      $('viewport').scrollTop = start * rowHeight;
      $('viewport').focus();
    });
    const item = document.createElement('li');
    item.append(button);
    box.append(item);
  }
}

// Row height as the style sheet sets it for the list's present width; the
// rows are placed again when it changes (a narrow window, a zoom).
function measureRows() {
  const height = $('probe').getBoundingClientRect().height;
  if (height <= 0 || height === rowHeight) return;
  const viewport = $('viewport');
  const firstRow = rowHeight > 0 ? viewport.scrollTop / rowHeight : 0;
  rowHeight = height;
  clearRows();
  if (!list) return;
  $('rows').style.height = list.total * rowHeight + 'px';
  viewport.scrollTop = firstRow * rowHeight;
  render();
}

function turnPage(direction) {
  const viewport = $('viewport');
  viewport.scrollTop += direction * Math.max(rowHeight, viewport.clientHeight - rowHeight);
}

// ---- start -------------------------------------------------------------------

async function start() {
  takeFragment();
  if (!share) share = storedShare();
  fillLanguages();
  if (!share) {
    // Tell a person without a session so, rather than that a share is missing.
    try {
      await call('fetch.cache', {index: kSlot, uuid: '00000000-0000-0000-0000-000000000000'});
    } catch (error) {
      if (error.code === 401) return;
    }
    $('no-share').hidden = false;
    return;
  }
  $('app').hidden = false;
  $('share-name').textContent = share.alias;
  $('folder').add(new Option(share.alias, ''));
  rowHeight = $('probe').getBoundingClientRect().height || 36;
  new ResizeObserver(measureRows).observe($('viewport'));

  $('search').addEventListener('submit', (event) => {
    event.preventDefault();
    search(readForm());
  });
  $('type').addEventListener('change', () => {
    $('extension').disabled = $('type').value !== 'extname';
  });
  $('refresh').addEventListener('click', () => search(lastQuery || readForm()));
  $('viewport').addEventListener('scroll', queueRender, {passive: true});
  $('previous').addEventListener('click', () => turnPage(-1));
  $('next').addEventListener('click', () => turnPage(1));

  await search(readForm());
  if (!list) return;
  try {
    await loadFolders();
  } catch (error) {
    // The share itself stays searchable.
  }
}

start();
