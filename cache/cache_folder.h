// Where the result caches live: the cache directory on the default volume and
// the slot files in it, one per login session and cache index.
//
// The directory lies in the volume's top folder, which other accounts may be
// able to write, so its name may at any time lead to a link, a file or a
// folder of someone else's. Root prepares and sweeps it and handlers write
// their session's slots in it; all of them reach it only through a
// descriptor that was opened without following a link and kept only for a
// folder owned by root with the cache directory's mode, and make, open, list
// and remove its files relative to that descriptor. The sweep removes only
// names of the forms the cache itself makes.
#ifndef ORV_CACHE_CACHE_FOLDER_H_
#define ORV_CACHE_CACHE_FOLDER_H_

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace orv {

// The cache directory is shared by all accounts (each handler writes as its
// session user) but the file names carry session ids, which are login
// secrets: every account may create files in it, none may list it, and the
// sticky bit keeps each account from removing or replacing another's file.
inline constexpr mode_t kCacheDirectoryMode = 01733;
// A slot file holds one user's listing: readable and writable by its owner
// (and root, which watches and sweeps the caches) only. Lock files too.
inline constexpr mode_t kSlotFileMode = 0600;

// The value of `defVolMP` in section `SHARE_DEF` of the default share
// configuration; empty when there is no default volume.
std::string default_volume();

// "<volume>/.orv".
std::string cache_directory(const std::string& volume);

// "<volume>/.orv/<sid>.<index>".
std::string cache_file_name(const std::string& volume, const std::string& sid,
                            size_t index);

// Whether `name` is of a form of the files the cache makes in its directory:
// a slot file "<sid>.<index>" as cache_file_name() names it (a session id of
// the session store's form, index 1 or 2), its lock file "<slot>.lock"
// (SlotLock), or a file SQLite keeps beside a slot ("<slot>-journal", "-wal",
// "-shm"). When it is, stores the session id in `*sid`; otherwise leaves it.
bool parse_cache_file_name(const std::string& name, std::string* sid);

// The name of the SQLite file system layer through which slot files are
// opened: SQLite's own, except that it opens a file name exactly as given
// instead of resolving the links along it into a new path. Registered on
// first use; null when SQLite has no file system layer to build on.
const char* folder_vfs();

// The cache directory of one volume, held open. Not copyable: it owns the
// descriptor, which the connections opened through sqlite_name() need for as
// long as they live.
class CacheFolder {
 public:
  // Opens "<volume>/.orv". With `make` (root, at worker start) the directory
  // is first made when missing, and a directory made by this call is given
  // kCacheDirectoryMode whatever the umask; without it (handlers, the sweep)
  // it is only opened. A directory that is missing, is a link or no
  // directory at all, belongs to another account than root, or has another
  // mode than kCacheDirectoryMode is left exactly as it is and logged as an
  // error; the folder is then not open and every operation below fails.
  CacheFolder(const std::string& volume, bool make);
  ~CacheFolder();
  CacheFolder(const CacheFolder&) = delete;
  CacheFolder& operator=(const CacheFolder&) = delete;

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // "<volume>/.orv", for log lines.
  const std::string& path() const { return path_; }

  // The name under which SQLite opens file `name` of the directory (with
  // folder_vfs()): a path through this process's descriptor, which the
  // kernel resolves to the directory that was opened, wherever its old name
  // now leads.
  std::string sqlite_name(const std::string& name) const;
  // Makes `name` afresh as an empty file of mode kSlotFileMode owned by the
  // calling identity, after removing what had the name. Fails (false, errno
  // set) when a file of that name is still there, so that a file that could
  // not be removed, or a link put in its place, is never opened instead.
  bool make_file(const std::string& name) const;
  // Removes `name` itself (a link, not its target), unless it is a folder.
  // False with errno set when nothing was removed.
  bool remove_file(const std::string& name) const;
  // The names of the directory's entries, "." and ".." left out; empty when
  // it cannot be read (it is listable by root only).
  std::vector<std::string> names() const;

 private:
  std::string path_;
  int fd_ = -1;
};

// The writer lock of one slot: an exclusive flock on the lock file
// "<slot>.lock" beside the slot file. A writer holds it from before it
// replaces the slot file until its list is committed and its connection
// closed, a delete while it deletes, so that no two of them ever work on one
// slot at once. Released when dropped; not copyable.
class SlotLock {
 public:
  SlotLock() = default;
  ~SlotLock();
  SlotLock(const SlotLock&) = delete;
  SlotLock& operator=(const SlotLock&) = delete;

  // Waits until the lock of `slot` in `folder` is free and takes it. False
  // with errno set when the lock file cannot be opened or locked, or when
  // another holds it for a minute (EWOULDBLOCK).
  bool acquire(const CacheFolder& folder, const std::string& slot);
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace orv

#endif  // ORV_CACHE_CACHE_FOLDER_H_
