// What the address holds: the one-time sign-in fragment that `make run`
// prints ("#sid=...&alias=...&path=..."), and afterwards the open folder and
// the search conditions ("#folder=/Public/Music&sort=size:desc"), so that
// Back, Forward and reload give the same list. The shared folder itself is
// kept in the browser's storage.

// The state of a list, with its defaults: a folder of the share ("" for the
// share itself, else "/Music/Jazz"), the search conditions, the order and
// grouping ("name:asc", "type"), and the language ("" for the browser's).
export const kDefaults = Object.freeze({
  folder: '', name: '', type: '', recursive: false, hidden: false, after: '', before: '',
  size: '', owner: '', group: '', sort: 'name:asc', cluster: '', lang: '',
});

// True when `state` lists a folder's own entries rather than searching.
export function isFolderView(state) {
  return !state.recursive && ['name', 'type', 'after', 'before', 'size', 'owner', 'group']
      .every((key) => state[key] === '');
}

// The state that opens `folder` (a sub-folder path of the share): its own
// entries, in the order and grouping of `from`, no search conditions.
export function folderState(from, folder) {
  return {...kDefaults, folder, sort: from.sort, cluster: from.cluster, lang: from.lang,
          hidden: from.hidden};
}

// Keeps "/" and ":" readable in the address.
function encode(value) {
  return encodeURIComponent(value).replace(/%2F/g, '/').replace(/%3A/g, ':');
}

// The fragment of `state` under the share of alias `alias`: its folder always,
// the rest when it differs from the defaults.
export function fragmentOf(state, alias) {
  const pieces = ['folder=' + encode(alias + state.folder)];
  for (const [key, fallback] of Object.entries(kDefaults)) {
    const value = state[key];
    if (key === 'folder' || value === fallback) continue;
    pieces.push(key + '=' + (typeof value === 'boolean' ? '1' : encode(value)));
  }
  return '#' + pieces.join('&');
}

// The state a fragment holds; what it lacks, or holds in a form the page
// does not write, takes its default. A folder outside the share is the share.
export function stateOf(fragment, alias) {
  const params = new URLSearchParams(fragment.replace(/^#/, ''));
  const state = {...kDefaults};
  for (const [key, fallback] of Object.entries(kDefaults)) {
    if (!params.has(key)) continue;
    const value = params.get(key);
    state[key] = typeof fallback === 'boolean' ? value === '1' : value;
  }
  const folder = state.folder;
  state.folder = folder === alias ? '' :
      folder.startsWith(alias + '/') && !folder.split('/').includes('..') ?
      folder.slice(alias.length).replace(/\/+$/, '') : '';
  return state;
}

// Takes the session and the share from a sign-in fragment: the session
// becomes the NAS_SID cookie and the share is stored; both leave the
// address. Returns the share ({alias, path}) and the fragment that is left.
export function takeSignIn() {
  const params = new URLSearchParams(location.hash.slice(1));
  const sid = params.get('sid');
  // A cookie value may not hold separators; session ids never do.
  if (sid !== null && /^[A-Za-z0-9_-]{1,64}$/.test(sid)) {
    document.cookie = 'NAS_SID=' + sid + '; path=/; SameSite=Strict';
  }
  let share = storedShare();
  const path = params.get('path');
  if (path) {
    share = {alias: params.get('alias') || '/' + path.split('/').pop(), path};
    try {
      localStorage.setItem('orv.share', JSON.stringify(share));
    } catch (error) {
      // Kept for this visit only.
    }
  }
  for (const key of ['sid', 'alias', 'path']) params.delete(key);
  return {share, rest: params.toString()};
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
