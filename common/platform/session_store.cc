#include "common/platform/session_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/platform/accounts.h"
#include "common/platform/fd.h"
#include "common/platform/ini.h"
#include "common/platform/root.h"
#include "common/platform/tovix.h"

namespace orv::platform {

namespace {

constexpr char kIdAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t kAlphabetSize = sizeof kIdAlphabet - 1;
// A session file is three short lines; anything much bigger is not one.
constexpr size_t kMaxSessionFile = 64 << 10;
// Fresh ids are 8 of 62 characters; a clash is so unlikely that a handful of
// retries only matters when the random source is broken.
constexpr int kCreateAttempts = 16;

std::string system_error(const char* call, const std::string& path) {
  return std::string(call) + "(" + path + "): " + std::strerror(errno);
}

// Fills `bytes` from the kernel's random source.
bool random_bytes(unsigned char* bytes, size_t count) {
  while (count > 0) {
    ssize_t got = getrandom(bytes, count, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    count -= static_cast<size_t>(got);
  }
  return true;
}

// A fresh id of kNewSessionIdLength characters. Bytes at or above the largest
// multiple of the alphabet size are thrown away so that every character is
// equally likely.
bool random_session_id(std::string* sid) {
  constexpr unsigned kLimit = 256 - 256 % kAlphabetSize;
  std::string id;
  while (id.size() < kNewSessionIdLength) {
    unsigned char bytes[32];
    if (!random_bytes(bytes, sizeof bytes)) return false;
    for (unsigned char byte : bytes) {
      if (byte >= kLimit || id.size() == kNewSessionIdLength) continue;
      id += kIdAlphabet[byte % kAlphabetSize];
    }
  }
  *sid = id;
  return true;
}

// Makes `path` and its missing parents with `mode`.
bool make_folders(const std::string& path, mode_t mode, std::string* error) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) {
      *error = system_error("mkdir", part);
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

// Makes the store folder when missing, mode 0700 because the names in it are
// login secrets. A store that others can read is closed up again.
bool prepare_store(const std::string& store, std::string* error) {
  size_t slash = store.rfind('/');
  if (slash != std::string::npos && slash > 0 &&
      !make_folders(store.substr(0, slash), 0755, error)) {
    return false;
  }
  if (mkdir(store.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = system_error("mkdir", store);
    return false;
  }
  struct stat st;
  if (lstat(store.c_str(), &st) != 0) {
    *error = system_error("lstat", store);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = store + " is not a folder";
    return false;
  }
  if ((st.st_mode & 077) != 0 && st.st_uid == geteuid() &&
      chmod(store.c_str(), 0700) != 0) {
    *error = system_error("chmod", store);
    return false;
  }
  return true;
}

// Moves `from` to `to` unless `to` exists. renameat2 does it in one step;
// file systems without RENAME_NOREPLACE get link + unlink, which is just as
// safe against replacing a session.
bool move_no_replace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (link(from.c_str(), to.c_str()) != 0) return false;
  unlink(from.c_str());
  return true;
}

std::string session_path(const char* sid) {
  return session_store_path() + "/" + sid;
}

}  // namespace

bool valid_session_id(const char* sid) {
  if (sid == nullptr) return false;
  size_t length = 0;
  for (; sid[length] != '\0'; ++length) {
    char c = sid[length];
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
              (c >= '0' && c <= '9');
    if (!ok || length >= kMaxSessionIdLength) return false;
  }
  return length > 0;
}

std::string session_store_path() { return orv::root_path("/var/run/sessions"); }

bool read_session(const char* sid, std::time_t now, StoredSession* session,
                  std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (!valid_session_id(sid)) {
    *error = "invalid session id";
    return false;
  }
  StoredSession result;
  result.sid = sid;
  std::string path = session_path(sid);
  std::string text;
  // O_NOFOLLOW: a link planted in the store must not lend another file's
  // content to a session.
  if (!read_regular_file(path, O_NOFOLLOW, kMaxSessionFile, &text)) {
    if (errno == ENOENT || errno == ENOTDIR) {
      *error = "no such session";
      return false;
    }
    *session = result;  // There is something by that name; it is not usable.
    return true;
  }
  IniFile file = IniFile::parse(text);
  const std::string* user = file.find("session", "user");
  const std::string* expire = file.find("session", "expire");
  if (user == nullptr || user->empty()) {
    *session = result;
    return true;
  }
  result.user = *user;
  // An expiry that cannot be read is not taken for "never": the session
  // would otherwise outlive what its writer meant.
  if (expire != nullptr && !expire->empty() &&
      !leading_integer(*expire, &result.expire)) {
    result.expire = 0;
    *session = result;
    return true;
  }
  Account account;
  if (result.expire != 0 && now >= result.expire) {
    result.state = StoredSession::State::kExpired;
  } else if (!lookup_account(result.user.c_str(), &account)) {
    result.state = StoredSession::State::kNoAccount;
  } else {
    result.state = StoredSession::State::kLive;
    result.uid = account.uid;
    result.gid = account.gid;
  }
  *session = result;
  return true;
}

bool create_session(const std::string& user, long long ttl, std::string* sid,
                    std::string* error) {
  Account account;
  if (user.find_first_of("\r\n") != std::string::npos ||
      !lookup_account(user.c_str(), &account)) {
    *error = "no such user: " + user;
    return false;
  }
  if (ttl < 0) {
    *error = "invalid time to live";
    return false;
  }
  std::string store = session_store_path();
  if (!prepare_store(store, error)) return false;

  std::string content = "[session]\nuser = " + account.name + "\n";
  if (ttl > 0) {
    content += "expire = " + std::to_string(std::time(nullptr) + ttl) + "\n";
  }
  // The temporary name starts with "." so that it can never be taken for a
  // session id, even by a reader that lists the store meanwhile.
  std::string temp = store + "/.new-XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) {
    *error = system_error("mkstemp", store);
    return false;
  }
  bool written = fchmod(fd, 0600) == 0 &&
                 write_all(fd, content.data(), content.size()) &&
                 fsync(fd) == 0;
  if (close(fd) != 0) written = false;
  if (!written) {
    *error = system_error("write", temp);
    unlink(temp.c_str());
    return false;
  }
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    std::string id;
    if (!random_session_id(&id)) {
      *error = std::string("getrandom: ") + std::strerror(errno);
      break;
    }
    std::string path = session_path(id.c_str());
    if (move_no_replace(temp, path)) {
      *sid = id;
      return true;
    }
    if (errno != EEXIST) {
      *error = system_error("rename", path);
      break;
    }
    *error = "no unused session id found";
  }
  unlink(temp.c_str());
  return false;
}

