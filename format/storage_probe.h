// Probes of storage facts behind an entry: the state of files on cloud-cached
// shares (kept by the cache manager in extended attributes and behind the
// remote mount tool), whether a link leads into the auto-tiering area, whether
// access control is on, and what kind of folder the entry lives in. Each probe
// works on the entry's full path unless said otherwise, never throws, keeps no
// state, and answers its default when the facts it looks for are absent.
#ifndef ORV_FORMAT_STORAGE_PROBE_H_
#define ORV_FORMAT_STORAGE_PROBE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "entry/entry.h"

namespace orv {

// Fixed platform path of the remote mount tool (looked up under the sandbox
// root).
inline constexpr char kFarmountTool[] = "/usr/local/bin/farmount";

// Attributes of the cache manager.
inline constexpr char kGlobalErrorAttribute[] = "user.cm.global_error";
inline constexpr char kFailedCountAttribute[] = "trusted.cm.failed_files_count";
inline constexpr char kMetaStatusAttribute[] = "user.cm.meta_status";

// What the remote mount tool tells of an encrypted cached folder.
struct EncryptedFolderStatus {
  int32_t encrypted = 0;    // 1 when the tool answered with a status
  int32_t lock_code = 0;    // 0 unlocked, 1 locked, -2 as the tool reports
  std::string folder_path;  // the encrypted folder the tool named
};

// The cache manager's view of one file on a cloud-cached share.
struct CacheMetaStatus {
  int32_t status_code = 0;       // "status_code"
  int32_t state = 0;             // code of "state", see state_code
  int32_t priority = 0;          // code of "priority", see priority_code
  float upload_progress = 0;     // "upload_progress", read only as a real
  std::string error_type;        // "error_type"
  int32_t overall_status = 0;    // see refine_cache_status
  int32_t progress_percent = 0;  // upload progress truncated, while uploading
};

// An upload progress as a whole number, truncated toward zero (42.7 -> 42);
// clamped to the 32-bit range, NaN gives 0.
int32_t whole_progress(float progress);

// State codes of the "state" texts ("non-cached" 1 ... "nospace" 11); -1 for
// any other text.
int32_t state_code(std::string_view state);
// Priority codes: "pin" 1, "low" 3, any other text 2.
int32_t priority_code(std::string_view priority);

// The cache root of a full path: the path cut before the first "/" at or after
// character position 35, or the whole path when there is none (a path of 35
// characters or fewer is its own root).
std::string cache_root(std::string_view full_path);

// The "status" of the cache root's global error attribute; 2000 when the root
// has no such attribute; -1 for an empty path, an unreadable attribute or a
// value that is not an object with an integer "status".
int cache_root_status(const Entry& entry);

// The number of files of the cache root that failed to upload; 0 when the
// attribute cannot be read; -1 for an empty path.
int upload_failed_count(const Entry& entry);

// Asks the remote mount tool about the encrypted folder that holds the entry.
// 0 and `*status` filled on success; -1 with `*status` unchanged when the path
// is empty or has no two segments after position 20, or the tool's answer is
// empty or lacks a piece.
int probe_encrypted_folder(const Entry& entry, EncryptedFolderStatus* status);

// Reads the meta status attribute of the file itself into `*status`: state,
// upload progress, status code, error type and priority, each only when present
// with its JSON type. 0 on success; -1 (record unchanged) for an empty path, a
// missing attribute or a value that is not JSON.
int read_meta_status(const Entry& entry, CacheMetaStatus* status);

// The overall status of a record: its state code, 7 for a download error, 8
// for an upload error, or its status code passed through.
int32_t refine_cache_status(const CacheMetaStatus& status);

// Reads the meta status and sets the overall status and, while uploading, the
// progress percent. Answers 0 even without an attribute (the record then stays
// as it was); -1 only for an empty path.
int cache_status(const Entry& entry, CacheMetaStatus* status);

// 1 when POSIX or rich access control lists are switched on, else 0.
int acl_enabled();

// True when the entry resolves into the auto-tiering area.
bool is_autotier(const Entry& entry);

// Folder kinds.
enum PathKind : int {
  kOrdinaryFolder = 0,
  kMtpShare = 1,
  kShareType2 = 2,
  kOpticalDiscShare = 3,
  kRemoteFolder = 4,
  kUbuntuFolder = 5,
  kZentraFolder = 6,
  kSnapshotFolder = 7,
  kSnapshotVaultFolder = 8,
  kMntSnapshotFolder = 11,
  kCachedShare = 12,
};

// The kind of folder the entry lives in, judged by its share type and by its
// display folder path.
int path_kind(const Entry& entry);
// The same with the entry's share type already known.
int path_kind(const Entry& entry, int share);

}  // namespace orv

#endif  // ORV_FORMAT_STORAGE_PROBE_H_
