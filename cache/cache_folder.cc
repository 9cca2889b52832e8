#include "cache/cache_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "cache/cache_store.h"
#include "common/log.h"
#include "common/platform/root.h"
#include "common/platform/tovix.h"
#include "service/session.h"

namespace orv {

namespace {

constexpr char kShareConfig[] = "/etc/config/def_share.info";
constexpr int kVolumeBufferSize = 4096;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

std::string default_volume() {
  char volume[kVolumeBufferSize] = "";
  const std::string config = root_path(kShareConfig);
  Get_Private_Profile_String("SHARE_DEF", "defVolMP", "", volume,
                             sizeof(volume), config.c_str());
  return volume;
}

std::string cache_directory(const std::string& volume) {
  return volume + "/.orv";
}

std::string cache_file_name(const std::string& volume, const std::string& sid,
                            size_t index) {
  char suffix[32];
  std::snprintf(suffix, sizeof(suffix), ".%zu", index);
  return cache_directory(volume) + "/" + sid + suffix;
}

bool create_slot_file(const std::string& file) {
  int fd =
      open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
           kSlotFileMode);
  if (fd < 0) return false;
  // The umask may have narrowed the mode; the owner must be able to write.
  fchmod(fd, kSlotFileMode);
  close(fd);
  return true;
}

void CacheStore::prepare_directory() {
  const std::string volume = default_volume();
  if (volume.empty()) {
    log_line(LogKind::kWarning, "[cache] no default volume");
    return;
  }
  const std::string directory = cache_directory(volume);
  // Failures are left to the writers, which then cannot create their files.
  // The explicit chmod sets the sticky bit whatever the umask, and narrows a
  // directory left with a wider mode by an earlier version.
  mkdir(directory.c_str(), kCacheDirectoryMode);
  chmod(directory.c_str(), kCacheDirectoryMode);
}

void CacheStore::purge() {
  const std::string volume = default_volume();
  if (volume.empty()) {
    log_line(LogKind::kWarning, "[cache] no default volume");
    return;
  }
  const std::string directory = cache_directory(volume);
  std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
  if (!dir) return;
  while (struct dirent* item = readdir(dir.get())) {
    const std::string name = item->d_name;
    // ".", ".." and hidden files have no session part.
    if (name.empty() || name[0] == '.') continue;
    // Every file is judged by its session alone, whatever follows the first
    // dot: slot files, journals left by a crash, stray names.
    const std::string sid = name.substr(0, name.find('.'));
    if (is_live_session(sid)) continue;
    const std::string file = directory + "/" + name;
    log_debug("cache", __LINE__, "[cache] remove %s", file.c_str());
    unlink(file.c_str());
  }
}

}  // namespace orv