bool end_session(const char* sid, std::string* error) {
  if (!valid_session_id(sid)) {
    *error = "invalid session id";
    return false;
  }
  std::string path = session_path(sid);
  if (unlink(path.c_str()) != 0) {
    *error = errno == ENOENT ? std::string("no such session: ") + sid
                             : system_error("unlink", path);
    return false;
  }
  return true;
}

bool list_sessions(std::time_t now, std::vector<StoredSession>* sessions,
                   std::string* error) {
  std::string store = session_store_path();
  DIR* dir = opendir(store.c_str());
  if (dir == nullptr) {
    if (errno == ENOENT) {
      sessions->clear();
      return true;
    }
    *error = system_error("opendir", store);
    return false;
  }
  std::vector<std::string> names;
  errno = 0;
  while (struct dirent* entry = readdir(dir)) {
    if (valid_session_id(entry->d_name)) names.push_back(entry->d_name);
  }
  bool failed = errno != 0;
  closedir(dir);
  if (failed) {
    *error = system_error("readdir", store);
    return false;
  }
  std::sort(names.begin(), names.end());
  std::vector<StoredSession> found;
  for (const std::string& name : names) {
    StoredSession session;
    // A session ended between readdir and here is simply not listed.
    if (read_session(name.c_str(), now, &session, nullptr)) {
      found.push_back(std::move(session));
    }
  }
  *sessions = std::move(found);
  return true;
}

const char* state_name(StoredSession::State state) {
  switch (state) {
    case StoredSession::State::kLive:
      return "live";
    case StoredSession::State::kExpired:
      return "expired";
    case StoredSession::State::kNoAccount:
      return "no-account";
    case StoredSession::State::kInvalid:
      break;
  }
  return "invalid";
}

}  // namespace orv::platform

extern "C" int auth_valid_session_id(const char* sid) {
  return orv::platform::valid_session_id(sid) ? 1 : 0;
}

extern "C" int auth_get_session_ex(const char* sid, int /*flags*/,
                                   tovix_session_t* record) {
  using orv::platform::StoredSession;
  StoredSession session;
  if (record == nullptr ||
      !orv::platform::read_session(sid, std::time(nullptr), &session,
                                   nullptr) ||
      session.state != StoredSession::State::kLive) {
    return -1;
  }
  // A name that does not fit the record cannot be handed on faithfully.
  if (session.user.size() >= sizeof record->user) return -1;
  std::memset(record, 0, sizeof *record);
  std::memcpy(record->user, session.user.data(), session.user.size());
  record->uid = session.uid;
  record->gid = session.gid;
  record->expire = session.expire;
  return 0;
}

extern "C" int auth_get_session(const char* sid, int flags,
                                tovix_session_t* record) {
  return auth_get_session_ex(sid, flags, record);
}
