// The fixture of the orv-service process tests: a sandbox, daemons started
// in it for fresh login sessions, and calls to them through hvcall.
#ifndef ORV_TESTS_SERVICE_FIXTURE_H_
#define ORV_TESTS_SERVICE_FIXTURE_H_

#include <gtest/gtest.h>
#include <jansson.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/json.h"
#include "tests/sandbox.h"

namespace orv::test {

// Makes this process the child subreaper while it lives: handler processes,
// which their daemon disowns at once, become this process's children, so
// that tests can wait for them and read their exit status.
class Subreaper {
 public:
  Subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
  ~Subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 0); }
  Subreaper(const Subreaper&) = delete;
  Subreaper& operator=(const Subreaper&) = delete;
};

// Sets ORV_ROOT in this process while it lives, for calls made without
// hvcall.
class RootEnvironment {
 public:
  explicit RootEnvironment(const std::string& root) {
    setenv("ORV_ROOT", root.c_str(), 1);
  }
  ~RootEnvironment() { unsetenv("ORV_ROOT"); }
  RootEnvironment(const RootEnvironment&) = delete;
  RootEnvironment& operator=(const RootEnvironment&) = delete;
};

// Waits at most `timeout` for child `pid` to end; its exit status, 128 +
// signal when a signal ended it, or -1 when it did not end in time.
inline int wait_child(pid_t pid, std::chrono::milliseconds timeout) {
  int raw = 0;
  if (!wait_until([&] { return waitpid(pid, &raw, WNOHANG) == pid; },
                  timeout)) {
    return -1;
  }
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

// The children of this process other than `keep`, from /proc.
inline std::vector<pid_t> children_except(pid_t keep) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // "pid (comm) state ppid ...": the command may hold spaces.
    size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    std::string state;
    pid_t parent = 0;
    rest >> state >> parent;
    pid_t pid = static_cast<pid_t>(std::stol(name));
    if (parent == getpid() && pid != keep) found.push_back(pid);
  }
  return found;
}

// Reaps the children other than `keep` that have ended; true once none is
// left.
inline bool none_left_but(pid_t keep) {
  std::vector<pid_t> children = children_except(keep);
  for (pid_t pid : children) waitpid(pid, nullptr, WNOHANG);
  return children_except(keep).empty();
}

class ServiceTest : public ::testing::Test {
 protected:
  static constexpr char kUuid[] = "0f8fad5b-d9cb-469f-a165-70867728950e";

  // Starts `program` ("orv-service" or "service-test-daemon") with -s `sid`
  // and `args`, and waits until its service answers on the bus (false when
  // it does not within a few seconds).
  Process& start(const std::string& sid,
                 const std::vector<std::string>& args = {},
                 const RunOptions& options = {},
                 const std::string& program = "orv-service") {
    std::vector<std::string> argv{bin(program), "-s", sid};
    argv.insert(argv.end(), args.begin(), args.end());
    return sandbox_.start(argv, options);
  }

  bool serving(const std::string& sid) {
    return wait_until(
        [&] { return sandbox_.exists("var/run/hvbus/orv-" + sid); },
        std::chrono::milliseconds(5000));
  }

  // Calls `method` of the session's daemon with `body`; the reply parsed
  // (null when it is not JSON, which fails the test).
  Json call(const std::string& sid, const std::string& method,
            const std::string& body,
            const std::vector<std::string>& flags = {}) {
    std::vector<std::string> args = flags;
    args.push_back("orv-" + sid);
    args.push_back(method);
    args.push_back(body);
    RunResult result = sandbox_.hvcall(args);
    EXPECT_EQ(result.status, 0) << method << " " << body << ": " << result.err;
    json_error_t error;
    Json reply = Json::adopt(json_loads(result.out.c_str(), 0, &error));
    EXPECT_TRUE(reply) << method << " " << body << ": " << result.out;
    return reply;
  }

  // The process id that `daemon` logged after `marker` (a handler's own log
  // line), waiting for the line to come; -1 when it does not.
  static pid_t logged_pid(Process& daemon, const std::string& marker) {
    if (!daemon.wait_for_err(marker, std::chrono::milliseconds(10000))) {
      return -1;
    }
    std::string err = daemon.err();
    return static_cast<pid_t>(
        std::stoi(err.substr(err.find(marker) + marker.size())));
  }

  static int64_t int_of(const Json& object, const char* key) {
    return json_integer_value(json_object_get(object.get(), key));
  }
  static std::string text_of(const Json& object, const char* key) {
    const char* text = json_string_value(json_object_get(object.get(), key));
    return text != nullptr ? text : "";
  }

  Sandbox sandbox_;
};

}  // namespace orv::test

#endif  // ORV_TESTS_SERVICE_FIXTURE_H_
