#include "query/file_type.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>

namespace orv {
namespace {

// Grouped by category, in the order file_types() hands them out.
constexpr FileType kFileTypes[] = {
    {kMusic, "ogg", "audio/ogg"},
    {kMusic, "aac", "audio/x-aac"},
    {kMusic, "aif", "audio/x-aiff"},
    {kMusic, "aiff", "audio/x-aiff"},
    {kMusic, "dff", "audio/x-dff"},
    {kMusic, "dsf", "audio/x-dsf"},
    {kMusic, "flac", "audio/x-flac"},
    {kMusic, "m4a", "audio/x-m4a"},
    {kMusic, "m4b", "audio/x-m4b"},
    {kMusic, "m4r", "audio/x-m4r"},
    {kMusic, "mka", "audio/x-matroska"},
    {kMusic, "ape", "audio/x-monkeys-audio"},
    {kMusic, "wma", "audio/x-ms-wma"},
    {kMusic, "ra", "audio/x-pn-realaudio"},
    {kMusic, "wav", "audio/x-wav"},
    {kMusic, "wv", "audio/x-wavpack"},
    {kMusic, "mp3", "audio/mpeg"},
    {kMusic, "mpa", "audio/mpeg"},
    {kMusic, "au", "audio/basic"},

    {kVideo, "3gp", "video/3gp"},
    {kVideo, "bdmv", "video/bluray"},
    {kVideo, "divx", "video/divx"},
    {kVideo, "ifo", "video/dvd"},
    {kVideo, "iso", "video/iso"},
    {kVideo, "insv", "video/mp4"},
    {kVideo, "m4v", "video/mp4"},
    {kVideo, "mp4", "video/mp4"},
    {kVideo, "rmp4", "video/mp4"},
    {kVideo, "m1v", "video/mpeg"},
    {kVideo, "m2t", "video/mpeg"},
    {kVideo, "m2ts", "video/mpeg"},
    {kVideo, "m2v", "video/mpeg"},
    {kVideo, "mod", "video/mpeg"},
    {kVideo, "mpeg", "video/mpeg"},
    {kVideo, "mpg", "video/mpeg"},
    {kVideo, "mts", "video/mpeg"},
    {kVideo, "tod", "video/mpeg"},
    {kVideo, "tp", "video/mpeg"},
    {kVideo, "trp", "video/mpeg"},
    {kVideo, "ts", "video/mpeg"},
    {kVideo, "mov", "video/quicktime"},
    {kVideo, "rm", "video/vnd.rn-realvideo"},
    {kVideo, "rmvb", "video/vnd.rn-realvideo"},
    {kVideo, "webm", "video/webm"},
    {kVideo, "f4v", "video/x-f4v"},
    {kVideo, "flv", "video/x-flv"},
    {kVideo, "mkv", "video/x-matroska"},
    {kVideo, "mp2v", "video/x-mpeg2"},
    {kVideo, "mpv2", "video/x-mpeg2"},
    {kVideo, "asf", "video/x-ms-asf"},
    {kVideo, "wmv", "video/x-ms-wmv"},
    {kVideo, "avi", "video/x-msvideo"},

    {kPhoto, "3fr", "image/3fr"},
    {kPhoto, "bmp", "image/bmp"},
    {kPhoto, "dcr", "image/dcr"},
    {kPhoto, "dng", "image/dng"},
    {kPhoto, "erf", "image/erf"},
    {kPhoto, "gif", "image/gif"},
    {kPhoto, "heic", "image/heic"},
    {kPhoto, "heif", "image/heif"},
    {kPhoto, "jpeg", "image/jpeg"},
    {kPhoto, "iiq", "image/jpeg"},
    {kPhoto, "insp", "image/jpeg"},
    {kPhoto, "jpe", "image/jpeg"},
    {kPhoto, "jpg", "image/jpeg"},
    {kPhoto, "k25", "image/k25"},
    {kPhoto, "kdc", "image/kdc"},
    {kPhoto, "mef", "image/mef"},
    {kPhoto, "mos", "image/mos"},
    {kPhoto, "mrw", "image/mrw"},
    {kPhoto, "nef", "image/nef"},
    {kPhoto, "orf", "image/orf"},
    {kPhoto, "pef", "image/pef"},
    {kPhoto, "png", "image/png"},
    {kPhoto, "ptx", "image/ptx"},
    {kPhoto, "raf", "image/raf"},
    {kPhoto, "raw", "image/raw"},
    {kPhoto, "rw2", "image/rw2"},
    {kPhoto, "arw", "image/sony"},
    {kPhoto, "sr2", "image/sony"},
    {kPhoto, "srf", "image/srf"},
    {kPhoto, "tiff", "image/tiff"},
    {kPhoto, "tif", "image/tiff"},
    {kPhoto, "webp", "image/webp"},
    {kPhoto, "cr2", "image/x-canon-cr2"},
    {kPhoto, "crw", "image/x-canon-crw"},
    {kPhoto, "tga", "image/x-tga"},
    {kPhoto, "x3f", "image/x3f"},
    {kPhoto, "hif", "image/heif"},

    {kPdf, "pdf", "application/pdf"},

    {kWordDocument, "doc", "application/msword"},
    {kWordDocument, "docx",
     "application/"
     "vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {kWordDocument, "docm", "application/vnd.ms-word.document.macroEnabled.12"},
    {kWordDocument, "dotx",
     "application/"
     "vnd.openxmlformats-officedocument.wordprocessingml.template"},
    {kWordDocument, "dotm", "application/vnd.ms-word.template.macroEnabled.12"},
    {kWordDocument, "dot", "application/msword"},

    {kSpreadsheet, "xls", "application/vnd.ms-excel"},
    {kSpreadsheet, "xlsx",
     "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {kSpreadsheet, "xlsm", "application/vnd.ms-excel.sheet.macroEnabled.12"},
    {kSpreadsheet, "xlt", "application/vnd.ms-excel"},
    {kSpreadsheet, "xltx",
     "application/vnd.openxmlformats-officedocument.spreadsheetml.template"},
    {kSpreadsheet, "xltm", "application/vnd.ms-excel.template.macroEnabled.12"},
    {kSpreadsheet, "xlam", "application/vnd.ms-excel.addin.macroEnabled.12"},

    {kPresentation, "ppt", "application/vnd.ms-powerpoint"},
    {kPresentation, "pptx",
     "application/"
     "vnd.openxmlformats-officedocument.presentationml.presentation"},
    {kPresentation, "pptm",
     "application/vnd.ms-powerpoint.presentation.macroEnabled.12"},
    {kPresentation, "potx",
     "application/"
     "vnd.openxmlformats-officedocument.presentationml.template"},
    {kPresentation, "potm",
     "application/vnd.ms-powerpoint.template.macroEnabled.12"},
    // The one MIME type written with a lower-case "enabled"; clients compare
    // it as sent.
    {kPresentation, "ppam",
     "application/vnd.ms-powerpoint.addin.macroenabled.12"},
    {kPresentation, "ppsx",
     "application/"
     "vnd.openxmlformats-officedocument.presentationml.slideshow"},
    {kPresentation, "ppsm",
     "application/vnd.ms-powerpoint.slideshow.macroEnabled.12"},
    {kPresentation, "pot", "application/mspowerpoint"},
    {kPresentation, "pps", "application/vnd.ms-powerpoint"},
    {kPresentation, "rtf", "application/rtf"},

    {kMail, "eml", "message/rfc822"},
};

// The index is filled once and only read afterwards, by any thread or by
// forked request processes. `built` is set after the map is complete, so a
// reader that sees it true may read the map without the mutex; a reader that
// sees it false answers as if the extension were unknown.
struct FileTypeIndex {
  std::mutex mutex;
  std::atomic<bool> built{false};
  // Written under mutex before built is set; read-only afterwards.
  std::map<std::string, const FileType*> by_extension;
};

FileTypeIndex& file_type_index() {
  static FileTypeIndex* instance = new FileTypeIndex;  // Lives until exit.
  return *instance;
}

// The row of `extension` in any letter case, or nullptr.
const FileType* find(std::string_view extension) {
  FileTypeIndex& idx = file_type_index();
  if (!idx.built.load(std::memory_order_acquire)) return nullptr;
  std::string key(extension);
  // ASCII only, like tolower in the C locale: extensions in the table are
  // plain ASCII and other bytes must never match them.
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  auto it = idx.by_extension.find(key);
  return it == idx.by_extension.end() ? nullptr : it->second;
}

}  // namespace

std::span<const FileType> file_types() { return kFileTypes; }

void build_file_type_index() {
  FileTypeIndex& idx = file_type_index();
  std::lock_guard<std::mutex> lock(idx.mutex);
  if (idx.built.load(std::memory_order_relaxed)) return;
  for (const FileType& row : kFileTypes) {
    idx.by_extension[row.extension] = &row;
  }
  idx.built.store(true, std::memory_order_release);
}

bool category_is(std::string_view extension, uint32_t category) {
  const FileType* row = find(extension);
  return row != nullptr && row->category == category;
}

bool category_in(std::string_view extension, uint32_t mask) {
  const FileType* row = find(extension);
  return row != nullptr && (row->category & mask) != 0;
}

bool is_media(std::string_view extension) {
  return category_in(extension, kMediaMask);
}

bool is_document(std::string_view extension) {
  return category_in(extension, kDocumentMask);
}

}  // namespace orv
