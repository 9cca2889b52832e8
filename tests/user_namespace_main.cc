// user-namespace: runs a program in a new user namespace in which every id
// maps to itself, after lowering per-user limits of that namespace:
//
//   user-namespace [NAME=VALUE ...] -- PROGRAM [ARGS...]
//
// Each NAME is a file of /proc/sys/user ("max_inotify_instances", ...); the
// kernel then counts what each user of the namespace spends against VALUE,
// besides the machine's own limits. Needs root. Exits with the program's
// status (128 + signal), 125 when the namespace could not be made.
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

bool write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  int split = 1;
  while (split < argc && std::strcmp(argv[split], "--") != 0) ++split;
  if (split + 1 >= argc) {
    std::fprintf(stderr, "usage: user-namespace [NAME=VALUE ...] -- PROGRAM\n");
    return 64;
  }
  int made[2];
  int mapped[2];
  if (pipe(made) != 0 || pipe(mapped) != 0) return 125;
  const pid_t child = fork();
  if (child < 0) return 125;
  if (child == 0) {
    char byte = 0;
    if (unshare(CLONE_NEWUSER) != 0) {
      std::perror("user-namespace: unshare");
      _exit(125);
    }
    if (write(made[1], &byte, 1) != 1 || read(mapped[0], &byte, 1) != 1 ||
        byte != 1) {
      _exit(125);
    }
    for (int i = 1; i < split; ++i) {
      const std::string setting = argv[i];
      const size_t equals = setting.find('=');
      if (equals == std::string::npos ||
          !write_file("/proc/sys/user/" + setting.substr(0, equals),
                      setting.substr(equals + 1))) {
        std::fprintf(stderr, "user-namespace: cannot set %s\n", argv[i]);
        _exit(125);
      }
    }
    execv(argv[split + 1], argv + split + 1);
    std::perror("user-namespace: exec");
    _exit(127);
  }
  // The child's namespace gets its maps from here, outside it.
  char byte = 0;
  const std::string proc = "/proc/" + std::to_string(child);
  const bool ok = read(made[0], &byte, 1) == 1 &&
                  write_file(proc + "/uid_map", "0 0 4294967295\n") &&
                  write_file(proc + "/gid_map", "0 0 4294967295\n");
  byte = ok ? 1 : 0;
  if (write(mapped[1], &byte, 1) != 1 || !ok) std::perror("user-namespace");
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}
