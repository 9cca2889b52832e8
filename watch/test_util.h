// What a process holds of its folder watchers, read from /proc: for the
// watcher tests and the test daemon. Used by tests.
#ifndef ORV_WATCH_TEST_UTIL_H_
#define ORV_WATCH_TEST_UTIL_H_

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace orv::test {

// The threads named "orv-watch-..." of the process whose /proc folder is
// `proc`.
inline int watcher_threads(const std::string& proc = "/proc/self") {
  int count = 0;
  std::error_code ignored;
  for (const auto& task :
       std::filesystem::directory_iterator(proc + "/task", ignored)) {
    std::string name;
    std::ifstream(task.path() / "comm") >> name;
    if (name.rfind("orv-watch-", 0) == 0) ++count;
  }
  return count;
}

// The inotify descriptors of that process.
inline int inotify_descriptors(const std::string& proc = "/proc/self") {
  int count = 0;
  std::error_code ignored;
  for (const auto& fd :
       std::filesystem::directory_iterator(proc + "/fd", ignored)) {
    if (std::filesystem::read_symlink(fd.path(), ignored) ==
        "anon_inode:inotify") {
      ++count;
    }
  }
  return count;
}

}  // namespace orv::test

#endif  // ORV_WATCH_TEST_UTIL_H_
