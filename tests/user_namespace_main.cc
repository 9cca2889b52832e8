// user-namespace: runs a program in a new user namespace in which every id
// maps to itself, after lowering per-user limits of that namespace:
//
//   user-namespace [NAME=VALUE ...] -- PROGRAM [ARGS...]
//
// Each NAME is a file of /proc/sys/user ("max_inotify_instances", ...); the
// kernel then counts what each user of the namespace spends against VALUE.
// Needs root. Exits with the program's status (128 + signal), 125 when the
// namespace could not be made.
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

static bool write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  return static_cast<bool>(out << text << std::flush);
}

int main(int argc, char** argv) {
  int split = 1;
  while (split < argc && std::strcmp(argv[split], "--") != 0) ++split;
  if (split + 1 >= argc) return 64;
  int made[2], mapped[2];
  if (pipe(made) != 0 || pipe(mapped) != 0) return 125;
  char byte = 0;
  const pid_t child = fork();
  if (child == 0) {
    // The maps of a new namespace are written from outside it.
    if (unshare(CLONE_NEWUSER) != 0 || write(made[1], &byte, 1) != 1 ||
        read(mapped[0], &byte, 1) != 1 || byte != 1) {
      _exit(125);
    }
    for (int i = 1; i < split; ++i) {
      const std::string setting = argv[i];
      const size_t equals = setting.find('=');
      if (!write_file("/proc/sys/user/" + setting.substr(0, equals),
                      setting.substr(equals + 1))) {
        _exit(125);
      }
    }
    execv(argv[split + 1], argv + split + 1);
    _exit(127);
  }
  const std::string proc = "/proc/" + std::to_string(child);
  byte = child > 0 && read(made[0], &byte, 1) == 1 &&
         write_file(proc + "/uid_map", "0 0 4294967295\n") &&
         write_file(proc + "/gid_map", "0 0 4294967295\n");
  if (child < 0 || write(mapped[1], &byte, 1) != 1) return 125;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}
