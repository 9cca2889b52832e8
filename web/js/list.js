// The list on screen. Every row has one height, so that row i sits at i times
// that height and only the rows in view (and a few around them) are in the
// document. A list is either whole (a folder's entries, all fetched at once)
// or kept in a cache slot of the service and read through fetch.cache, one
// page at a time, as its rows come into view. With a grouping, each group
// starts with a heading row of its own.
import {ApiError, call} from './api.js';
import {groupLabel, humanSize, iconOf, kindOf, longDate, shortDate} from './format.js';

const kPageRows = 100;       // rows per fetch.cache (the endpoint takes 50 to 2000)
const kOverscan = 8;         // rows kept in the document above and below the view
const kKeptPages = 40;       // pages kept in memory; the farthest from view go first
const kPagesAtOnce = 2;      // page requests in flight: each one is a process
const kPageTimeoutMs = 30000;

const $ = (id) => document.getElementById(id);

let list = null;
let rowHeight = 0;
let renderQueued = false;
const shown = new Map();  // display row number -> its element in the document
let linkOf = () => null;  // the address that opens a folder entry, or null

// ---- lists -------------------------------------------------------------------

// The groups of a reply's "cluster" with the rows they start at: a list
// without grouping is one group with the empty key.
function groupsOf(cluster, key) {
  if (!key) return [];
  let start = 0;
  return (cluster || []).map((group, index) => {
    const placed = {value: group.value, count: group.count, start, heading: start + index,
                    label: groupLabel(key, group.value)};
    start += group.count;
    return placed;
  });
}

function newList(reply, key, slot) {
  return {
    id: reply.uuid, total: reply.total, groups: groupsOf(reply.cluster, key), slot,
    pages: new Map(), pending: new Set(), failed: new Set(), gone: false,
  };
}

// A list whose every entry came in `reply` (fetch.resource).
export function wholeList(reply, key) {
  const made = newList(reply, key, null);
  const entries = reply.datas || [];
  for (let page = 0; page * kPageRows < entries.length; ++page) {
    made.pages.set(page, entries.slice(page * kPageRows, (page + 1) * kPageRows));
  }
  return made;
}

// A list kept in cache slot `index` (the reply of create.cache).
export function slotList(reply, key, index) {
  return newList(reply, key, {index, uuid: reply.uuid});
}

// ---- rows and groups ---------------------------------------------------------

function rowCount() {
  return list.total + list.groups.length;
}

// The group that display row `row` falls in: the last whose heading is not
// after it (-1 without grouping).
function groupAtRow(row) {
  let low = 0;
  let high = list.groups.length - 1;
  let found = -1;
  while (low <= high) {
    const middle = (low + high) >> 1;
    if (list.groups[middle].heading <= row) {
      found = middle;
      low = middle + 1;
    } else {
      high = middle - 1;
    }
  }
  return found;
}

// What display row `row` shows: {group} for a heading, else {index} of the
// entry.
function itemAt(row) {
  const group = groupAtRow(row);
  if (group >= 0 && list.groups[group].heading === row) return {group};
  return {index: row - group - 1};
}

function entryAt(index) {
  const page = list.pages.get(Math.floor(index / kPageRows));
  return page ? page[index % kPageRows] : undefined;
}

function cell(row, className, text, title) {
  const span = document.createElement('span');
  span.className = className;
  span.setAttribute('role', 'cell');
  span.textContent = text;
  if (title) span.title = title;
  row.append(span);
  return span;
}

function headingRow(group) {
  const row = document.createElement('div');
  row.className = 'row heading';
  row.setAttribute('role', 'row');
  row.dataset.group = String(group);
  const {label, count} = list.groups[group];
  const span = document.createElement('span');
  span.className = 'heading-text';
  span.setAttribute('role', 'rowheader');
  span.append(label);
  const number = document.createElement('span');
  number.className = 'count';
  number.textContent = count === 1 ? '1 item' : count + ' items';
  span.append(number);
  row.append(span);
  return row;
}

// A row of a page that could not be read: it says so and offers to try the
// page again (the banner says what went wrong).
function failedRow(row, index) {
  row.classList.add('failed');
  const span = cell(row, 'name', 'Not loaded. ');
  const retry = document.createElement('button');
  retry.type = 'button';
  retry.className = 'retry';
  retry.dataset.page = String(Math.floor(index / kPageRows));
  retry.textContent = 'Retry';
  span.append(retry);
}

