// The search form: the state it shows and the state it reads, the request
// the service gets for a state, and the service's refusals written as
// sentences at their fields.
import {kDefaults} from './address.js';

const $ = (id) => document.getElementById(id);

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

export function fillLanguages() {
  const select = $('lang');
  for (const [code, name, tag] of kLanguages) {
    const option = new Option(name, code);
    option.lang = tag;
    select.add(option);
  }
  select.value = defaultLanguage();
}

// The folder choice shows `folder` (a sub-folder path), adding it when the
// list of folders does not hold it.
export function showFolder(folder, alias) {
  const select = $('folder');
  if (![...select.options].some((option) => option.value === folder)) {
    select.add(new Option(alias + folder, folder));
  }
  select.value = folder;
}

// ---- state and form ----------------------------------------------------------

const kSizePattern = /^(>=|>|==|<=|<)(.*?)([KMGTP]?)$/;

export function showState(state, alias) {
  showFolder(state.folder, alias);
  $('name').value = state.name;
  const [type, extension] = state.type.startsWith('extname') ?
      ['extname', state.type.slice('extname:'.length)] : [state.type, ''];
  $('type').value = type;
  $('extension').value = extension;
  $('extension').disabled = type !== 'extname';
  $('recursive').checked = state.recursive;
  $('hidden').checked = state.hidden;
  $('after').value = state.after;
  $('before').value = state.before;
  const size = kSizePattern.exec(state.size) || ['', '>=', '', ''];
  [$('size-op').value, $('size').value, $('size-unit').value] = size.slice(1);
  $('owner').value = state.owner;
  $('group').value = state.group;
  const [sortKey, sortDir] = state.sort.split(':');
  $('sort').value = sortKey;
  $('sort-dir').value = sortDir || 'asc';
  const [clusterKey, clusterDir] = state.cluster.split(':');
  $('cluster').value = clusterKey;
  $('cluster-dir').value = clusterDir || '';
  $('lang').value = state.lang || defaultLanguage();
  // Conditions the list was made with are in view.
  $('more').open = $('more').open || ['after', 'before', 'size', 'owner', 'group']
      .some((key) => state[key] !== '');
}

export function readState() {
  const value = (id) => $(id).value;
  const type = value('type');
  const size = value('size').trim();
  const lang = value('lang');
  return {
    ...kDefaults,
    folder: value('folder'),
    name: value('name'),
    type: type !== 'extname' ? type :
        value('extension') !== '' ? 'extname:' + value('extension') : 'extname',
    recursive: $('recursive').checked,
    hidden: $('hidden').checked,
    after: value('after'),
    before: value('before'),
    size: size !== '' ? value('size-op') + size + value('size-unit') : '',
    owner: value('owner'),
    group: value('group'),
    sort: value('sort') + ':' + value('sort-dir'),
    cluster: value('cluster') === '' ? '' :
        value('cluster') + (value('cluster-dir') ? ':' + value('cluster-dir') : ''),
    lang: lang === defaultLanguage() ? '' : lang,
  };
}

// The search request of `state` in `share`: the body of fetch.resource and
// create.cache, without the slot and the page.
export function requestOf(state, share) {
  const request = {
    path: [{full_path: share.path + state.folder, alias: share.alias + state.folder}],
    recursive: state.recursive,
    hidden: state.hidden ? 0 : 1,
    sort: state.sort,
    lang: state.lang || defaultLanguage(),
  };
  if (state.name !== '') request.name = state.name;
  if (state.type !== '') request.type = state.type;
  // The service takes a day as its start in UTC and compares it with the
  // day of each file in the appliance's time zone.
  const day = (text) => Date.parse(text + 'T00:00:00Z') / 1000;
  const date = [];
  if (state.after !== '') date.push('>=' + day(state.after));
  if (state.before !== '') date.push('<' + day(state.before));
  if (date.length > 0) request.date = date;
  // The size goes as typed: the service tells when it is not a number.
  if (state.size !== '') request.size = state.size;
  if (state.owner !== '') request.owner = state.owner;
  if (state.group !== '') request.group = state.group;
  if (state.cluster !== '') request.cluster = state.cluster;
  return request;
}

// ---- refusals ----------------------------------------------------------------

// The field of each refusal of the search endpoints, and what it says to a
// person who filled the form as `state`.
const kRefusals = {
  'invalid name': ['name', () => 'This name pattern cannot be searched for.'],
  'invalid type': ['type', () => 'Choose a type from the list.'],
  'invalid date': ['date', () => 'Enter whole days: year, month and day.'],
  'invalid size': ['size', () => 'Enter the size as a whole number, such as 500 or 20, ' +
                   'and choose its unit beside it.'],
  'invalid owner': ['owner', (state) => 'No user named “' + state.owner + '”.'],
  'invalid group': ['group', (state) => 'No group named “' + state.group + '”.'],
  'invalid sort': ['sort', () => 'Choose an order from the list.'],
  'invalid cluster': ['cluster', () => 'Choose a grouping from the list.'],
  'invalid lang': ['lang', () => 'Choose a language from the list.'],
  'invalid path': ['folder', () => 'This folder cannot be listed.'],
  'invalid path type': ['folder', () => 'This folder cannot be listed.'],
  'invalid path array item': ['folder', () => 'This folder cannot be listed.'],
  'invalid full_path object format': ['folder', () => 'This folder cannot be listed.'],
  'invalid alias object format': ['folder', () => 'This folder cannot be listed.'],
};
const kControlsOf = {
  type: ['type', 'extension'], date: ['after', 'before'], size: ['size'],
};

export function clearErrors() {
  for (const element of document.querySelectorAll('.search .error')) {
    element.hidden = true;
    element.textContent = '';
  }
  for (const element of document.querySelectorAll('[aria-invalid]')) {
    element.removeAttribute('aria-invalid');
  }
}

// Shows `error` next to its field, or above the form when it has none.
export function showError(error, state) {
  const refusal = kRefusals[error.text];
  const place = refusal ? $(refusal[0] + '-error') : $('form-error');
  place.textContent = refusal ? refusal[1](state) : error.message;
  place.hidden = false;
  if (!refusal) return;
  const controls = (kControlsOf[refusal[0]] || [refusal[0]]).map($);
  for (const control of controls) control.setAttribute('aria-invalid', 'true');
  const more = controls[0].closest('details');
  if (more) more.open = true;
  controls[0].focus();
}
