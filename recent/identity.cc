#include "recent/identity.h"

#include <grp.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace orv::recent {

namespace {

// Both calls return the previous id, whether or not they changed it; asked
// for the id -1, which is never valid, they change nothing and so report the
// current one.
uid_t set_fsuid(uid_t uid) {
  return static_cast<uid_t>(syscall(SYS_setfsuid, uid));
}
gid_t set_fsgid(gid_t gid) {
  return static_cast<gid_t>(syscall(SYS_setfsgid, gid));
}

}  // namespace

FsIdentity::FsIdentity(uid_t uid, gid_t gid)
    : previous_uid_(0), previous_gid_(0), ok_(false) {
  previous_gid_ = set_fsgid(gid);
  previous_uid_ = set_fsuid(uid);
  ok_ = set_fsuid(static_cast<uid_t>(-1)) == uid &&
        set_fsgid(static_cast<gid_t>(-1)) == gid;
}

FsIdentity::~FsIdentity() {
  set_fsuid(previous_uid_);
  set_fsgid(previous_gid_);
}

bool drop_supplementary_groups() {
  if (getgroups(0, nullptr) == 0) return true;
  return setgroups(0, nullptr) == 0;
}

}  // namespace orv::recent
