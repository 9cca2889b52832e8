// The login session store: one file per live login in
// "$ORV_ROOT/var/run/sessions", named after the session id and holding
//
//   [session]
//   user = NAME
//   expire = EPOCH-SECONDS      (optional; absent or 0: no expiry)
//
// A session id is a login secret: the store folder is mode 0700 and its files
// 0600, and ids that are not 1 to 64 characters of A-Za-z0-9 are refused
// before any path is built from them. Every function may be called from
// several threads.
#ifndef ORV_COMMON_PLATFORM_SESSION_STORE_H_
#define ORV_COMMON_PLATFORM_SESSION_STORE_H_

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

namespace orv::platform {

// Longest session id the store accepts.
constexpr size_t kMaxSessionIdLength = 64;
// Length of the ids that create_session makes.
constexpr size_t kNewSessionIdLength = 8;

// The environment variable through which a program hands a session id to a
// daemon it starts. Every account can read a command line; a process's
// environment is readable by its own account alone.
constexpr char kSessionIdVariable[] = "ORV_SID";

// True when `sid` has the form of a session id.
bool valid_session_id(const char* sid);

// The store folder under the current ORV_ROOT.
std::string session_store_path();

// What one stored session says and whether it is live.
struct StoredSession {
  enum class State {
    kLive,       // not expired and the user has an account
    kExpired,    // its expiry time has passed
    kNoAccount,  // the user named in it has no account
    kInvalid,    // not a regular file, unreadable, or no user / bad expiry
  };
  std::string sid;
  std::string user;      // empty when kInvalid
  long long expire = 0;  // epoch seconds; 0 for no expiry
  State state = State::kInvalid;
  uid_t uid = 0;  // the user's account, when kLive
  gid_t gid = 0;
};

// Reads the session `sid` as of `now`. Returns false (with `error` set when
// non-null) when the id is malformed or there is no such file; otherwise
// fills `session`, whose state says whether it is live.
bool read_session(const char* sid, std::time_t now, StoredSession* session,
                  std::string* error);

// Makes a new session of `user`, expiring `ttl` seconds from now (0: never),
// and stores its fresh random id in `sid`. The user must have an account. The
// file is written in full under a temporary name and then moved into place
// without replacing any existing session. On failure returns false with
// `error` saying why, and `sid` untouched.
bool create_session(const std::string& user, long long ttl, std::string* sid,
                    std::string* error);

// Removes the session `sid`. Returns false with `error` set when the id is
// malformed, there is no such session or the file cannot be removed.
bool end_session(const char* sid, std::string* error);

// Every stored session (files with a well-formed id as name), sorted by id,
// with its state as of `now`. A missing store is an empty list. Returns false
// with `error` set when the store cannot be read.
bool list_sessions(std::time_t now, std::vector<StoredSession>* sessions,
                   std::string* error);

// The word that names `state` in listings: "live", "expired", "no-account",
// "invalid".
const char* state_name(StoredSession::State state);

}  // namespace orv::platform

#endif  // ORV_COMMON_PLATFORM_SESSION_STORE_H_
