// Test helpers of the format folder: stand-ins at the external tools' paths
// that record every run, attributes, and scratch folders outside the sandbox
// (the media probes only look at files under "/share/").
#ifndef ORV_FORMAT_PROBE_TEST_UTIL_H_
#define ORV_FORMAT_PROBE_TEST_UTIL_H_

#include <errno.h>
#include <stdlib.h>
#include <sys/xattr.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/sandbox.h"

namespace orv::test {

// Writes `content` to the absolute `path`, making its folders.
inline void write_at(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(
      std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Installs at the fixed path `tool` a script that appends its arguments as
// one line to "runs<tool>" and then runs the shell text `body`.
inline void install_tool(const Sandbox& sandbox, const std::string& tool,
                         const std::string& body) {
  write_at(sandbox.path("runs" + tool), "");
  sandbox.write_file(tool,
                     "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" +
                         sandbox.path("runs" + tool) + "'\n" + body + "\n",
                     0755);
}

// A stand-in that prints `out` on standard output and `err` on standard error.
inline void install_printing_tool(const Sandbox& sandbox,
                                  const std::string& tool,
                                  const std::string& out,
                                  const std::string& err) {
  std::string answers = sandbox.path("answers" + tool);
  write_at(answers + ".out", out);
  write_at(answers + ".err", err);
  install_tool(sandbox, tool,
               "cat '" + answers + ".out'; cat '" + answers + ".err' >&2");
}

// The argument lines of every run of `tool` so far.
inline std::vector<std::string> tool_runs(const Sandbox& sandbox,
                                          const std::string& tool) {
  std::ifstream in(sandbox.path("runs" + tool));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline bool set_attribute(const std::string& path, const std::string& name,
                          const std::string& value) {
  return setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) ==
         0;
}

// The attribute's value, or "<none>".
inline std::string get_attribute(const std::string& path,
                                 const std::string& name) {
  char value[256];
  ssize_t n = getxattr(path.c_str(), name.c_str(), value, sizeof(value));
  return n < 0 ? "<none>" : std::string(value, static_cast<size_t>(n));
}

// A fresh folder below the absolute folder `parent`, removed with its content
// at destruction. Its parents stay: tests running at the same time may use
// them.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& parent) {
    std::error_code ignored;
    std::filesystem::create_directories(parent, ignored);
    std::string templ = parent + "/orv-format-XXXXXX";
    if (mkdtemp(templ.data()) != nullptr) {
      path_ = templ;
    } else {
      reason_ = "cannot make a folder in " + parent + ": " + strerror(errno);
    }
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
