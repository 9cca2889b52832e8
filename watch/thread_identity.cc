#include "watch/thread_identity.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/log.h"

namespace orv {

namespace {

constexpr uid_t kKeepUid = static_cast<uid_t>(-1);
constexpr gid_t kKeepGid = static_cast<gid_t>(-1);

// The kernel's calls, which change the calling thread's credentials only.
bool thread_setgroups(const std::vector<gid_t>& groups) {
  return syscall(SYS_setgroups, groups.size(), groups.data()) == 0;
}
bool thread_setegid(gid_t gid) {
  return syscall(SYS_setresgid, kKeepGid, gid, kKeepGid) == 0;
}
bool thread_seteuid(uid_t uid) {
  return syscall(SYS_setresuid, kKeepUid, uid, kKeepUid) == 0;
}

}  // namespace

ThreadIdentity::ThreadIdentity(const Identity& identity) {
  const uid_t uid = identity.uid;
  // Without root there is nothing to switch to, and nothing more to guard
  // against: the thread's own permissions are no wider than an account's.
  if (geteuid() != 0 || uid == 0) return;
  saved_uid_ = geteuid();
  saved_gid_ = getegid();
  const int count = getgroups(0, nullptr);
  saved_groups_.resize(count > 0 ? count : 0);
  if (count > 0 && getgroups(count, saved_groups_.data()) != count) {
    ok_ = false;  // Could not be given back.
    return;
  }
  switched_ = true;
  // The groups and the group id while the thread still may change them.
  const char* step = nullptr;
  if (!thread_setgroups(identity.groups)) {
    step = "setgroups";
  } else if (!thread_setegid(identity.gid)) {
    step = "setresgid";
  } else if (!thread_seteuid(uid)) {
    step = "setresuid";
  }
  if (step == nullptr) return;
  log_line(LogKind::kError, "[watch] switch thread to uid %d: %s: %s",
           static_cast<int>(uid), step, std::strerror(errno));
  ok_ = false;
  restore();
}

ThreadIdentity::~ThreadIdentity() { restore(); }

void ThreadIdentity::restore() {
  if (!switched_) return;
  switched_ = false;
  // The user id first: only root may set the groups back.
  if (thread_seteuid(saved_uid_) && thread_setegid(saved_gid_) &&
      thread_setgroups(saved_groups_)) {
    return;
  }
  log_line(LogKind::kError, "[watch] restore thread identity: %s",
           std::strerror(errno));
}

}  // namespace orv
