#include "format/storage_probe.h"

#include <errno.h>
#include <sys/xattr.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>

#include "common/json.h"
#include "common/platform/tovix.h"
#include "format/share_root.h"
#include "format/tool.h"

namespace orv {

namespace {

// Where the cache manager's mount area puts the folder that holds a cached
// share's state, and the encrypted folder's volume and uuid segments.
constexpr size_t kCacheRootPosition = 35;
constexpr size_t kEncryptedSegmentPosition = 20;

constexpr size_t kGlobalErrorBufferSize = 512;
constexpr size_t kFailedCountBufferSize = 512;
constexpr size_t kMetaStatusBufferSize = 1024;

// The auto-tiering area, below the share folder.
constexpr char kAutotierArea[] = "external/.autotier/";

// Reads attribute `name` of `path` with a buffer of `size` bytes. nullopt when
// it cannot be read, with the errno of getxattr in `*error`.
std::optional<std::string> read_attribute(const std::string& path,
                                          const char* name, size_t size,
                                          int* error = nullptr) {
  std::string value(size, '\0');
  ssize_t length = getxattr(path.c_str(), name, value.data(), value.size());
  if (length < 0) {
    if (error != nullptr) *error = errno;
    return std::nullopt;
  }
  value.resize(static_cast<size_t>(length));
  return value;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

int32_t whole_progress(float progress) {
  // A plain cast of NaN or of a value beyond the range would be undefined.
  if (std::isnan(progress)) return 0;
  if (progress >= 2147483647.0f) return std::numeric_limits<int32_t>::max();
  if (progress <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(progress);
}

int32_t state_code(std::string_view state) {
  static constexpr struct {
    std::string_view text;
    int32_t code;
  } kStates[] = {
      {"non-cached", 1},         {"full-cached", 2}, {"partial-cached", 3},
      {"downloading", 4},        {"uploading", 5},   {"error", 6},
      {"wait-for-uploading", 9}, {"ignored", 10},    {"nospace", 11},
  };
  for (const auto& row : kStates) {
    if (row.text == state) return row.code;
  }
  return -1;
}

int32_t priority_code(std::string_view priority) {
  if (priority == "pin") return 1;
  if (priority == "low") return 3;
  return 2;
}

std::string cache_root(std::string_view full_path) {
  // find() from beyond the end finds nothing: the whole path is kept.
  return std::string(
      full_path.substr(0, full_path.find('/', kCacheRootPosition)));
}

int cache_root_status(const Entry& entry) {
  std::string path = entry.full_path();
  if (path.empty()) return -1;
  int error = 0;
  std::optional<std::string> value = read_attribute(
      cache_root(path), kGlobalErrorAttribute, kGlobalErrorBufferSize, &error);
  // A root without the attribute has had no global error.
  if (!value) return error == ENODATA ? 2000 : -1;

  Json global_error =
      Json::adopt(json_loadb(value->data(), value->size(), 0, nullptr));
  json_t* status = json_object_get(global_error.get(), "status");
  if (!json_is_integer(status)) return -1;
  return static_cast<int>(json_integer_value(status));
}

int upload_failed_count(const Entry& entry) {
  std::string path = entry.full_path();
  if (path.empty()) return -1;
  std::optional<std::string> value = read_attribute(
      cache_root(path), kFailedCountAttribute, kFailedCountBufferSize);
  if (!value) return 0;
  return static_cast<int32_t>(std::atoll(value->c_str()));
}

int probe_encrypted_folder(const Entry& entry, EncryptedFolderStatus* status) {
  std::string path = entry.full_path();
  if (path.size() <= kEncryptedSegmentPosition) return -1;
  // The volume segment runs from position 20 to the next "/", the uuid
  // segment from there to the following "/" or the end. A path without that
  // "/" does not lie in the mount area and has no segments to ask about.
  size_t slash = path.find('/', kEncryptedSegmentPosition);
  if (slash == std::string::npos) return -1;
  std::string volume =
      path.substr(kEncryptedSegmentPosition, slash - kEncryptedSegmentPosition);
  size_t end = path.find('/', slash + 1);
  std::string uuid =
      path.substr(slash + 1, end == std::string::npos ? std::string::npos
                                                      : end - slash - 1);

  std::string answer = run_tool(
      kFarmountTool,
      {"--func", "get_encrypted_folder_runtime_status", volume, "--uuid", uuid},
      ToolStream::kOutput);
  if (answer.empty()) return -1;
  Json root = Json::adopt(json_loadb(answer.data(), answer.size(), 0, nullptr));
  json_t* data = json_object_get(root.get(), "data");
  if (!json_is_object(data)) return -1;
  json_t* folder = json_object_get(data, "encrypted_folder");
  json_t* lock = json_object_get(data, "status");
  if (!json_is_string(folder) || !json_is_integer(lock)) return -1;

  json_int_t lock_status = json_integer_value(lock);
  status->encrypted = 1;
  status->lock_code = lock_status == 1 ? 0 : lock_status == -2 ? -2 : 1;
  status->folder_path.assign(json_string_value(folder),
                             json_string_length(folder));
  return 0;
}

int read_meta_status(const Entry& entry, CacheMetaStatus* status) {
  std::string path = entry.full_path();
  if (path.empty()) return -1;
  std::optional<std::string> value =
      read_attribute(path, kMetaStatusAttribute, kMetaStatusBufferSize);
  if (!value) return -1;
  Json meta = Json::adopt(json_loadb(value->data(), value->size(), 0, nullptr));
  if (!meta) return -1;

  json_t* state = json_object_get(meta.get(), "state");
  if (json_is_string(state))
    status->state = state_code(json_string_value(state));
  // The cache manager writes the progress as a real; an integer there is not
  // its format and is ignored.
  json_t* progress = json_object_get(meta.get(), "upload_progress");
  if (json_is_real(progress)) {
    status->upload_progress = static_cast<float>(json_real_value(progress));
  }
  json_t* code = json_object_get(meta.get(), "status_code");
  if (json_is_integer(code)) {
    status->status_code = static_cast<int32_t>(json_integer_value(code));
  }
  json_t* error = json_object_get(meta.get(), "error_type");
  if (json_is_string(error)) {
    status->error_type.assign(json_string_value(error),
                              json_string_length(error));
  }
  json_t* priority = json_object_get(meta.get(), "priority");
  if (json_is_string(priority)) {
    status->priority = priority_code(json_string_value(priority));
  }
  return 0;
}

int32_t refine_cache_status(const CacheMetaStatus& status) {
  if (status.status_code == 4031) return 6;
  if (status.state == 10 || status.state == 11) return status.state;
  if (status.state != 6 &&
      (status.status_code == 2000 || status.status_code == 10000)) {
    switch (status.state) {
      case 9:
      case 5:
      case 2:
      case 1:
      case 3:
      case 4:
        return status.state;
      default:
        return 0;
    }
  }
  if (status.error_type == "download-error") return 7;
  if (status.error_type == "upload-error") return 8;
  return status.status_code;
}

int cache_status(const Entry& entry, CacheMetaStatus* status) {
  if (entry.full_path().empty()) return -1;
  if (read_meta_status(entry, status) == 0) {
    status->overall_status = refine_cache_status(*status);
  }
  if (status->overall_status == 5) {
    status->progress_percent = whole_progress(status->upload_progress);
  }
  return 0;
}

int acl_enabled() {
  return Is_ACL_Enabled() != 0 || Is_RichACL_Enabled() != 0 ? 1 : 0;
}

bool is_autotier(const Entry& entry) {
  return resolve(entry).path_contains((share_root() + kAutotierArea).c_str());
}

int path_kind(const Entry& entry) {
  return path_kind(entry, share_type(entry));
}

int path_kind(const Entry& entry, int share) {
  if (share == 2) return kShareType2;
  if (share == 1) return kCachedShare;

  // Each prefix is compared over its own length, so "/snapshot:" does not
  // shadow "/snapshot_vault:".
  static constexpr struct {
    std::string_view prefix;
    int kind;
  } kPrefixes[] = {
      {"/remote:", kRemoteFolder},
      {"/ubuntu:", kUbuntuFolder},
      {"/zentra:", kZentraFolder},
      {"/snapshot:", kSnapshotFolder},
      {"/snapshot_vault:", kSnapshotVaultFolder},
      {"/mnt/snapshot/", kMntSnapshotFolder},
  };
  std::string folder = entry.alias_folder_path();
  for (const auto& row : kPrefixes) {
    if (starts_with(folder, row.prefix)) return row.kind;
  }
  if (Is_MTP_Share(folder.c_str()) != 0) return kMtpShare;
  if (Is_ODD_Share(folder.c_str()) != 0) return kOpticalDiscShare;
  return kOrdinaryFolder;
}

}  // namespace orv