function entryRow(index, entry) {
  const row = document.createElement('div');
  row.className = 'row' + (index % 2 ? ' odd' : '');
  row.setAttribute('role', 'row');
  row.dataset.index = String(index);
  const icon = document.createElement('span');
  icon.className = 'icon-cell';
  icon.setAttribute('aria-hidden', 'true');
  row.append(icon);
  if (!entry) {
    row.classList.add('loading');
    if (list.failed.has(Math.floor(index / kPageRows))) {
      failedRow(row, index);
    } else if (!list.gone) {
      cell(row, 'name', 'Loading…');
    }
    return row;
  }
  const kind = kindOf(entry);
  row.dataset.kind = kind;
  row.dataset.bytes = String(entry.filesize);
  icon.innerHTML = '<svg class="icon kind-' + kind + '"><use href="#icon-' + iconOf(kind) +
      '"/></svg>';
  const path = entry.filepath || '';
  const folder = path.slice(0, Math.max(path.lastIndexOf('/'), 0)) || '/';
  const name = cell(row, 'name', '', entry.filename);
  const href = entry.isfolder ? linkOf(entry) : null;
  if (href) {
    const link = document.createElement('a');
    link.href = href;
    link.textContent = entry.filename;
    name.append(link);
    row.dataset.href = href;
  } else {
    name.textContent = entry.filename;
  }
  cell(row, 'folder', folder, folder);
  // A folder's size is that of its own entry (its list of names), which is
  // also what a size condition compares.
  const size = cell(row, 'size', humanSize(entry.filesize), entry.isfolder ?
      entry.filesize + ' bytes: the folder\'s own entry, not what it holds' :
      entry.filesize + ' bytes');
  if (entry.isfolder) size.classList.add('own');
  cell(row, 'date', shortDate(entry.epochmt), longDate(entry.epochmt));
  cell(row, 'owner', entry.owner, entry.owner);
  cell(row, 'group', entry.group, entry.group);
  cell(row, 'perm', entry.privilege);
  return row;
}

function makeRow(displayRow) {
  const item = itemAt(displayRow);
  const row = item.group !== undefined ? headingRow(item.group) :
      entryRow(item.index, entryAt(item.index));
  row.setAttribute('aria-rowindex', String(displayRow + 2));
  row.style.transform = 'translateY(' + displayRow * rowHeight + 'px)';
  return row;
}

function clearRows() {
  for (const row of shown.values()) row.remove();
  shown.clear();
}

// ---- pages -------------------------------------------------------------------

function showBanner(text, kind) {
  $('banner').querySelector('p').textContent = text;
  $('banner').dataset.kind = kind;
  $('banner').hidden = false;
}

