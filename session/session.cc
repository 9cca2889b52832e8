#include "session/session.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "common/fork_gate.h"
#include "common/identity.h"
#include "common/log.h"
#include "common/platform/accounts.h"
#include "common/platform/tovix.h"

namespace orv {

namespace {

bool lookup_account(uid_t id, uid_t* uid, gid_t* gid, std::string* reason) {
  platform::Account account;
  if (!platform::lookup_account_by_uid(id, &account, reason)) return false;
  *uid = account.uid;
  *gid = account.gid;
  return true;
}

std::atomic<Session::AccountLookup> g_lookup{nullptr};

// Asks the session store whether `sid` is a live login, filling `record`.
// The store reads a file and the account database, which a handler process
// forked meanwhile must not find half-way through a call.
bool query_session(const std::string& sid, tovix_session_t* record) {
  if (sid.empty() || sid.find('\0') != std::string::npos) return false;
  ForkGuard guard;
  return auth_get_session_ex(sid.c_str(), 1, record) == 0;
}

}  // namespace

Session::Session(bool watch_liveness)
    : liveness_(&Session::check_liveness, this) {
  if (watch_liveness) liveness_.start(kLivenessPeriod);
}

void Session::set_account_lookup(AccountLookup lookup) { g_lookup = lookup; }

void Session::set_session(const std::string& sid) {
  // The liveness check reads the id on the timer's thread: it pauses while
  // the identity is written, so that it is constant whenever it is read.
  const bool watching = liveness_.running();
  liveness_.stop();
  sid_ = sid;
  service_name_ = "orv-" + sid;
  log_line(LogKind::kError, "[session] %s be set.", sid.c_str());
  user_name_.clear();
  uid_ = 0;
  gid_ = 0;
  groups_.clear();
  resolved_ = false;
  reason_.clear();

  tovix_session_t record{};
  AccountLookup lookup = g_lookup.load();
  if (lookup == nullptr) lookup = &lookup_account;
  uid_t uid = 0;
  gid_t gid = 0;
  platform::Account account;
  if (!query_session(sid_, &record)) {
    reason_ = "the session is not live";
  } else if (lookup(record.uid, &uid, &gid, &reason_)) {  // Else stay 0.
    account.name.assign(record.user, strnlen(record.user, sizeof(record.user)));
    account.uid = uid;
    account.gid = gid;
    std::vector<gid_t> groups;
    if (platform::account_groups(account, &groups)) {
      user_name_ = account.name;
      uid_ = uid;
      gid_ = gid;
      groups_ = std::move(groups);
      resolved_ = true;
    } else {
      reason_ = "the groups of " + account.name + " cannot be read";
    }
  }
  if (watching) liveness_.start(kLivenessPeriod);
}

bool Session::session_alive() const {
  tovix_session_t record{};
  return query_session(sid_, &record);
}

bool Session::seteuser(ErrorRecord* error) const {
  for (gid_t group : groups_) {
    log_trace("session", 97, "seteuser", "[session] gid = %d",
              static_cast<int>(group));
  }
  // All three ids of each kind, so that no program the handler runs starts
  // with a root id it could switch back to.
  const char* step = take_identity(identity());
  if (step == nullptr) return true;
  int saved = errno;
  log_line(LogKind::kError, "[session] switch to user %s (uid %d): %s: %s",
           user_name_.c_str(), static_cast<int>(uid_), step,
           std::strerror(saved));
  set_error(error, 3, "cannot switch to user %s: %s: %s", user_name_.c_str(),
            step, std::strerror(saved));
  return false;
}

void Session::check_liveness(void* argument) {
  auto* self = static_cast<Session*>(argument);
  if (self->session_alive()) return;
  log_line(LogKind::kError, "[session] %s is not alive.", self->sid_.c_str());
  // The daemon's signal callback stops it in order.
  kill(getpid(), SIGTERM);
}

Session& session() {
  // Created under the runtime's guard of function-local statics.
  static Session instance(true);
  return instance;
}

bool is_live_session(const std::string& sid) {
  tovix_session_t record{};
  return query_session(sid, &record);
}

}  // namespace orv
