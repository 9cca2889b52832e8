#include "tests/sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace orv::test {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int decode_status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

// Forks and execs `argv` in a process group of its own, with the given
// environment and standard streams taken from files.
pid_t spawn(const std::vector<std::string>& argv,
            const std::map<std::string, std::string>& env,
            const RunOptions& options, const std::string& in_path,
            const std::string& out_path, const std::string& err_path) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    if (env.count(name) == 0) env_text.push_back(entry);
  }
  for (const auto& [name, value] : env) env_text.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  pid_t pid = fork();
  if (pid != 0) return pid;
  setpgid(0, 0);
  int in = open(in_path.c_str(), O_RDONLY);
  int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (in < 0 || out < 0 || err < 0) _exit(126);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  closefrom(3);
  if (options.gid >= 0) {
    if (setgroups(0, nullptr) != 0 || setgid(options.gid) != 0) _exit(126);
  }
  if (options.uid >= 0 && setuid(options.uid) != 0) _exit(126);
  execve(argp[0], argp.data(), envp.data());
  _exit(127);
}

}  // namespace

std::string bin(const std::string& program) {
  return std::string(ORV_BIN_DIR) + "/" + program;
}

bool wait_until(const std::function<bool()>& condition, milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (true) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
}

// ---- Process ---------------------------------------------------------------

Process::Process(Process&& other) noexcept { *this = std::move(other); }

Process& Process::operator=(Process&& other) noexcept {
  std::swap(pid_, other.pid_);
  std::swap(status_, other.status_);
  std::swap(reaped_, other.reaped_);
  std::swap(out_path_, other.out_path_);
  std::swap(err_path_, other.err_path_);
  return *this;
}

Process::~Process() { kill_group(); }

bool Process::running() {
  if (reaped_) return false;
  int raw = 0;
  pid_t done = waitpid(pid_, &raw, WNOHANG);
  if (done == pid_) {
    reaped_ = true;
    status_ = decode_status(raw);
    return false;
  }
  return done == 0;
}

int Process::wait(milliseconds timeout) {
  if (!wait_until([this] { return !running(); }, timeout)) return -1;
  return status_;
}

void Process::signal(int signo) {
  if (!reaped_) ::kill(pid_, signo);
}

void Process::kill_group() {
  if (pid_ <= 0) return;
  // The group also holds the handler processes a daemon forked.
  ::kill(-pid_, SIGTERM);
  if (wait(milliseconds(3000)) < 0 && running()) {
    ::kill(-pid_, SIGKILL);
    wait(milliseconds(3000));
  }
  ::kill(-pid_, SIGKILL);  // Leftover members of the group, if any.
}

std::string Process::out() const { return slurp(out_path_); }
std::string Process::err() const { return slurp(err_path_); }

bool Process::wait_for_err(const std::string& text, milliseconds timeout) {
  return wait_until([&] { return err().find(text) != std::string::npos; },
                    timeout);
}

// ---- Sandbox ---------------------------------------------------------------

Sandbox::Sandbox() {
  char templ[] = "/tmp/orv-sandbox-XXXXXX";
  if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = templ;
  chmod(root_.c_str(), 0755);  // Tests also run programs as other users.
  for (const char* dir :
       {"etc/config", "var/run", "usr/bin", "usr/local/bin", "sbin", ".io"}) {
    make_dir(dir);
  }
  // What the programs print (session ids among it) is the test's alone.
  chmod(path(".io").c_str(), 0700);
  setenv("ORV_ROOT", root_.c_str(), 1);
}

Sandbox::~Sandbox() {
  processes_.clear();  // Ends every process group first.
  std::error_code ignored;
  fs::remove_all(root_, ignored);
  unsetenv("ORV_ROOT");
}

std::string Sandbox::path(const std::string& relative) const {
  if (!relative.empty() && relative[0] == '/') return root_ + relative;
  return root_ + "/" + relative;
}

void Sandbox::write_file(const std::string& relative,
                         const std::string& content, mode_t mode) const {
  std::string full = path(relative);
  fs::create_directories(fs::path(full).parent_path());
  std::ofstream(full, std::ios::binary | std::ios::trunc) << content;
  chmod(full.c_str(), mode);
}

std::string Sandbox::read_file(const std::string& relative) const {
  return slurp(path(relative));
}

bool Sandbox::exists(const std::string& relative) const {
  struct stat st;
  return lstat(path(relative).c_str(), &st) == 0;
}

void Sandbox::make_dir(const std::string& relative, mode_t mode) const {
  std::string full = path(relative);
  fs::create_directories(full);
  chmod(full.c_str(), mode);
}

std::map<std::string, std::string> Sandbox::env() const {
  return {{"ORV_ROOT", root_}};
}

RunResult Sandbox::run(const std::vector<std::string>& argv,
                       const RunOptions& options) const {
  static int serial = 0;
  std::string stem = path(".io/run" + std::to_string(getpid()) + "-" +
                          std::to_string(++serial));
  std::ofstream(stem + ".in", std::ios::binary) << options.input;
  auto env = this->env();
  for (const auto& [name, value] : options.env) env[name] = value;
  RunResult result;
  pid_t pid =
      spawn(argv, env, options, stem + ".in", stem + ".out", stem + ".err");
  if (pid < 0) return result;
  auto deadline = Clock::now() + options.timeout;
  int raw = 0;
  while (true) {
    pid_t done = waitpid(pid, &raw, WNOHANG);
    if (done == pid) {
      result.status = decode_status(raw);
      break;
    }
    if (Clock::now() >= deadline) {
      ::kill(-pid, SIGKILL);
      waitpid(pid, &raw, 0);
      result.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(milliseconds(2));
  }
  result.out = slurp(stem + ".out");
  result.err = slurp(stem + ".err");
  return result;
}

Process& Sandbox::start(const std::vector<std::string>& argv,
                        const RunOptions& options) {
  std::string stem = path(".io/proc" + std::to_string(++counter_));
  std::ofstream(stem + ".in", std::ios::binary) << options.input;
  auto env = this->env();
  for (const auto& [name, value] : options.env) env[name] = value;
  Process process;
  process.out_path_ = stem + ".out";
  process.err_path_ = stem + ".err";
  process.pid_ = spawn(argv, env, options, stem + ".in", process.out_path_,
                       process.err_path_);
  process.reaped_ = process.pid_ < 0;
  processes_.push_back(std::move(process));
  return processes_.back();
}

RunResult Sandbox::hvcall(const std::vector<std::string>& args,
                          const RunOptions& options) const {
  std::vector<std::string> argv{bin("hvcall")};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, options);
}

std::string Sandbox::new_session(const std::string& user, int ttl) const {
  std::vector<std::string> argv{bin("tovix-session"), "new", user};
  if (ttl > 0) {
    argv.push_back("--ttl");
    argv.push_back(std::to_string(ttl));
  }
  RunResult result = run(argv);
  std::string sid = result.out;
  while (!sid.empty() && (sid.back() == '\n' || sid.back() == ' ')) {
    sid.pop_back();
  }
  return result.status == 0 ? sid : std::string();
}

}  // namespace orv::test