// Fetches page `page` of `target` and shows it when `target` is still the list.
async function loadPage(target, page) {
  target.pending.add(page);
  try {
    const reply = await call('fetch.cache', {
      index: target.slot.index, uuid: target.slot.uuid, limit: kPageRows,
      offset: page * kPageRows,
    }, {timeoutMs: kPageTimeoutMs});
    if (target !== list) return;
    target.pages.set(page, reply.datas || []);
    if (reply.changed === true) {
      showBanner('The folders have changed since this list was made.', 'changed');
    } else if ($('banner').dataset.kind === 'failed' && target.failed.size === 0) {
      $('banner').hidden = true;
    }
    dropFarPages(target, page);
  } catch (error) {
    if (target !== list || error.code === 401) return;
    if (error instanceof ApiError && error.text === 'invalid uuid') {
      // A search of another window of this session replaced the slot's list.
      target.gone = true;
      showBanner(error.message, 'gone');
    } else {
      target.failed.add(page);
      const first = page * kPageRows + 1;
      const last = Math.min(target.total, (page + 1) * kPageRows);
      showBanner('Rows ' + first + '–' + last + ' could not be loaded. ' + error.message,
                 'failed');
    }
  } finally {
    target.pending.delete(page);
    if (target === list) {
      // The page's rows are made again at once, loaded or failed.
      for (const [row, element] of shown) {
        if (element.classList.contains('loading') &&
            Math.floor(Number(element.dataset.index) / kPageRows) === page) {
          element.remove();
          shown.delete(row);
        }
      }
      render();
    }
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

function retry(page) {
  if (!list || !list.failed.delete(page)) return;
  for (const [row, element] of shown) {
    if (element.classList.contains('failed')) {
      element.remove();
      shown.delete(row);
    }
  }
  render();
}

// ---- rendering ---------------------------------------------------------------

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
  const count = rowCount();
  $('list').setAttribute('aria-rowcount', String(count + 1));
  $('rows').style.height = count * rowHeight + 'px';
  const top = viewport.scrollTop;
  const first = Math.max(0, Math.floor(top / rowHeight) - kOverscan);
  const end = Math.min(count, Math.ceil((top + viewport.clientHeight) / rowHeight) + kOverscan);
  for (const [row, element] of shown) {
    const stale = element.classList.contains('loading') &&
        entryAt(Number(element.dataset.index)) !== undefined;
    // A row that holds the focus stays, so that the keyboard keeps its place.
    const focused = element.contains(document.activeElement);
    if (((row < first || row >= end) && !focused) || stale) {
      element.remove();
      shown.delete(row);
    }
  }
  const rows = $('rows');
  const wanted = new Set();
  for (let row = first; row < end; ++row) {
    const item = itemAt(row);
    if (item.index !== undefined) wanted.add(Math.floor(item.index / kPageRows));
    if (shown.has(row)) continue;
    const element = makeRow(row);
    rows.append(element);
    shown.set(row, element);
  }
  if (list.slot && !list.gone) {
    for (const page of wanted) {
      if (list.pending.size >= kPagesAtOnce) break;
      if (!list.pages.has(page) && !list.pending.has(page) && !list.failed.has(page)) {
        loadPage(list, page);
      }
    }
  }
  updatePosition();
}

function updatePosition() {
  const viewport = $('viewport');
  const total = list ? list.total : 0;
  const count = list ? rowCount() : 0;
  if (list) {
    $('summary').textContent = total === 0 ? 'Nothing here.' :
        total === 1 ? '1 item' : total + ' items';
  }
  // The first and last entries whose rows are in view.
  let first = 0;
  let last = 0;
  if (total > 0) {
    const top = Math.min(count - 1, Math.floor(viewport.scrollTop / rowHeight + 0.5));
    const bottom = Math.min(count - 1,
                            Math.floor((viewport.scrollTop + viewport.clientHeight) / rowHeight) - 1);
    const entryOf = (row, step) => {
      for (let at = row; at >= 0 && at < count; at += step) {
        const item = itemAt(at);
        if (item.index !== undefined) return item.index;
      }
      return -1;
    };
    first = entryOf(top, 1) + 1;
    last = entryOf(Math.max(bottom, top), -1) + 1;
  }
  $('position').textContent = total === 0 ? '' :
      'Rows ' + first + '–' + Math.max(first, last) + ' of ' + total;
  $('previous').disabled = viewport.scrollTop <= 0;
  $('next').disabled = viewport.scrollTop + viewport.clientHeight >= count * rowHeight - 1;
}

function showGroupChoice() {
  const select = $('group-jump');
  select.replaceChildren(new Option('Go to group…', ''));
  for (const [index, group] of list.groups.entries()) {
    select.add(new Option(group.label + ' (' + group.count + ')', String(index)));
  }
  $('group-choice').hidden = list.groups.length === 0;
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
  $('rows').style.height = rowCount() * rowHeight + 'px';
  viewport.scrollTop = firstRow * rowHeight;
  render();
}

function turnPage(direction) {
  const viewport = $('viewport');
  viewport.scrollTop += direction * Math.max(rowHeight, viewport.clientHeight - rowHeight);
}

// ---- what the rest of the page calls -------------------------------------------

// Wires the list's controls. `folderLink` (entry) gives the address that
// opens a folder entry; `open` (address) goes there.
export function setUpList(folderLink, open) {
  linkOf = folderLink;
  rowHeight = $('probe').getBoundingClientRect().height || 36;
  new ResizeObserver(measureRows).observe($('viewport'));
  $('viewport').addEventListener('scroll', queueRender, {passive: true});
  $('previous').addEventListener('click', () => turnPage(-1));
  $('next').addEventListener('click', () => turnPage(1));
  $('group-jump').addEventListener('change', () => {
    const group = list && list.groups[Number($('group-jump').value)];
    $('group-jump').value = '';
    if (!group) return;
    $('viewport').scrollTop = group.heading * rowHeight;
    $('viewport').focus();
  });
  $('rows').addEventListener('click', (event) => {
    const button = event.target.closest('button.retry');
    if (button) {
      retry(Number(button.dataset.page));
      return;
    }
    // A click anywhere on a folder's row opens it, as one on its name does.
    const row = event.target.closest('.row[data-href]');
    if (row && !event.target.closest('a')) open(row.dataset.href);
  });
}

// Shows `made` (wholeList or slotList) from its first row.
export function showList(made) {
  list = made;
  $('list').dataset.uuid = made.id;
  $('banner').hidden = true;
  clearRows();
  $('viewport').scrollTop = 0;
  showGroupChoice();
  render();
}

// No list: a refused or failed request. `summary` says why.
export function clearList(summary) {
  list = null;
  $('list').dataset.uuid = '';
  $('banner').hidden = true;
  clearRows();
  $('rows').style.height = '0';
  $('group-choice').hidden = true;
  $('summary').textContent = summary;
  $('position').textContent = '';
}
