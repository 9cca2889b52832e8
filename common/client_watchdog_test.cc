#include "common/client_watchdog.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orv {
namespace {

int caller_gone(hv_io_t*) { return 0; }
int caller_connected(hv_io_t*) { return 1; }

// Stands for a request's io: the probes above never look inside.
hv_io_t* fake_io() {
  static char token;
  return reinterpret_cast<hv_io_t*>(&token);
}

// Runs `body` in a child process (the watchdog ends whole processes) and
// returns its exit status. The child ends with 0 after `linger_ms` unless
// something ended it before.
template <typename Body>
int child_status(Body body, int linger_ms) {
  pid_t pid = fork();
  if (pid == 0) {
    body();
    usleep(static_cast<useconds_t>(linger_ms) * 1000);
    _exit(0);
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

TEST(ClientWatchdogTest, EndsTheProcessWhenTheCallerIsGone) {
  int status = child_status(
      [] {
        set_client_alive_probe(&caller_gone);
        watch_client(fake_io(), 1);
      },
      4000);
  EXPECT_EQ(status, 1);
}

TEST(ClientWatchdogTest, LeavesTheProcessWhileTheCallerStays) {
  int status = child_status(
      [] {
        set_client_alive_probe(&caller_connected);
        watch_client(fake_io(), 1);
      },
      2500);
  EXPECT_EQ(status, 0);
}

TEST(ClientWatchdogTest, StoppedWatchLetsWorkFinishWithoutCaller) {
  int status = child_status(
      [] {
        set_client_alive_probe(&caller_gone);
        watch_client(fake_io(), 1);
        stop_client_watch();
      },
      2500);
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace orv
