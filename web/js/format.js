// How the page writes what the service answers: sizes, dates in the viewer's
// time zone, the kind of a file by its extension, and the labels of groups.

// The kinds of files by extension, in the categories of the service's file
// type table, for the icons.
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
const kIconOf = {pdf: 'document', file: 'file'};

export function kindOf(entry) {
  if (entry.isfolder) return 'folder';
  const name = entry.filename;
  const dot = name.lastIndexOf('.');
  if (dot <= 0) return 'file';
  return kKindOf.get(name.slice(dot + 1).toLowerCase()) || 'file';
}

export function iconOf(kind) {
  return kIconOf[kind] || kind;
}

export function humanSize(bytes) {
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

// ---- dates -------------------------------------------------------------------

// The service writes "mt" in the appliance's time zone; the page shows the
// entries' epoch seconds in the viewer's own.
const kDateParts = new Intl.DateTimeFormat('en-GB', {
  year: 'numeric', month: '2-digit', day: '2-digit', hour: '2-digit', minute: '2-digit',
  second: '2-digit', hourCycle: 'h23', timeZoneName: 'shortOffset',
});

function partsOf(epochSeconds) {
  const parts = {};
  for (const part of kDateParts.formatToParts(new Date(epochSeconds * 1000))) {
    parts[part.type] = part.value;
  }
  return parts;
}

// The viewer's time zone, such as "Europe/Berlin".
export const kTimeZone = Intl.DateTimeFormat().resolvedOptions().timeZone || 'local time';

// "2024-05-01 14:03", in the viewer's time zone.
export function shortDate(epochSeconds) {
  const p = partsOf(epochSeconds);
  return p.year + '-' + p.month + '-' + p.day + ' ' + p.hour + ':' + p.minute;
}

// "2024-05-01 14:03:07 GMT+2 (Europe/Berlin)": the whole time, and its zone.
export function longDate(epochSeconds) {
  const p = partsOf(epochSeconds);
  return p.year + '-' + p.month + '-' + p.day + ' ' + p.hour + ':' + p.minute + ':' +
      p.second + ' ' + p.timeZoneName + ' (' + kTimeZone + ')';
}

// ---- groups ------------------------------------------------------------------

// What each grouping key groups by, as the list's headings say it.
export const kGroupNames = {
  name: 'First letter', date: 'Month', type: 'Extension', size: 'Size',
  owner: 'Owner', group: 'Group', permission: 'Permissions',
};

const kSizeBands = {
  xs: 'under 100 B', s: '100 B to 10 KiB', m: '10 KiB to 1 MiB', l: '1 MiB to 100 MiB',
  xl: '100 MiB to 10 GiB', xxl: '10 GiB and more',
};

// The heading of a group of grouping `key` whose entries have `value`.
export function groupLabel(key, value) {
  if (key === 'type' && value === 'folder') return 'Folders';
  if (key === 'type' && value === '') return 'No extension';
  if (key === 'size') return 'Size ' + (kSizeBands[value] || value);
  if (key === 'date' && /^\d{4}\/\d{2}$/.test(value)) {
    const [year, month] = value.split('/').map(Number);
    return new Date(Date.UTC(year, month - 1, 15)).toLocaleDateString('en-GB', {
      month: 'long', year: 'numeric', timeZone: 'UTC',
    });
  }
  return (kGroupNames[key] || 'Group') + ': ' + (value === '' ? '(none)' : value);
}
