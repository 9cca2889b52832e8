// The script behind `make run`: the demo comes up on the port it is given,
// prints the JSON of its search, refuses a second instance, and on SIGINT
// stops everything it started (the session daemon the gateway started
// included), ends its session and frees the port.
#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>

#include <chrono>
#include <string>

#include "common/json.h"
#include "tests/gateway_fixture.h"
#include "tests/sandbox.h"

namespace orv::test {
namespace {

using std::chrono::milliseconds;

// The line after `title` in `text`.
std::string line_after(const std::string& text, const std::string& title) {
  const size_t at = text.find(title + "\n");
  if (at == std::string::npos) return std::string();
  const size_t start = at + title.size() + 1;
  return text.substr(start, text.find('\n', start) - start);
}

TEST(GatewayRunTest, DemoServesUntilInterruptedAndLeavesNothing) {
  Sandbox sandbox;
  SandboxReaper reaper(sandbox);
  const std::string demo = sandbox.path("demo");
  const std::vector<std::string> command{source_path("tools/run-demo"),
                                         ORV_BIN_DIR, demo};
  Process* run = nullptr;
  int port = 0;
  // Another program may take the free port first: then try another.
  for (int attempt = 0; attempt < 3 && run == nullptr; ++attempt) {
    port = free_loopback_port();
    RunOptions options;
    options.env["PORT"] = std::to_string(port);
    Process& started = sandbox.start(command, options);
    wait_until(
        [&] {
          return started.out().find("orv demo: ready") != std::string::npos ||
                 !started.running();
        },
        milliseconds(60000));
    if (started.running()) run = &started;
  }
  ASSERT_NE(run, nullptr) << sandbox.read_file("demo/logs/serve-web.log");
  const std::string out = run->out();

  Json search = Json::adopt(json_loads(
      line_after(out, "create.cache of /Public:").c_str(), 0, nullptr));
  ASSERT_TRUE(search) << out;
  EXPECT_EQ(json_integer_value(json_object_get(search.get(), "error_code")), 0);
  EXPECT_GT(json_integer_value(json_object_get(search.get(), "total")), 200);
  const std::string cookie = "NAS_SID=";
  const size_t at = out.find("cookie     " + cookie);
  ASSERT_NE(at, std::string::npos) << out;
  const std::string sid = out.substr(at + 11 + cookie.size(), 8);
  const std::string root = demo + "/root";
  RunOptions in_demo;
  in_demo.env["ORV_ROOT"] = root;
  EXPECT_EQ(sandbox.run({bin("tovix-session"), "check", sid}, in_demo).status,
            0);
  // The first request started the session's daemon.
  EXPECT_TRUE(sandbox.exists("demo/root/var/run/orv/orv-" + sid + ".pid"));

  RunOptions other_port;
  other_port.env["PORT"] = std::to_string(free_loopback_port());
  RunResult second = sandbox.run(command, other_port);
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("make run: already running"), std::string::npos)
      << second.err;

  run->signal(SIGINT);
  EXPECT_EQ(run->wait(milliseconds(30000)), 0) << run->err();
  EXPECT_EQ(processes_under(demo), std::vector<pid_t>());
  EXPECT_TRUE(port_is_free(port));
  EXPECT_FALSE(sandbox.exists("demo/root/var/run/orv/orv-" + sid + ".pid"));
  EXPECT_EQ(sandbox.run({bin("tovix-session"), "check", sid}, in_demo).status,
            1);
}

}  // namespace
}  // namespace orv::test
