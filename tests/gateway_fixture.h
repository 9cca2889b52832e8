// Helpers of the gateway's process tests: the CGI calls of orv-gateway, free
// loopback ports, the web server in front of the gateway, and the teardown
// of what the gateway and the servers start outside the test's own process
// groups (detached session daemons, server process groups).
#ifndef ORV_TESTS_GATEWAY_FIXTURE_H_
#define ORV_TESTS_GATEWAY_FIXTURE_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "tests/sandbox.h"

namespace orv::test {

// The header line every reply through the gateway begins with.
constexpr char kJsonHeader[] =
    "Content-Type: application/json; charset=utf-8\r\n\r\n";

// Path of a file of the source tree ("tools/serve-web", ...).
std::string source_path(const std::string& relative);

// A TCP port on 127.0.0.1 that was free a moment ago (the kernel's pick;
// another process may still take it first).
int free_loopback_port();

// True when a listening socket could be bound to 127.0.0.1:`port` now.
bool port_is_free(int port);

// The processes that belong to the sandbox under `root`: those whose
// environment says ORV_ROOT=`root` or whose command line names a path under
// it. Zombies do not count.
std::vector<pid_t> processes_under(const std::string& root);

// Ends every process of processes_under(`root`) and its process group (TERM,
// then KILL after a grace period) and waits until none is left.
void stop_processes_under(const std::string& root);

// Calls stop_processes_under(root) when destroyed: a member declared after
// the Sandbox, so that it runs first, even when a test fails.
class SandboxReaper {
 public:
  explicit SandboxReaper(const Sandbox& sandbox) : root_(sandbox.root()) {}
  SandboxReaper(const SandboxReaper&) = delete;
  SandboxReaper& operator=(const SandboxReaper&) = delete;
  ~SandboxReaper() { stop_processes_under(root_); }

 private:
  std::string root_;
};

// Runs orv-gateway (or the built `program`) once with the CGI variables
// `vars`, without the variables named in `unset`, and `input` on standard
// input. As a web server does, it sets CONTENT_LENGTH to the size of a
// non-empty `input` unless `vars` or `unset` name the variable.
RunResult run_gateway(const Sandbox& sandbox,
                      const std::map<std::string, std::string>& vars,
                      const std::vector<std::string>& unset = {},
                      const std::string& input = "",
                      const std::string& program = "orv-gateway");

// Starts tools/serve-web in `sandbox` for the built gateway (or the built
// CGI `program`), on a free port (trying again on another one when the port
// was taken meanwhile), and waits until it serves. Returns the port, or 0
// when it never came up.
int start_web_server(Sandbox& sandbox, const std::string& run_dir,
                     const std::string& program = "orv-gateway");

}  // namespace orv::test

#endif  // ORV_TESTS_GATEWAY_FIXTURE_H_
