// The script behind `make run`: the demo comes up on the port it is given,
// prints the JSON of its search and examples that keep working while the page
// searches, lays out a share of real (sparse) sizes, refuses a second
// instance, and however it is stopped (Ctrl-C twice, a SIGTERM during the
// stop, a SIGTERM when it was started with SIGINT ignored) stops everything
// it started, the session daemon the gateway started included, ends its
// session and frees the port; no part stops by itself.
#include <gtest/gtest.h>
#include <jansson.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "tests/gateway_fixture.h"
#include "tests/sandbox.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// The line after `title` in `text`.
std::string line_after(const std::string& text, const std::string& title) {
  const size_t at = text.find(title + "\n");
  if (at == std::string::npos) return std::string();
  const size_t start = at + title.size() + 1;
  return text.substr(start, text.find('\n', start) - start);
}

class GatewayRunTest : public ::testing::Test {
 protected:
  // Starts run-demo through `launcher` (a command that runs the rest of its
  // arguments) on a free port and waits until it is ready; nullptr when it
  // never came up. Sets port_, sid_ and out_.
  Process* start_demo(const std::vector<std::string>& launcher) {
    std::vector<std::string> command = launcher;
    command.insert(command.end(),
                   {source_path("tools/run-demo"), ORV_BIN_DIR, demo_});
    // Another program may take the free port first: then try another.
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = free_loopback_port();
      RunOptions options;
      options.env["PORT"] = std::to_string(port_);
      Process& started = sandbox_.start(command, options);
      wait_until(
          [&] {
            return started.out().find("orv demo: ready") != std::string::npos ||
                   !started.running();
          },
          milliseconds(60000));
      if (!started.running()) continue;
      out_ = started.out();
      const std::string cookie = "cookie     NAS_SID=";
      const size_t at = out_.find(cookie);
      if (at != std::string::npos) sid_ = out_.substr(at + cookie.size(), 8);
      return &started;
    }
    return nullptr;
  }

  RunResult session_check() const {
    RunOptions in_demo;
    in_demo.env["ORV_ROOT"] = demo_ + "/root";
    return sandbox_.run({bin("tovix-session"), "check", sid_}, in_demo);
  }

  // Everything the demo started is gone, its session ended, its port free.
  void expect_stopped_whole(Process& run) {
    EXPECT_EQ(run.wait(milliseconds(30000)), 0) << run.err();
    EXPECT_EQ(processes_under(demo_), std::vector<pid_t>());
    EXPECT_TRUE(port_is_free(port_));
    EXPECT_FALSE(sandbox_.exists("demo/root/var/run/orv/orv-" + sid_ + ".pid"));
    EXPECT_FALSE(sandbox_.exists("demo/run.pid"));
    EXPECT_EQ(session_check().status, 1);
  }

  Sandbox sandbox_;
  SandboxReaper reaper_{sandbox_};
  const std::string demo_ = sandbox_.path("demo");
  int port_ = 0;
  std::string sid_;
  std::string out_;
};

// A Ctrl-C in a terminal: the signal to the whole foreground process group.
void interrupt(Process& run) { kill(-run.pid(), SIGINT); }

// run-demo with SIGINT at its default, whatever the test runner's.
const std::vector<std::string> kWithSigint{"/usr/bin/env",
                                           "--default-signal=INT"};

