// Session: the login session served by one orv-service instance. It holds
// the session id, the service name derived from it and the session user's
// identity; it watches that the login stays live and ends the daemon with
// SIGTERM when it does not; and seteuser makes each request handler process
// act as the session user.
#ifndef ORV_SESSION_SESSION_H_
#define ORV_SESSION_SESSION_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "common/error.h"
#include "common/identity.h"
#include "common/interval_timer.h"

namespace orv {

class Session {
 public:
  // Seconds between two liveness checks.
  static constexpr int kLivenessPeriod = 30;

  // A session with no id yet. With `watch_liveness` the liveness timer starts
  // at once: every kLivenessPeriod seconds, a session that is not live is
  // logged and SIGTERM sent to the own process.
  explicit Session(bool watch_liveness);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Stores `sid` and the service name "orv-" + sid and, when the login is
  // live, resolves the session user's identity once and for all: name, user
  // and primary group ids, and supplementary groups. Call on the main thread
  // before any request is served.
  void set_session(const std::string& sid);

  // Whether the session id is a live login. Changes nothing of the session.
  // Thread-safe; enters the account database under the fork gate.
  bool session_alive() const;

  // Whether set_session resolved the session user's identity. A daemon whose
  // user is not resolved must not serve: its handlers would stay root.
  bool user_resolved() const { return resolved_; }
  // Why the identity was not resolved (empty when it was).
  const std::string& unresolved_reason() const { return reason_; }

  // Makes the session user's identity the calling process's whole identity:
  // supplementary groups, then real, effective and saved group ids, then
  // real, effective and saved user ids, so that nothing the process runs can
  // take root back. On failure sets `error` (code 3) and returns false; the
  // identity may then be partly switched, so the caller must not go on
  // serving. A process that already has exactly this identity changes
  // nothing. For the single-threaded handler processes.
  bool seteuser(ErrorRecord* error) const;

  // The identity resolved by set_session; constant afterwards, so every
  // thread and every handler process reads it without a lock.
  const std::string& sid() const { return sid_; }
  const std::string& service_name() const { return service_name_; }
  const std::string& user_name() const { return user_name_; }
  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }
  const std::vector<gid_t>& groups() const { return groups_; }
  Identity identity() const { return Identity{uid_, gid_, groups_}; }

  // The account look-up of set_session: fills the account's user and primary
  // group ids of user id `id` and returns true, or returns false with the
  // reason. The default asks the account database.
  using AccountLookup = bool (*)(uid_t id, uid_t* uid, gid_t* gid,
                                 std::string* reason);
  // Replaces the look-up; null restores the default. Used by tests.
  static void set_account_lookup(AccountLookup lookup);

 private:
  static void check_liveness(void* argument);

  // Constant after set_session, which runs before requests are served and
  // stops the liveness timer while it writes them.
  std::string sid_;
  std::string service_name_ = "orv-";
  std::string user_name_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  std::vector<gid_t> groups_;
  bool resolved_ = false;
  std::string reason_ = "no session id";

  // Last, so that it stops (and waits for a check in progress) before the
  // members it reads go.
  IntervalTimer liveness_;
};

// The process-wide session, created on first use (which starts its liveness
// timer) and destroyed at exit.
Session& session();

// Whether `sid` is a live login, with a record of its own; false for an empty
// or malformed id. Thread-safe; enters the account database under the fork
// gate.
bool is_live_session(const std::string& sid);

}  // namespace orv

#endif  // ORV_SESSION_SESSION_H_
