// The vimbrel process: its log lines, its pid file, and a second instance.
#include <signal.h>

#include <regex>
#include <string>

#include "tests/vimbrel_fixture.h"

namespace orv::test {
namespace {

using std::chrono::milliseconds;
using VimbrelDaemonTest = VimbrelTest;

TEST_F(VimbrelDaemonTest, SecondInstanceLeavesTheFirstServing) {
  Process& first = start();
  const std::string pid = std::to_string(first.pid());
  EXPECT_EQ(sandbox_.read_file("var/run/vimbrel.pid"), pid);
  RunResult second = sandbox_.run({bin("vimbrel")}, daemon_options());
  EXPECT_EQ(second.status, 1);
  EXPECT_TRUE(std::regex_match(
      second.err,
      std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[vimbrel\\] "
                 "\\[PID=\\d+\\] \\[T=\\d+\\] \\[ERROR\\] vimbrel daemon is "
                 "running \\(" +
                 pid + "\\)\\.\n")))
      << second.err;
  EXPECT_TRUE(first.running());
  EXPECT_EQ(call("version", ""), R"({"version":"1.0.0","error":0,"cause":""})");
  EXPECT_EQ(sandbox_.read_file("var/run/vimbrel.pid"), pid);
}

TEST_F(VimbrelDaemonTest, StartAndStopLines) {
  Process& daemon = start();
  call("version", "");
  daemon.signal(SIGINT);
  ASSERT_EQ(daemon.wait(milliseconds(5000)), 0);
  const std::string pid = std::to_string(daemon.pid());
  const std::string stamp =
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[vimbrel\\] \\[PID=" + pid +
      "\\] \\[T=\\d+\\] \\[INFO\\] ";
  EXPECT_TRUE(std::regex_match(
      daemon.err(),
      std::regex(stamp + "\\(PID " + pid + "\\) startup service\n" + stamp +
                 "\\[database\\] startup\n" + stamp +
                 "\\[database\\] shutdown\n" + stamp + "\\(PID " + pid +
                 "\\) shutdown service\n")))
      << daemon.err();
  // The pid file stays; its lock went with the process.
  EXPECT_EQ(sandbox_.read_file("var/run/vimbrel.pid"), pid);
  Process& next = start();
  EXPECT_EQ(sandbox_.read_file("var/run/vimbrel.pid"),
            std::to_string(next.pid()));
}

}  // namespace
}  // namespace orv::test
