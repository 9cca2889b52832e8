#include "common/identity.h"

#include <grp.h>
#include <unistd.h>

#include <algorithm>

namespace orv {

namespace {

// The group list sorted, without repeats, with `gid` in it: the groups that
// count for access, whether or not the effective group is in the list.
std::vector<gid_t> access_groups(std::vector<gid_t> groups, gid_t gid) {
  groups.push_back(gid);
  std::sort(groups.begin(), groups.end());
  groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
  return groups;
}

}  // namespace

bool has_identity(const Identity& identity) {
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  if (getresuid(&ruid, &euid, &suid) != 0 ||
      getresgid(&rgid, &egid, &sgid) != 0) {
    return false;
  }
  const uid_t uid = identity.uid;
  const gid_t gid = identity.gid;
  if (ruid != uid || euid != uid || suid != uid || rgid != gid || egid != gid ||
      sgid != gid) {
    return false;
  }
  int count = getgroups(0, nullptr);
  if (count < 0) return false;
  std::vector<gid_t> current(static_cast<size_t>(count));
  if (count > 0 && getgroups(count, current.data()) != count) return false;
  return access_groups(current, gid) == access_groups(identity.groups, gid);
}

const char* take_identity(const Identity& identity) {
  // Nothing to change; an unprivileged process serving its own account must
  // not fail for want of the right to change it.
  if (has_identity(identity)) return nullptr;
  // The groups first and the user last: once the process is no longer root
  // it may not change its groups.
  if (setgroups(identity.groups.size(), identity.groups.data()) != 0) {
    return "setgroups";
  }
  if (setresgid(identity.gid, identity.gid, identity.gid) != 0) {
    return "setresgid";
  }
  if (setresuid(identity.uid, identity.uid, identity.uid) != 0) {
    return "setresuid";
  }
  return nullptr;
}

}  // namespace orv
