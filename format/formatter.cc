#include "format/formatter.h"

#include <sys/stat.h>
#include <time.h>
#include <unicode/unistr.h>

#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

#include "common/log.h"
#include "common/platform/root.h"
#include "common/platform/tovix.h"
#include "format/media_probe.h"
#include "format/storage_probe.h"
#include "query/file_type.h"

namespace orv {

namespace {

// Suffixes of the transcoded copies of a video, in the order of the members
// "mp4_240" ... "mp4_org".
constexpr const char* kTranscodeSuffixes[] = {
    ".mobile240p", ".mobile360p",  ".mobile480p",
    ".ipad720p",   ".mobile1080p", ".original",
};
constexpr const char* kTranscodeKeys[] = {
    "mp4_240", "mp4_360", "mp4_480", "mp4_720", "mp4_1080", "mp4_org",
};
constexpr size_t kTranscodeCount = std::size(kTranscodeSuffixes);

// Extensions that may carry a 360-degree projection. Compared with their
// letter case: only the lower-case spellings are probed.
constexpr std::string_view kProjectionExtensions[] = {"jpeg", "jpg", "jpe",
                                                      "mp4"};

constexpr char kApplicationConf[] = "/var/.application.conf";

// Whether the file `name` exists in folder `path` (following links), by the
// same path join as every other entry.
bool file_exists(const std::string& path, std::string name) {
  Entry probe;
  probe.path = path;
  probe.name = std::move(name);
  return probe.stat_path(true);
}

bool has_projection_extension(const std::string& extension) {
  for (std::string_view candidate : kProjectionExtensions) {
    if (extension == candidate) return true;
  }
  return false;
}

// Most members of an entry are flags. The values 0 and 1 are shared by every
// object that holds them (JSON values are counted references and never
// changed once built), which spares a page of 500 entries some ten thousand
// small allocations. Keys here are this file's own ASCII texts, so they are
// not checked for UTF-8 again on every entry.
void set_integer(json_t* object, const char* key, json_int_t value) {
  static json_t* const kZero = json_integer(0);
  static json_t* const kOne = json_integer(1);
  if (value == 0 && kZero != nullptr) {
    json_object_set_nocheck(object, key, kZero);
  } else if (value == 1 && kOne != nullptr) {
    json_object_set_nocheck(object, key, kOne);
  } else {
    json_object_set_new_nocheck(object, key, json_integer(value));
  }
}

// JSON strings must be UTF-8, file names need not be: a name with invalid
// sequences is shown with U+FFFD in their place rather than dropped, and
// never reaches the serialiser unchecked, which would fail the whole page.
void set_string(json_t* object, const char* key, const std::string& value) {
  json_t* text = json_stringn(value.data(), value.size());
  if (text == nullptr) {
    std::string repaired;
    icu::UnicodeString::fromUTF8(value).toUTF8String(repaired);
    text = json_stringn(repaired.data(), repaired.size());
  }
  json_object_set_new_nocheck(object, key, text);
}

}  // namespace

void Formatter::add_page_members(json_t*) {}

LegacyFormatter::LegacyFormatter(std::string user_name,
                                 std::string service_name)
    : user_name_(std::move(user_name)),
      service_name_(std::move(service_name)) {}

Json LegacyFormatter::format_entry(const Entry& entry) {
  const struct stat& st = entry.stat;
  const std::string full_path = entry.full_path();

  char privilege[8];
  std::snprintf(privilege, sizeof(privilege), "%03o",
                static_cast<unsigned>(st.st_mode & 0777));
  char modified[32] = "";
  struct tm local {};
  time_t mtime = st.st_mtime;
  if (localtime_r(&mtime, &local) != nullptr) {
    std::strftime(modified, sizeof(modified), "%F %T", &local);
  }

  const bool is_video = category_is(entry.extension, kVideo);
  if (!shares_) shares_.emplace();
  const int share = shares_->share_type(entry);
  const FolderLooks& looks = folder_looks(entry.path);

  int is_h265 = 0;
  if (is_video && hevc_share_allowed(share) && probe_hevc(entry)) {
    is_h265 = 1;
    has_h265_ = 1;
  }

  char randno[48];
  std::snprintf(randno, sizeof(randno), "%ld%ld", static_cast<long>(st.st_size),
                static_cast<long>(st.st_mtime));

  int transcoded[kTranscodeCount] = {};
  int trans = 0;
  if (is_video) {
    const std::string folder = entry.path + "/.@__thumb/transcode/";
    size_t present = 0;
    for (size_t i = 0; i < kTranscodeCount && looks.thumbnails; ++i) {
      transcoded[i] = file_exists(folder, entry.name + kTranscodeSuffixes[i]);
      present += transcoded[i];
    }
    // Without all copies on disk the media library may still serve the
    // video transcoded on the fly.
    trans = present == kTranscodeCount ||
            MediaLib_Transcoding_CheckFile(2, full_path.c_str()) != 0;
  }

  int projection = 0;
  if (has_projection_extension(entry.extension)) {
    projection = probe_projection(entry) == 1;
  }

  const int is_link = S_ISLNK(st.st_mode);
  const bool is_cached = share == 1;
  int is_folder = S_ISDIR(st.st_mode);
  long long size = st.st_size;
  int autotier = 0;
  if (is_link) {
    autotier = is_autotier(entry);
    // A link shows what it leads to; a dangling one shows nothing.
    struct stat target {};
    if (stat(full_path.c_str(), &target) == 0) {
      is_folder = S_ISDIR(target.st_mode);
    }
    size = target.st_size;
  }

  EncryptedFolderStatus encrypted;
  int folder_encrypted = 0;
  int folder_locked = 0;
  if (is_cached && is_folder &&
      probe_encrypted_folder(entry, &encrypted) == 0 &&
      encrypted.folder_path == full_path) {
    folder_encrypted = encrypted.encrypted;
    folder_locked = encrypted.lock_code;
  }

  int root_status = 0;
  int failed_count = 0;
  CacheMetaStatus meta;
  if (is_cached) {
    root_status = cache_root_status(entry);
    failed_count = upload_failed_count(entry);
    if (cache_status(entry, &meta) < 0) {
      log_line(LogKind::kError, "[%s] get cache mount file status error",
               service_name_.c_str());
    }
  }

  int snapshot_volume = -1;
  int snapshot_id = -1;
  std::vector<char> mount_path(full_path.size() + 256, '\0');
  const int kind = path_kind(entry, share);
  if (kind == kSnapshotFolder || kind == kSnapshotVaultFolder) {
    NAS_Snapshot_Get_Id_Path(full_path.c_str(), &snapshot_volume, &snapshot_id,
                             mount_path.data(),
                             static_cast<int>(mount_path.size()));
    mount_path.back() = '\0';  // Whatever the library wrote, stay in bounds.
  }

  const int acl = Get_ACL_User_Group_Security_For_Share(user_name_.c_str(),
                                                        full_path.c_str());

  json_t* object = json_object();
  if (object == nullptr) return Json();
  std::string display_path = entry.alias_full_path();
  set_string(object, "filename", entry.name);
  set_string(object, "filepath",
             display_path.empty() ? entry.name : display_path);
  set_integer(object, "filesize", size);
  set_integer(object, "isfolder", is_folder);
  auto [group, new_group] = groups_.try_emplace(st.st_gid);
  if (new_group) group->second = group_name(entry);
  auto [owner, new_owner] = owners_.try_emplace(st.st_uid);
  if (new_owner) owner->second = owner_name(entry);
  set_string(object, "group", group->second);
  set_string(object, "owner", owner->second);
  set_string(object, "privilege", privilege);
  set_string(object, "mt", modified);
  set_integer(object, "epochmt", st.st_mtime);
  set_integer(object, "sticky_bit", 0);
  set_integer(object, "is_h265", is_h265);
  for (size_t i = 0; i < kTranscodeCount; ++i) {
    set_integer(object, kTranscodeKeys[i], transcoded[i]);
  }
  set_integer(object, "mp3",
              looks.audio && file_exists(entry.path,
                                         "Video2audio/" + entry.name + ".mp3"));
  // Files inside the transcode area itself are not offered for playing.
  set_integer(object, "play", entry.path.rfind("@Transcode/") == 0 ? 0 : 1);
  set_integer(object, "has_thumbnail",
              looks.thumbnails && has_thumbnail(entry));
  set_integer(object, "acl", acl);
  set_integer(object, "trans", trans);
  set_string(object, "randno", randno);
  set_integer(object, "projection_type", projection);
  set_integer(object, "encrypt_folder", 0);
  set_integer(object, "is_link", is_link);
  set_integer(object, "is_cached", is_cached);
  set_integer(object, "is_autotier", autotier);
  // Only the state, priority and progress of the record are shown; a zeroed
  // record gives zeros.
  set_integer(object, "cache_file_status", meta.state);
  set_integer(object, "cache_priority", meta.priority);
  set_integer(object, "cache_upload_progress",
              whole_progress(meta.upload_progress));
  set_integer(object, "cache_folder_is_encypted", folder_encrypted);
  set_integer(object, "cache_folder_is_locked", folder_locked);
  set_integer(object, "cache_root_status", root_status);
  set_integer(object, "upload_failed_count", failed_count);
  if (snapshot_id != -1) {
    set_integer(object, "snapshot_id", snapshot_id);
    set_integer(object, "snapshot_vol_id", snapshot_volume);
    set_string(object, "snapshot_mount_path", mount_path.data());
  }
  return Json::adopt(object);
}

const LegacyFormatter::FolderLooks& LegacyFormatter::folder_looks(
    const std::string& folder) {
  auto [looks, fresh] = folders_.try_emplace(folder);
  if (fresh) {
    // A path through a folder that cannot be reached (missing, a dangling
    // link, closed to the user) reaches nothing inside it either.
    looks->second.thumbnails = file_exists(folder, "/.@__thumb");
    looks->second.audio = file_exists(folder, "Video2audio");
  }
  return looks->second;
}

void LegacyFormatter::add_page_members(json_t* page) {
  if (page == nullptr) return;
  const int media_library_off = Get_Private_Profile_Integer(
      "DISABLE", "mediaLibrary", 0, root_path(kApplicationConf).c_str());
  set_integer(page, "has_h265", has_h265_);
  set_integer(page, "medialib", media_library_off == 0 ? 1 : 0);
  set_integer(page, "rtt_support", Is_Realtime_Transcoding_Support());
  set_integer(page, "medialib_enable", Is_MediaLib_Enabled());
  set_integer(page, "is_acl_enable", acl_enabled());
  set_integer(page, "is_winacl_enable", Is_Win_ACL_Enabled());
  set_integer(page, "is_winacl_support", Is_Win_ACL_Supported());
}

bool has_thumbnail(const Entry& entry) {
  // Probes in this order; each that accepts the extension gets one look at
  // the disk. Other extensions never touch it.
  for (bool (*probe)(std::string_view) : {&is_media, &is_document}) {
    if (!probe(entry.extension)) continue;
    Entry thumb;
    thumb.path = entry.path;
    thumb.name = "/.@__thumb/s100" + entry.name;
    if (thumb.stat_path(true)) return true;
  }
  return false;
}

}  // namespace orv
