// ThreadIdentity: the session user's effective identity for the calling
// thread alone, so that a daemon thread that runs as root looks paths up
// with the permissions of the account it works for.
#ifndef ORV_WATCH_THREAD_IDENTITY_H_
#define ORV_WATCH_THREAD_IDENTITY_H_

#include <sys/types.h>

#include <vector>

#include "common/identity.h"

namespace orv {

// Gives the calling thread the effective user and group ids and the
// supplementary groups of an account for the life of the object, and gives
// it back its own when destroyed; the process's other threads keep theirs.
// The real and saved ids stay as they were, which is how the thread gets
// back.
//
// The C library's set*id calls change every thread of the process; this
// calls the kernel directly, which changes the calling thread only. A thread
// that does not run as root, and a root thread asked for root, changes
// nothing.
//
// Construct and destroy on the same thread; a forked child of a thread in
// such a scope inherits the switched identity.
class ThreadIdentity {
 public:
  explicit ThreadIdentity(const Identity& identity);
  ~ThreadIdentity();
  ThreadIdentity(const ThreadIdentity&) = delete;
  ThreadIdentity& operator=(const ThreadIdentity&) = delete;

  // Whether the thread now has the identity asked for (or its own, when it
  // needs no switch). False when a step failed: the thread's identity was
  // then restored as far as it could be, and nothing that needs the
  // account's permissions may be done.
  bool ok() const { return ok_; }

 private:
  void restore();

  bool ok_ = true;
  bool switched_ = false;
  uid_t saved_uid_ = 0;
  gid_t saved_gid_ = 0;
  std::vector<gid_t> saved_groups_;
};

}  // namespace orv

#endif  // ORV_WATCH_THREAD_IDENTITY_H_
