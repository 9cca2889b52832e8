// The fork gate: keeps a forked child from inheriting a lock that another
// thread held inside a library at the moment of the fork.
//
// A child of fork() has one thread, and every lock of the parent as it stood
// at the fork, held by threads that do not exist in the child. The libraries
// the daemon uses on its threads (SQLite, the account database, ICU, the C
// library's time zone code) keep such locks internally, so a handler process
// forked while another daemon thread was inside one of them could block for
// ever on its first call into it.
//
// The rule: a daemon thread that calls into a library that is not fork-safe
// does so inside a ForkGuard, and the one place that forks request handlers
// forks through gated_fork. A fork then waits until no guarded work is in
// progress, and guarded work that would start meanwhile waits until the fork
// is done, so the child never sees a library half-way through a call.
//
// Short and bounded: a guard may hold only work that ends by itself within a
// few milliseconds (one SQLite query, one account look-up, one collation),
// never a wait for a peer, a sleep, a blocking read or write of a socket or
// pipe, or a loop over an unbounded list. Every fork of the daemon waits for
// the longest guarded work in progress.
#ifndef ORV_COMMON_FORK_GATE_H_
#define ORV_COMMON_FORK_GATE_H_

#include <sys/types.h>

namespace orv {

// Holds the gate open for the library work of its scope: while any guard
// lives, gated_fork waits. Construction waits while a gated fork is in
// progress. Guards nest on one thread (an inner guard never waits). Any
// thread may take one; it is released on the thread that took it.
class ForkGuard {
 public:
  ForkGuard();
  ~ForkGuard();
  ForkGuard(const ForkGuard&) = delete;
  ForkGuard& operator=(const ForkGuard&) = delete;
};

// fork() with the gate closed: waits until no ForkGuard is held by any
// thread, keeps new guards waiting while fork() runs, and opens the gate
// again in both processes. Returns what fork() returns (the child's pid, 0 in
// the child, -1 with errno on failure). A thread that holds a ForkGuard
// itself gets -1 with errno EDEADLK instead of waiting for ever.
pid_t gated_fork();

}  // namespace orv

#endif  // ORV_COMMON_FORK_GATE_H_