TEST_F(GatewayRunTest, DemoServesUntilInterruptedTwiceAndLeavesNothing) {
  Process* run = start_demo(kWithSigint);
  ASSERT_NE(run, nullptr) << sandbox_.read_file("demo/logs/serve-web.log");

  Json search = Json::adopt(json_loads(
      line_after(out_, "create.cache of /Public into slot 2:").c_str(), 0,
      nullptr));
  ASSERT_TRUE(search) << out_;
  EXPECT_EQ(json_integer_value(json_object_get(search.get(), "error_code")), 0);
  EXPECT_GT(json_integer_value(json_object_get(search.get(), "total")), 200);
  EXPECT_EQ(session_check().status, 0);
  // The first request started the session's daemon.
  EXPECT_TRUE(sandbox_.exists("demo/root/var/run/orv/orv-" + sid_ + ".pid"));

  // The printed page fetch still answers after a search of the page, which
  // keeps its lists in the other slot.
  RunOptions in_demo;
  in_demo.env["ORV_ROOT"] = demo_ + "/root";
  const std::string share = demo_ + "/volume/Public";
  EXPECT_EQ(sandbox_
                .hvcall({"orv-" + sid_, "create.cache",
                         R"({"index":1,"path":[{"full_path":")" + share +
                             R"(","alias":"/Public"}]})"},
                        in_demo)
                .status,
            0);
  std::string fetch = line_after(out_, "fetch.cache, first 50 entries:");
  fetch = fetch.substr(0, fetch.rfind('\''));
  fetch = fetch.substr(fetch.rfind('\'') + 1);
  RunResult page = sandbox_.run(
      {"/usr/bin/curl", "-s", "-b", "NAS_SID=" + sid_, fetch}, in_demo);
  Json fetched = Json::adopt(json_loads(page.out.c_str(), 0, nullptr));
  EXPECT_EQ(json_array_size(json_object_get(fetched.get(), "datas")), 50u)
      << fetch << ": " << page.out;

  // The share's files have sizes up to hundreds of MiB, and cost no disk.
  uintmax_t apparent = 0;
  uintmax_t allocated = 0;
  uintmax_t largest = 0;
  for (const auto& item : fs::recursive_directory_iterator(share)) {
    struct stat status;
    if (!item.is_regular_file() || stat(item.path().c_str(), &status) != 0) {
      continue;
    }
    apparent += status.st_size;
    allocated += status.st_blocks * 512;
    largest = std::max<uintmax_t>(largest, status.st_size);
  }
  EXPECT_GT(largest, 100u << 20);
  EXPECT_GT(apparent, 1u << 30);
  EXPECT_LT(allocated, 16u << 20);

  RunOptions other_port;
  other_port.env["PORT"] = std::to_string(free_loopback_port());
  RunResult second = sandbox_.run(
      {source_path("tools/run-demo"), ORV_BIN_DIR, demo_}, other_port);
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("make run: already running"), std::string::npos)
      << second.err;

  // A second Ctrl-C while the first one's stop is under way.
  interrupt(*run);
  std::this_thread::sleep_for(milliseconds(300));
  interrupt(*run);
  expect_stopped_whole(*run);
}

TEST_F(GatewayRunTest, EveryWayOfStoppingStopsEverything) {
  struct Case {
    const char* what;
    std::vector<std::string> launcher;
    bool sigint_ignored;
  };
  const Case cases[] = {
      {"a SIGTERM during the stop", kWithSigint, false},
      // A shell runs a background command with SIGINT ignored.
      {"started in the background by a script",
       {"/bin/sh", "-c", "trap '' INT; exec \"$@\"", "sh"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Process* run = start_demo(c.launcher);
    ASSERT_NE(run, nullptr) << sandbox_.read_file("demo/logs/serve-web.log");
    interrupt(*run);
    if (c.sigint_ignored) {
      // Nothing stops, no part by itself either, and the page is served.
      const std::vector<pid_t> parts = processes_under(demo_);
      std::this_thread::sleep_for(milliseconds(1000));
      EXPECT_TRUE(run->running());
      EXPECT_EQ(processes_under(demo_), parts);
      EXPECT_EQ(sandbox_
                    .run({"/usr/bin/curl", "-s", "-o", "/dev/null", "-w",
                          "%{http_code}",
                          "http://127.0.0.1:" + std::to_string(port_) + "/"})
                    .out,
                "200");
    } else {
      std::this_thread::sleep_for(milliseconds(300));
    }
    run->signal(SIGTERM);
    expect_stopped_whole(*run);
  }
}

}  // namespace
}  // namespace orv::test
