// Where the list is: the breadcrumb from the share down to the open folder,
// each part a link, the Up link, and the folder choice of the form filled
// with the share's sub-folders.
import {call} from './api.js';
import {folderState, fragmentOf} from './address.js';
import {showFolder} from './form.js';

const $ = (id) => document.getElementById(id);
const kFolderLimit = 2000;  // sub-folders offered in the folder choice

function link(text, href) {
  const a = document.createElement('a');
  a.href = href;
  a.textContent = text;
  return a;
}

// Shows the breadcrumb and the Up link of `state` in `share`.
export function showPlace(state, share) {
  const parts = state.folder.split('/').slice(1);
  const crumbs = $('crumbs');
  crumbs.replaceChildren();
  const item = (text, folder) => {
    const li = document.createElement('li');
    const a = link(text, fragmentOf(folderState(state, folder), share.alias));
    if (folder === state.folder) a.setAttribute('aria-current', 'location');
    li.append(a);
    crumbs.append(li);
  };
  item(share.alias.replace(/^\//, '') || share.alias, '');
  parts.forEach((part, at) => item(part, '/' + parts.slice(0, at + 1).join('/')));

  const up = $('up');
  if (parts.length === 0) {
    up.removeAttribute('href');
    up.setAttribute('aria-disabled', 'true');
  } else {
    const parent = parts.length > 1 ? '/' + parts.slice(0, -1).join('/') : '';
    up.href = fragmentOf(folderState(state, parent), share.alias);
    up.removeAttribute('aria-disabled');
  }
}

// Fills the folder choice with the share's sub-folders (the first
// kFolderLimit the service finds), keeping the one chosen.
export async function loadFolders(share, lang) {
  const reply = await call('fetch.resource', {
    path: [{full_path: share.path, alias: share.alias}], recursive: true, type: 'folder',
    limit: kFolderLimit, lang,
  });
  const collator = new Intl.Collator(undefined, {numeric: true});
  const folders = (reply.datas || [])
      .map((entry) => entry.filepath)
      .filter((path) => path.startsWith(share.alias + '/'))
      .sort(collator.compare);
  const select = $('folder');
  const chosen = select.value;
  const known = new Set([...select.options].map((option) => option.value));
  for (const path of folders) {
    const folder = path.slice(share.alias.length);
    if (!known.has(folder)) select.add(new Option(path, folder));
  }
  // Sorted again, with the share first, now that all are in.
  const options = [...select.options].sort((a, b) => a.value === '' ? -1 : b.value === '' ? 1 :
      collator.compare(a.value, b.value));
  select.replaceChildren(...options);
  showFolder(chosen, share.alias);
}
