#include "tests/gateway_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

namespace orv::test {

namespace {

using std::chrono::milliseconds;

// A file of /proc/PID; empty when the process is gone (reads of a vanishing
// process fail rather than end).
std::string read_proc(pid_t pid, const char* name) {
  const std::string path = "/proc/" + std::to_string(pid) + "/" + name;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  std::string text;
  char chunk[4096];
  ssize_t count;
  while ((count = read(fd, chunk, sizeof(chunk))) > 0) {
    text.append(chunk, static_cast<size_t>(count));
  }
  close(fd);
  return text;
}

bool is_zombie(pid_t pid) {
  const std::string stat = read_proc(pid, "stat");
  const size_t end = stat.rfind(')');
  return end == std::string::npos || stat.compare(end, 3, ") Z") == 0;
}

// Binds a TCP socket to 127.0.0.1:`port` (0: any); the port bound, or -1.
int bind_loopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  int bound = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      listen(fd, 1) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    bound = ntohs(address.sin_port);
  }
  close(fd);
  return bound;
}

void signal_all(const std::vector<pid_t>& pids, int signo) {
  for (pid_t pid : pids) {
    if (pid == getpid()) continue;
    // A server's process group holds the workers it forked.
    pid_t group = getpgid(pid);
    if (group == pid && group != getpgrp()) kill(-group, signo);
    kill(pid, signo);
  }
}

}  // namespace

std::string source_path(const std::string& relative) {
  return std::string(ORV_SOURCE_DIR) + "/" + relative;
}

int free_loopback_port() { return bind_loopback(0); }

bool port_is_free(int port) { return bind_loopback(port) == port; }

std::vector<pid_t> processes_under(const std::string& root) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return found;
  const std::string variable = "ORV_ROOT=" + root;
  const std::string inside = root + "/";
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long number = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    const pid_t pid = static_cast<pid_t>(number);
    if (pid == getpid() || is_zombie(pid)) continue;
    std::stringstream environment(read_proc(pid, "environ"));
    bool ours = read_proc(pid, "cmdline").find(inside) != std::string::npos;
    for (std::string item; !ours && std::getline(environment, item, '\0');) {
      ours = item == variable || item.rfind(variable + "/", 0) == 0;
    }
    if (ours) found.push_back(pid);
  }
  closedir(proc);
  return found;
}

void stop_processes_under(const std::string& root) {
  std::vector<pid_t> left = processes_under(root);
  if (left.empty()) return;
  signal_all(left, SIGTERM);
  if (wait_until([&] { return processes_under(root).empty(); },
                 milliseconds(5000))) {
    return;
  }
  signal_all(processes_under(root), SIGKILL);
  wait_until([&] { return processes_under(root).empty(); }, milliseconds(3000));
}

RunResult run_gateway(const Sandbox& sandbox,
                      const std::map<std::string, std::string>& vars,
                      const std::vector<std::string>& unset,
                      const std::string& input, const std::string& program) {
  std::vector<std::string> argv{"/usr/bin/env"};
  for (const std::string& name : unset) {
    argv.push_back("-u");
    argv.push_back(name);
  }
  argv.push_back(bin(program));
  RunOptions options;
  options.env = vars;
  if (!input.empty() && vars.count("CONTENT_LENGTH") == 0) {
    options.env["CONTENT_LENGTH"] = std::to_string(input.size());
  }
  options.input = input;
  return sandbox.run(argv, options);
}

int start_web_server(Sandbox& sandbox, const std::string& run_dir,
                     const std::string& program) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int port = free_loopback_port();
    if (port <= 0) continue;
    Process& server = sandbox.start({source_path("tools/serve-web"), run_dir,
                                     std::to_string(port), bin(program)});
    const bool up = wait_until(
        [&] {
          return server.out().find("ready on") != std::string::npos ||
                 !server.running();
        },
        milliseconds(20000));
    if (up && server.running()) return port;
    server.kill_group();
  }
  return 0;
}

}  // namespace orv::test
