#include "cache/cache_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "cache/cache_store.h"
#include "common/log.h"
#include "common/platform/fd.h"
#include "common/platform/root.h"
#include "common/platform/tovix.h"

namespace orv {

namespace {

constexpr char kShareConfig[] = "/etc/config/def_share.info";
constexpr int kVolumeBufferSize = 4096;
constexpr char kFolderName[] = ".orv";
constexpr char kFolderVfsName[] = "orv-folder";
constexpr char kLockSuffix[] = ".lock";
constexpr auto kSlotLockPatience = std::chrono::seconds(60);

// The full name of a file is the name given. SQLite's own rule resolves every
// link along the name and opens the resolved text, which would turn a name
// through a descriptor back into the folder's path, the very path that must
// not be followed.
int keep_name(sqlite3_vfs*, const char* name, int size, char* out) {
  const size_t length = std::strlen(name);
  if (length >= static_cast<size_t>(size)) return SQLITE_CANTOPEN;
  std::memcpy(out, name, length + 1);
  return SQLITE_OK;
}

}  // namespace

std::string default_volume() {
  char volume[kVolumeBufferSize] = "";
  const std::string config = root_path(kShareConfig);
  Get_Private_Profile_String("SHARE_DEF", "defVolMP", "", volume,
                             sizeof(volume), config.c_str());
  return volume;
}

std::string cache_directory(const std::string& volume) {
  return volume + "/" + kFolderName;
}

std::string cache_file_name(const std::string& volume, const std::string& sid,
                            size_t index) {
  char suffix[32];
  std::snprintf(suffix, sizeof(suffix), ".%zu", index);
  return cache_directory(volume) + "/" + sid + suffix;
}

bool parse_cache_file_name(const std::string& name, std::string* sid) {
  // A session id has no dot, so the first one ends it.
  const size_t dot = name.find('.');
  if (dot == std::string::npos) return false;
  const std::string head = name.substr(0, dot);
  if (!auth_valid_session_id(head.c_str())) return false;
  // A session has the slots 1 and 2, so the index is one digit.
  const std::string rest = name.substr(dot + 1);
  if (rest.empty() || (rest[0] != '1' && rest[0] != '2')) return false;
  for (const char* suffix : {"", kLockSuffix, "-journal", "-wal", "-shm"}) {
    if (rest.compare(1, std::string::npos, suffix) == 0) {
      *sid = head;
      return true;
    }
  }
  return false;
}

const char* folder_vfs() {
  static const char* const registered = []() -> const char* {
    const sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
    if (base == nullptr) return nullptr;
    // Every other operation stays SQLite's own, with its own data.
    static sqlite3_vfs vfs = *base;
    vfs.zName = kFolderVfsName;
    vfs.xFullPathname = &keep_name;
    if (sqlite3_vfs_register(&vfs, 0) != SQLITE_OK) return nullptr;
    return kFolderVfsName;
  }();
  return registered;
}

CacheFolder::CacheFolder(const std::string& volume, bool make)
    : path_(cache_directory(volume)) {
  // The volume comes from root's own configuration; only its top folder may
  // be open to others. O_PATH asks for no read right: handlers may only
  // search the volume and the cache directory, not list them.
  const int volume_fd = open(volume.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (volume_fd < 0) {
    log_line(LogKind::kError, "[cache] open %s: %s", volume.c_str(),
             std::strerror(errno));
    return;
  }
  // An existing name is judged below like any other; mkdirat never follows
  // a link. Made without the umask, so that the folder has its mode from the
  // start and needs no change of mode that could land on a folder put in its
  // place meanwhile. The daemon's other threads make no files meanwhile.
  bool made = false;
  if (make) {
    const mode_t umask_before = umask(0);
    made = mkdirat(volume_fd, kFolderName, kCacheDirectoryMode) == 0;
    umask(umask_before);
  }
  // Root needs a descriptor it can fchmod and list through; O_PATH gives
  // neither.
  const int access = make ? O_RDONLY : O_PATH;
  fd_ = openat(volume_fd, kFolderName,
               access | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd_ < 0) {
    const int failure = errno;
    struct stat st {};
    const bool link =
        fstatat(volume_fd, kFolderName, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode);
    log_line(LogKind::kError, "[cache] open %s: %s; left as it is",
             path_.c_str(), link ? "a link" : std::strerror(failure));
    close(volume_fd);
    return;
  }
  close(volume_fd);
  struct stat st {};
  if (fstat(fd_, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0) {
    log_line(LogKind::kError,
             "[cache] %s is owned by uid %u, not root; left as it is",
             path_.c_str(), static_cast<unsigned>(st.st_uid));
    close(fd_);
    fd_ = -1;
    return;
  }
  // A volume's set-group-id bit passes on to the folder just made; it is
  // not the cache's.
  if (made && (st.st_mode & 07777) == (kCacheDirectoryMode | S_ISGID) &&
      fchmod(fd_, kCacheDirectoryMode) == 0) {
    st.st_mode = S_IFDIR | kCacheDirectoryMode;
  }
  // A folder found with another mode is not the cache's, whoever named it
  // so: a folder of root's moved here by an account that may write the
  // volume's top folder must be neither opened to all nor swept.
  if ((st.st_mode & 07777) != kCacheDirectoryMode) {
    log_line(LogKind::kError, "[cache] %s has mode %#o, not %#o; left as it is",
             path_.c_str(), static_cast<unsigned>(st.st_mode & 07777),
             static_cast<unsigned>(kCacheDirectoryMode));
    close(fd_);
    fd_ = -1;
  }
}

CacheFolder::~CacheFolder() {
  if (fd_ >= 0) close(fd_);
}

std::string CacheFolder::sqlite_name(const std::string& name) const {
  return "/proc/self/fd/" + std::to_string(fd_) + "/" + name;
}

bool CacheFolder::make_file(const std::string& name) const {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  unlinkat(fd_, name.c_str(), 0);  // A missing file is what we want anyway.
  const int fd =
      openat(fd_, name.c_str(),
             O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kSlotFileMode);
  if (fd < 0) return false;
  // The umask may have narrowed the mode; the owner must be able to write.
  fchmod(fd, kSlotFileMode);
  close(fd);
  return true;
}

bool CacheFolder::remove_file(const std::string& name) const {
  struct stat st {};
  if (fd_ < 0 || fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (fd_ < 0) errno = EBADF;
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  return unlinkat(fd_, name.c_str(), 0) == 0;
}

std::vector<std::string> CacheFolder::names() const {
  std::vector<std::string> result;
  if (fd_ < 0) return result;
  // A descriptor of its own, so that reading it moves no shared offset.
  const int fd = openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return result;
  DirHandle dir(fdopendir(fd));
  if (!dir) {
    close(fd);
    return result;
  }
  while (struct dirent* item = readdir(dir.get())) {
    const std::string name = item->d_name;
    if (name != "." && name != "..") result.push_back(name);
  }
  return result;
}

SlotLock::~SlotLock() {
  if (fd_ >= 0) close(fd_);  // Closing the only descriptor releases the lock.
}

bool SlotLock::acquire(const CacheFolder& folder, const std::string& slot) {
  if (fd_ >= 0) return true;
  if (!folder.is_open()) {
    errno = EBADF;
    return false;
  }
  const int fd =
      openat(folder.fd(), (slot + kLockSuffix).c_str(),
             O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kSlotFileMode);
  if (fd < 0) return false;
  // Another writer holds the lock for one list's write, which takes seconds
  // at most; one that holds it far longer is stuck, and waiting on would
  // only stack this request up behind it.
  const auto deadline = std::chrono::steady_clock::now() + kSlotLockPatience;
  auto pause = std::chrono::milliseconds(1);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) ||
        std::chrono::steady_clock::now() >= deadline) {
      const int saved = errno;
      close(fd);
      errno = saved;
      return false;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  fd_ = fd;
  return true;
}

void CacheStore::prepare_directory(const std::string& volume) {
  if (volume.empty()) {
    log_line(LogKind::kWarning, "[cache] no default volume");
    return;
  }
  // Failures are logged and left to the writers, which then have no slots.
  CacheFolder folder(volume, true);
}

void CacheStore::purge(const std::string& volume, LivenessCheck is_live) {
  if (volume.empty()) {
    log_line(LogKind::kWarning, "[cache] no default volume");
    return;
  }
  CacheFolder folder(volume, false);
  if (!folder.is_open()) return;
  for (const std::string& name : folder.names()) {
    // Only the files the cache makes are judged, by the session they name.
    // Any other file was put there by someone else and is not the sweep's
    // to remove.
    std::string sid;
    if (!parse_cache_file_name(name, &sid) || is_live(sid)) continue;
    log_debug("cache", __LINE__, "[cache] remove %s/%s", folder.path().c_str(),
              name.c_str());
    folder.remove_file(name);
  }
}

}  // namespace orv
