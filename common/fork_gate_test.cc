#include "common/fork_gate.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

namespace orv {
namespace {

// Waits for `pid` and returns its exit status (-1 when it did not exit).
int exit_status(pid_t pid) {
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

TEST(ForkGateTest, ChildNeverInheritsALockTakenUnderAGuard) {
  // A thread that takes a library's lock again and again, each time under a
  // guard, as a daemon thread does around a query.
  std::mutex library;
  std::atomic<bool> done{false};
  std::atomic<int> rounds{0};
  std::thread busy([&] {
    while (!done) {
      ForkGuard guard;
      std::lock_guard<std::mutex> lock(library);
      rounds++;
    }
  });
  for (int i = 0; i < 300; ++i) {
    pid_t pid = gated_fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(library.try_lock() ? 0 : 1);
    ASSERT_EQ(exit_status(pid), 0) << "fork " << i << " inherited the lock";
  }
  done = true;
  busy.join();
  EXPECT_GT(rounds.load(), 0);
}

TEST(ForkGateTest, GuardsNestAndAForkFromInsideOneFails) {
  std::atomic<bool> holding{false};
  std::atomic<bool> released{false};
  std::thread holder([&] {
    {
      ForkGuard outer;
      holding = true;
      // Give the fork below time to start waiting for this guard; an inner
      // guard of the same thread must not wait for that fork.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      { ForkGuard inner; }
      errno = 0;
      EXPECT_EQ(gated_fork(), -1);
      EXPECT_EQ(errno, EDEADLK);
      released = true;
    }
  });
  while (!holding) std::this_thread::yield();
  pid_t pid = gated_fork();
  if (pid == 0) {
    { ForkGuard guard; }  // The gate is open in the child too.
    _exit(0);
  }
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(released) << "the fork did not wait for the guard";
  holder.join();
  EXPECT_EQ(exit_status(pid), 0);
}

}  // namespace
}  // namespace orv
