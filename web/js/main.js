// The file list page. It signs in from the one-time fragment that `make run`
// prints, then shows the list that the address names: a folder's own entries
// (the share's at first) or a search. A click on a folder opens it; the
// breadcrumb and Up go back towards the share; the form searches. Every list
// goes through the address, so Back, Forward and reload give it again.
import {call, whenSignedOut} from './api.js';
import {folderState, fragmentOf, isFolderView, stateOf, takeSignIn} from './address.js';
import {loadFolders, showPlace} from './folders.js';
import {clearErrors, fillLanguages, readState, requestOf, showError, showState} from
    './form.js';
import {kTimeZone} from './format.js';
import {clearList, setUpList, showList, slotList, wholeList} from './list.js';

const kSlot = 1;            // the cache slot of this page's lists
const kWholeLimit = 2000;   // the most entries fetch.resource reads (and answers)

const $ = (id) => document.getElementById(id);

let share = null;     // {alias, path}: the shared folder the page lists
let current = null;   // the state of the list on screen, or being made
let generation = 0;   // counts lists asked for; the answer to an older one is dropped

// A folder's own entries come whole from fetch.resource, one request like a
// page fetch, which reads at most its limit (2,000 entries). A larger folder
// goes, like every search, into the page's cache slot, whose list has no
// such bound and is read a page at a time.
async function makeList(state) {
  const request = requestOf(state, share);
  const key = state.cluster.split(':')[0];
  if (isFolderView(state)) {
    const reply = await call('fetch.resource', {...request, limit: kWholeLimit, offset: 0});
    if (reply.total < kWholeLimit) return wholeList(reply, key);
  }
  return slotList(await call('create.cache', {...request, index: kSlot}), key, kSlot);
}

async function load(state) {
  const mine = ++generation;
  current = state;
  showState(state, share.alias);
  showPlace(state, share);
  clearErrors();
  $('submit').disabled = true;
  $('summary').textContent = isFolderView(state) ? 'Opening…' : 'Searching…';
  try {
    const made = await makeList(state);
    if (mine === generation) showList(made);
  } catch (error) {
    if (mine !== generation || error.code === 401) return;
    // No list stays on screen that could pass for this request's answer.
    clearList(error.text ? 'Nothing listed: the request was refused.' : 'Nothing listed.');
    showError(error, state);
  } finally {
    if (mine === generation) $('submit').disabled = false;
  }
}

// Goes to the list of `state`: a new entry of the history, or the same list
// made again when the address names it already.
function navigate(state) {
  const fragment = fragmentOf(state, share.alias);
  if (location.hash === fragment) {
    load(state);
  } else {
    location.hash = fragment;
  }
}

function folderLink(entry) {
  const path = entry.filepath || '';
  if (!path.startsWith(share.alias + '/')) return null;
  return fragmentOf(folderState(current, path.slice(share.alias.length)), share.alias);
}

function signOut() {
  ++generation;
  clearList('');
  $('app').hidden = true;
  $('share-name').textContent = '';
  $('no-share').hidden = true;
  $('signed-out').hidden = false;
}

async function start() {
  const signIn = takeSignIn();
  share = signIn.share;
  whenSignedOut(signOut);
  fillLanguages();
  if (!share) {
    history.replaceState(null, '', location.pathname + location.search);
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
  $('zone').textContent = '(' + kTimeZone + ')';
  $('zone').parentElement.title = 'Dates and times in your time zone, ' + kTimeZone;
  setUpList(folderLink, (href) => {
    location.hash = href;
  });

  $('search').addEventListener('submit', (event) => {
    event.preventDefault();
    navigate(readState());
  });
  $('type').addEventListener('change', () => {
    $('extension').disabled = $('type').value !== 'extname';
  });
  $('refresh').addEventListener('click', () => load(current));
  window.addEventListener('hashchange', () => {
    const state = stateOf(location.hash, share.alias);
    // An address typed by hand is written back as the page writes it.
    const fragment = fragmentOf(state, share.alias);
    if (location.hash !== fragment) history.replaceState(null, '', fragment);
    load(state);
  });

  const state = stateOf(signIn.rest, share.alias);
  history.replaceState(null, '', location.pathname + location.search +
                       fragmentOf(state, share.alias));
  await load(state);
  try {
    await loadFolders(share, requestOf(state, share).lang);
  } catch (error) {
    // The choice keeps the share and the open folder.
  }
}

start();
