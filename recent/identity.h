// The file-system identity of one thread. vimbrel runs as root and works in
// its users' home folders; every file operation on a user's ".recent" runs
// with that user's file-system uid and gid, so that a link or a file that
// the user put there gives the daemon no more access than the user has.
#ifndef ORV_RECENT_IDENTITY_H_
#define ORV_RECENT_IDENTITY_H_

#include <sys/types.h>

namespace orv::recent {

// Holds a user's fsuid and fsgid on the calling thread for its lifetime.
// setfsuid(2) and setfsgid(2) are called through syscall because they then
// change the calling thread alone; glibc's wrappers of the set*id calls
// change every thread of the process, the other users' threads among them.
// Create and destroy it on the same thread. Nesting is allowed.
class FsIdentity {
 public:
  // Switches the fsgid, then the fsuid.
  FsIdentity(uid_t uid, gid_t gid);
  FsIdentity(const FsIdentity&) = delete;
  FsIdentity& operator=(const FsIdentity&) = delete;
  // Restores the identity the thread had before.
  ~FsIdentity();

  // True when the thread now has exactly the requested identity (false, for
  // example, in an unprivileged process asked for somebody else's).
  bool ok() const { return ok_; }

 private:
  uid_t previous_uid_;
  gid_t previous_gid_;
  bool ok_;
};

// Drops the supplementary groups of the process (which a root process may
// hold from whoever started it), so that a thread holding a user's
// FsIdentity is checked against the user's ids alone. Call before any thread
// starts. Returns false when the process may not change them and has some.
bool drop_supplementary_groups();

}  // namespace orv::recent

#endif  // ORV_RECENT_IDENTITY_H_
