// Test helpers of the format folder: stand-ins at the external tools' paths
// that record every run, attributes, and a share folder inside the sandbox
// (the media probes only look at files under the share folder).
#ifndef ORV_FORMAT_PROBE_TEST_UTIL_H_
#define ORV_FORMAT_PROBE_TEST_UTIL_H_

#include <sys/xattr.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "format/share_root.h"
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

// Points the probes' share folder at the folder "share" of `sandbox` while it
// lives, so that share paths are tried without touching the machine's own.
class SandboxShares {
 public:
  explicit SandboxShares(const Sandbox& sandbox)
      : path_(sandbox.path("share")) {
    std::filesystem::create_directories(path_);
    set_share_root(path_ + "/");
  }
  SandboxShares(const SandboxShares&) = delete;
  SandboxShares& operator=(const SandboxShares&) = delete;
  ~SandboxShares() { set_share_root("/share/"); }

  // The share folder, without a trailing "/".
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace orv::test

#endif  // ORV_FORMAT_PROBE_TEST_UTIL_H_
