// Test helpers of the format folder: stand-in scripts at the external tools'
// paths that record every run, and a scratch folder under "/share/", where the
// media probes look for files.
#ifndef ORV_FORMAT_PROBE_TEST_UTIL_H_
#define ORV_FORMAT_PROBE_TEST_UTIL_H_

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/sandbox.h"

namespace orv::test {

// The file in which the stand-in of `tool` records its runs, one line each.
inline std::string tool_log(const Sandbox& sandbox, const std::string& tool) {
  return sandbox.path("runs" + tool);
}

// Installs at the fixed path `tool` a shell script that first appends its
// arguments as one line to tool_log and then runs `body`.
inline void install_tool(const Sandbox& sandbox, const std::string& tool,
                         const std::string& body) {
  std::string log = tool_log(sandbox, tool);
  std::filesystem::create_directories(std::filesystem::path(log).parent_path());
  sandbox.write_file(
      tool, "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + log + "'\n" + body + "\n",
      0755);
}

// Installs a stand-in that prints `out` on standard output and `err` on
// standard error, whatever it is asked.
inline void install_printing_tool(const Sandbox& sandbox,
                                  const std::string& tool,
                                  const std::string& out,
                                  const std::string& err) {
  sandbox.write_file("answers" + tool + ".out", out);
  sandbox.write_file("answers" + tool + ".err", err);
  install_tool(sandbox, tool,
               "cat '" + sandbox.path("answers" + tool + ".out") + "'\ncat '" +
                   sandbox.path("answers" + tool + ".err") + "' >&2");
}

// The argument lines of every run of `tool` so far.
inline std::vector<std::string> tool_runs(const Sandbox& sandbox,
                                          const std::string& tool) {
  std::ifstream in(tool_log(sandbox, tool));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Writes `content` to `path` (an absolute path), making its folders.
inline void write_at(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(
      std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Sets attribute `name` of `path`; false when the file system refuses.
inline bool set_attribute(const std::string& path, const std::string& name,
                          const std::string& value) {
  return setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) ==
         0;
}

// The attribute's value, or "<none>" when it cannot be read.
inline std::string get_attribute(const std::string& path,
                                 const std::string& name) {
  char value[256];
  ssize_t n = getxattr(path.c_str(), name.c_str(), value, sizeof(value));
  return n < 0 ? "<none>" : std::string(value, static_cast<size_t>(n));
}

// A fresh folder below `parent` (an absolute folder such as "/share"), made
// with its parents and removed with its content at destruction. The parents
// stay: other tests running at the same time may be using them.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& parent) {
    std::error_code error;
    std::filesystem::create_directories(parent, error);
    std::string templ = parent + "/orv-format-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
      reason_ = "cannot make a folder in " + parent + ": " + strerror(errno);
      return;
    }
    path_ = templ;
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }

  bool ok() const { return !path_.empty(); }
  const std::string& reason() const { return reason_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string reason_;
};

}  // namespace orv::test

#endif  // ORV_FORMAT_PROBE_TEST_UTIL_H_
