// Load as an appliance sees it: 32 live login sessions on one machine, each
// with its own orv-service, as the gateway starts them.
//
// - BM_IdleDaemonMemory: the resident memory of each daemon once it has
//   served its first request and gone idle, over the 32 (minimum, median and
//   maximum): "rss_" as the kernel counts it, with every page of the shared
//   libraries it maps; "pss_" with those pages shared out among the
//   processes that map them; "private_" its own pages alone. The goal is
//   under 4 MiB.
// - BM_ThirtyTwoCreateCacheAtOnce: one create.cache of a folder of 10,000
//   files alone ("solo_ms"), then 32 of them at once, one per daemon;
//   counters "slowest_ms", "answered" (of 32) and "goal_ms", which is 3 x
//   solo x 32 / cores: the slowest should come within it.
//
// The folder is made once, in a folder of /tmp named with its layout
// version, and reused by later runs; the daemons run in a sandbox root of
// their own, removed at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <jansson.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "common/platform/session_store.h"
#include "tests/bench_call.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kFolderHome[] = "/tmp/orv-load-bench-folder-v1";
constexpr int kSessions = 32;
constexpr int kFiles = 10000;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string folder_path() { return std::string(kFolderHome) + "/Public"; }

// Makes the folder unless a complete one is there already.
void ensure_folder() {
  const std::string stamp = std::string(kFolderHome) + "/complete";
  if (fs::exists(stamp)) return;
  fs::remove_all(kFolderHome);
  fs::create_directories(folder_path());
  for (int i = 0; i < kFiles; ++i) {
    char name[96];
    std::snprintf(name, sizeof(name), "%s/IMG_%05d holiday %d.JPG",
                  folder_path().c_str(), i, i % 7);
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
      std::perror(name);
      std::exit(1);
    }
    close(fd);
  }
  std::ofstream(stamp) << kFiles << " files\n";
}

// The sandbox root, its sessions and their daemons.
class Appliance {
 public:
  Appliance() {
    ensure_folder();
    char name[] = "/tmp/orv-load-bench-XXXXXX";
    if (mkdtemp(name) == nullptr) std::abort();
    root_ = name;
    chmod(root_.c_str(), 0755);
    setenv("ORV_ROOT", root_.c_str(), 1);
    const std::string volume = root_ + "/volume";
    fs::create_directories(root_ + "/etc/config");
    fs::create_directories(root_ + "/var/run");
    fs::create_directories(volume);
    std::ofstream(root_ + "/etc/config/def_share.info")
        << "[SHARE_DEF]\ndefVolMP = " << volume << "\n";
    std::ofstream(root_ + "/etc/config/tvk2.conf")
        << "[Public]\npath = " << folder_path() << "\n";
    const std::string user =
        geteuid() == 0 ? "nobody" : getpwuid(geteuid())->pw_name;
    const std::string program = std::string(ORV_BIN_DIR) + "/orv-service";
    for (int i = 0; i < kSessions; ++i) {
      std::string sid;
      std::string error;
      if (!platform::create_session(user, 0, &sid, &error)) {
        std::fprintf(stderr, "session: %s\n", error.c_str());
        std::exit(1);
      }
      const pid_t pid = fork();
      if (pid == 0) {
        execl(program.c_str(), program.c_str(), "-s", sid.c_str(), "-l", "3",
              nullptr);
        _exit(127);
      }
      services_.push_back("orv-" + sid);
      pids_.push_back(pid);
    }
    for (const std::string& service : services_) {
      const std::string socket = root_ + "/var/run/hvbus/" + service;
      const auto start = Clock::now();
      while (!fs::exists(socket) && seconds_since(start) < 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      // The first request runs the worker start hook.
      bench::call_service(
          service, "fetch.resource",
          R"({"path":[{"full_path":")" + root_ + R"(","alias":"/r"}]})");
    }
  }

  ~Appliance() {
    for (pid_t pid : pids_) kill(pid, SIGTERM);
    for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  const std::vector<std::string>& services() const { return services_; }
  const std::vector<pid_t>& pids() const { return pids_; }

 private:
  std::string root_;
  std::vector<std::string> services_;
  std::vector<pid_t> pids_;
};

Appliance& appliance() {
  static Appliance instance;
  return instance;
}

// Figures of process `pid` in KiB: "Rss", "Pss", "Private_Clean" ... of
// /proc/PID/smaps_rollup; 0 when it cannot be read.
long rollup_kib(pid_t pid, const std::string& field) {
  std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string line;
  while (std::getline(rollup, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      return std::atol(line.c_str() + field.size() + 1);
    }
  }
  return 0;
}

// Sets "min_MiB", "median_MiB" and "max_MiB" with the `prefix` of `kib`.
void report(benchmark::State& state, const std::string& prefix,
            std::vector<long> kib) {
  std::sort(kib.begin(), kib.end());
  state.counters[prefix + "min_MiB"] = kib.front() / 1024.0;
  state.counters[prefix + "median_MiB"] = kib[kib.size() / 2] / 1024.0;
  state.counters[prefix + "max_MiB"] = kib.back() / 1024.0;
}

void BM_IdleDaemonMemory(benchmark::State& state) {
  Appliance& a = appliance();
  for (auto _ : state) {
    // Idle: every daemon has served and nothing is under way.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::vector<long> rss;
    std::vector<long> pss;
    std::vector<long> own;
    for (pid_t pid : a.pids()) {
      rss.push_back(rollup_kib(pid, "Rss"));
      pss.push_back(rollup_kib(pid, "Pss"));
      own.push_back(rollup_kib(pid, "Private_Clean") +
                    rollup_kib(pid, "Private_Dirty"));
    }
    // Resident as the kernel counts it, the pages of the shared libraries
    // that all daemons share included; the daemon's share of those (Pss);
    // its pages of its own alone.
    report(state, "rss_", rss);
    report(state, "pss_", pss);
    report(state, "private_", own);
  }
}
BENCHMARK(BM_IdleDaemonMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ThirtyTwoCreateCacheAtOnce(benchmark::State& state) {
  Appliance& a = appliance();
  const std::string body = R"({"index":1,"path":[{"full_path":")" +
                           folder_path() + R"(","alias":"/Public"}]})";
  const auto listed = [](const Json& reply) {
    return json_integer_value(json_object_get(reply.get(), "total")) == kFiles;
  };
  for (auto _ : state) {
    double solo = 0;
    if (!listed(bench::call_service(a.services()[0], "create.cache", body,
                                    &solo))) {
      state.SkipWithError("the request alone failed");
    }
    std::vector<double> seconds(a.services().size(), 0);
    std::atomic<int> answered{0};
    std::latch start(static_cast<std::ptrdiff_t>(a.services().size()));
    std::vector<std::thread> callers;
    for (size_t i = 0; i < a.services().size(); ++i) {
      callers.emplace_back([&, i] {
        start.arrive_and_wait();  // All go at once.
        if (listed(bench::call_service(a.services()[i], "create.cache", body,
                                       &seconds[i]))) {
          ++answered;
        }
      });
    }
    for (std::thread& caller : callers) caller.join();
    const double slowest = *std::max_element(seconds.begin(), seconds.end());
    const double cores = std::thread::hardware_concurrency();
    state.SetIterationTime(slowest);
    state.counters["solo_ms"] = solo * 1000;
    state.counters["slowest_ms"] = slowest * 1000;
    state.counters["answered"] = answered.load();
    state.counters["goal_ms"] = 3 * solo * kSessions / cores * 1000;
  }
}
BENCHMARK(BM_ThirtyTwoCreateCacheAtOnce)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace orv

BENCHMARK_MAIN();
