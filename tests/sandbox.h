// Sandbox helpers of the process-level tests: a fresh ORV_ROOT in a temporary
// folder, programs started in it with their output captured, and a teardown
// that ends every process a test started and removes the folder, even when the
// test fails.
#ifndef ORV_TESTS_SANDBOX_H_
#define ORV_TESTS_SANDBOX_H_

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace orv::test {

// Path of a program built by the project ("hvcall", "orv-service", ...).
std::string bin(const std::string& program);

// What a finished program did.
struct RunResult {
  int status = -1;  // exit status; 128 + signal when a signal ended it;
                    // -1 when it could not be started or was killed at the
                    // deadline
  std::string out;  // standard output
  std::string err;  // standard error
  bool timed_out = false;
};

// Options of a program run or start.
struct RunOptions {
  std::string input;                         // standard input
  std::map<std::string, std::string> env;    // added to the environment
  std::chrono::milliseconds timeout{30000};  // run: kill after this long
  // Runs the program under this uid and gid (and no supplementary groups)
  // when set.
  int uid = -1;
  int gid = -1;
};

// A program started in the background, in a process group of its own.
class Process {
 public:
  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  ~Process();  // Kills the whole group when still running.

  pid_t pid() const { return pid_; }
  bool running();
  // Waits at most `timeout` for the exit; returns the status as RunResult
  // does (-1 at the deadline, the process left running).
  int wait(std::chrono::milliseconds timeout);
  // Sends `signo` to the process.
  void signal(int signo);
  // Kills the process group (TERM, then KILL after a grace period).
  void kill_group();
  // What it wrote so far.
  std::string out() const;
  std::string err() const;
  // Waits until its standard error contains `text`.
  bool wait_for_err(const std::string& text, std::chrono::milliseconds timeout);

 private:
  friend class Sandbox;
  pid_t pid_ = -1;
  int status_ = -1;
  bool reaped_ = true;
  std::string out_path_;
  std::string err_path_;
};

// A fresh ORV_ROOT. The constructor makes "etc/config", "var/run" and the
// other platform folders; the destructor ends every process started through
// it and removes the folder.
class Sandbox {
 public:
  Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  ~Sandbox();

  const std::string& root() const { return root_; }
  // root() + path, for a path relative to the root or starting with "/".
  std::string path(const std::string& relative) const;

  // Writes a file under the root (folders made as needed).
  void write_file(const std::string& relative, const std::string& content,
                  mode_t mode = 0644) const;
  std::string read_file(const std::string& relative) const;
  bool exists(const std::string& relative) const;
  // Makes a folder under the root, with its parents.
  void make_dir(const std::string& relative, mode_t mode = 0755) const;

  // The environment given to programs: the test's own plus ORV_ROOT.
  std::map<std::string, std::string> env() const;

  // Runs a program to its end (or the timeout).
  RunResult run(const std::vector<std::string>& argv,
                const RunOptions& options = {}) const;
  // Starts a program in the background; ended by the destructor at the latest.
  Process& start(const std::vector<std::string>& argv,
                 const RunOptions& options = {});

  // hvcall with the given arguments.
  RunResult hvcall(const std::vector<std::string>& args,
                   const RunOptions& options = {}) const;
  // A new live session of `user` through tovix-session; its id.
  std::string new_session(const std::string& user, int ttl = 0) const;

 private:
  std::string root_;
  std::deque<Process> processes_;
  int counter_ = 0;
};

// Polls `condition` every 20 ms until it holds or `timeout` passes.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout);

}  // namespace orv::test

#endif  // ORV_TESTS_SANDBOX_H_
