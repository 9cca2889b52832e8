#include "service/session.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/log.h"

namespace orv {

namespace {

// Room for the supplementary groups of one user.
constexpr int kMaxGroups = 65536;
constexpr int kFewGroups = 64;

bool lookup_account(uid_t id, uid_t* uid, gid_t* gid, std::string* reason) {
  std::vector<char> buffer(1024);
  while (true) {
    struct passwd entry;
    struct passwd* found = nullptr;
    int rc = getpwuid_r(id, &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);  // An account with long fields.
      continue;
    }
    if (found == nullptr) {
      *reason = rc != 0 ? std::string("getpwuid_r: ") + std::strerror(rc)
                        : "no account with uid " + std::to_string(id);
      return false;
    }
    *uid = entry.pw_uid;
    *gid = entry.pw_gid;
    return true;
  }
}

std::atomic<Session::AccountLookup> g_lookup{nullptr};

// Whether the process already has exactly this effective identity, so that
// nothing needs to change (and an unprivileged process serving its own user
// does not fail for want of the right to change it).
bool has_identity(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
  if (geteuid() != uid || getegid() != gid) return false;
  int count = getgroups(0, nullptr);
  if (count < 0) return false;
  std::vector<gid_t> current(static_cast<size_t>(count));
  if (count > 0 && getgroups(count, current.data()) != count) return false;
  std::vector<gid_t> wanted = groups;
  // The effective group counts for access whether or not the list holds it.
  current.push_back(gid);
  wanted.push_back(gid);
  std::sort(current.begin(), current.end());
  current.erase(std::unique(current.begin(), current.end()), current.end());
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  return current == wanted;
}

}  // namespace

Session::Session(bool watch_liveness)
    : liveness_(&Session::check_liveness, this) {
  if (watch_liveness) liveness_.start(kLivenessPeriod);
}

void Session::set_account_lookup(AccountLookup lookup) { g_lookup = lookup; }

void Session::set_session(const std::string& sid) {
  {
    // The liveness timer's thread reads the id.
    std::lock_guard<std::mutex> lock(mutex_);
    sid_ = sid;
  }
  service_name_ = "orv-" + sid;
  log_line(LogKind::kError, "[session] %s be set.", sid.c_str());
  uid_ = 0;
  gid_ = 0;
  resolved_ = false;
  if (!session_alive()) {
    reason_ = "the session is not live";
    return;
  }
  uid_t id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    id = record_.uid;
  }
  AccountLookup lookup = g_lookup.load();
  if (lookup == nullptr) lookup = &lookup_account;
  uid_t uid = 0;
  gid_t gid = 0;
  reason_.clear();
  if (!lookup(id, &uid, &gid, &reason_)) return;  // uid and gid stay 0.
  uid_ = uid;
  gid_ = gid;
  resolved_ = true;
}

bool Session::session_alive() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (sid_.empty()) return false;
  return auth_get_session_ex(sid_.c_str(), 1, &record_) == 0;
}

std::string Session::user_name() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::string(record_.user, strnlen(record_.user, sizeof(record_.user)));
}

bool Session::seteuser(ErrorRecord* error) {
  std::string user = user_name();
  // Most accounts are in a few groups: ask with a small list first and
  // grow it to the size the account database reports, rather than clearing
  // room for the largest list in every handler process.
  std::vector<gid_t> groups(kFewGroups);
  int count = kFewGroups;
  int found = getgrouplist(user.c_str(), gid_, groups.data(), &count);
  if (found < 0 && count > kFewGroups) {
    count = std::min(count, kMaxGroups);
    groups.resize(count);
    found = getgrouplist(user.c_str(), gid_, groups.data(), &count);
  }
  groups.resize(found < 0 ? 0 : static_cast<size_t>(count));
  for (gid_t group : groups) {
    log_trace("session", 97, "seteuser", "[session] gid = %d",
              static_cast<int>(group));
  }
  if (has_identity(uid_, gid_, groups)) return true;

  // The groups first and the user last: once the effective user is not root
  // the process may no longer change its groups.
  const char* step = nullptr;
  if (setgroups(groups.size(), groups.data()) != 0) {
    step = "setgroups";
  } else if (setegid(gid_) != 0) {
    step = "setegid";
  } else if (seteuid(uid_) != 0) {
    step = "seteuid";
  }
  if (step == nullptr) return true;
  int saved = errno;
  log_line(LogKind::kError, "[session] switch to user %s (uid %d): %s: %s",
           user.c_str(), static_cast<int>(uid_), step, std::strerror(saved));
  set_error(error, 3, "cannot switch to user %s: %s: %s", user.c_str(), step,
            std::strerror(saved));
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
  if (sid.empty() || sid.find('\0') != std::string::npos) return false;
  tovix_session_t record{};
  return auth_get_session_ex(sid.c_str(), 1, &record) == 0;
}

}  // namespace orv
