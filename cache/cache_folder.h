// Where the result caches live: the cache directory on the default volume and
// the slot files in it, one per login session and cache index.
#ifndef ORV_CACHE_CACHE_FOLDER_H_
#define ORV_CACHE_CACHE_FOLDER_H_

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace orv {

// The cache directory is shared by all accounts (each handler writes as its
// session user) but the file names carry session ids, which are login
// secrets: every account may create files in it, none may list it, and the
// sticky bit keeps each account from removing or replacing another's file.
inline constexpr mode_t kCacheDirectoryMode = 01733;
// A slot file holds one user's listing: readable and writable by its owner
// (and root, which watches and sweeps the caches) only.
inline constexpr mode_t kSlotFileMode = 0600;

// The value of `defVolMP` in section `SHARE_DEF` of the default share
// configuration; empty when there is no default volume.
std::string default_volume();

// "<volume>/.orv".
std::string cache_directory(const std::string& volume);

// "<volume>/.orv/<sid>.<index>".
std::string cache_file_name(const std::string& volume, const std::string& sid,
                            size_t index);

// Makes `file` afresh as an empty file of mode kSlotFileMode owned by the
// calling identity. Fails (false, errno set) when a file of that name is
// still there, so that a file that could not be unlinked, or a link put in
// its place, is never opened instead.
bool create_slot_file(const std::string& file);

}  // namespace orv

#endif  // ORV_CACHE_CACHE_FOLDER_H_
