// A real vimbrel daemon, called over the bus:
//
// - 100,000 "add" requests for 10 users sent from 4 client threads; counters
//   "accepted_per_s" (until the last one is answered) and "stored_per_s"
//   (until the writer has stored them all);
// - while they run, "list" of an eleventh user holding 110 rows of each
//   type, alternated with a bare hv_call round trip to a service of this
//   process that answers at once, one pair every millisecond (a busy web
//   client, not a second load): the medians "list_us" and "bare_us", and
//   their "ratio".
//
// Goals: at least 20,000 adds per second stored (a row of the summary
// table); list under 5 times the bare round trip. The daemon runs as root in
// a sandbox root of its own, with its accounts from nss_wrapper, removed at
// the end.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
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
#include <string>
#include <thread>
#include <vector>

#include "common/bus/hvservice.h"
#include "tests/bench_summary.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kUsers = 10;
constexpr int kFirstUid = 6001;
constexpr int kListUid = kFirstUid + kUsers;  // the eleventh
constexpr int kAdds = 100000;
constexpr int kClients = 4;
constexpr int kRowsPerType = 110;
constexpr std::chrono::milliseconds kListPeriod{1};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The bare service answers every call at once.
void answer(const char*, hv_io_t* io, int fd) {
  hv_io_realloc(io, 0);
  hv_reply(io);
  hv_io_free(io);
  if (fd >= 0) close(fd);
}

bool call(const char* service, const char* method, const std::string& body) {
  hv_io_t* io = hv_io_create();
  hv_io_write(io, body.data(), body.size());
  int result = hv_call(service, method, io, 60, -1);
  hv_io_free(io);
  return result == HV_OK;
}

std::string add_body(int uid, int serial, int action) {
  return "{\"user\":" + std::to_string(uid) + ",\"path\":\"/share/Public/f" +
         std::to_string(serial) +
         ".txt\",\"action\":" + std::to_string(action) +
         ",\"app\":\"bench\",\"st_size\":" + std::to_string(serial) + "}";
}

class Daemon {
 public:
  Daemon() {
    char name[] = "/tmp/orv-vimbrel-bench-XXXXXX";
    if (mkdtemp(name) == nullptr) std::abort();
    root_ = name;
    chmod(root_.c_str(), 0755);
    setenv("ORV_ROOT", root_.c_str(), 1);
    fs::create_directories(root_ + "/var/run");
    std::ofstream passwd(root_ + "/passwd");
    for (int uid = kFirstUid; uid <= kListUid; ++uid) {
      const std::string home = this->home(uid);
      fs::create_directories(home);
      if (chown(home.c_str(), uid, uid) != 0) std::perror("chown");
      passwd << "u" << uid << ":x:" << uid << ":" << uid << "::" << home
             << ":/bin/sh\n";
    }
    passwd.close();
    std::ofstream(root_ + "/group") << "users:x:6000:\n";
    pid_ = fork();
    if (pid_ == 0) {
      // Ended with this process, even when it does not end normally.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      setenv("LD_PRELOAD", "libnss_wrapper.so", 1);
      setenv("NSS_WRAPPER_PASSWD", (root_ + "/passwd").c_str(), 1);
      setenv("NSS_WRAPPER_GROUP", (root_ + "/group").c_str(), 1);
      if (!freopen(log_path().c_str(), "w", stderr)) _exit(126);
      const std::string program = std::string(ORV_BIN_DIR) + "/vimbrel";
      execl(program.c_str(), program.c_str(), nullptr);
      _exit(127);
    }
    const auto start = Clock::now();
    while (!call("vimbrel", "version", "{}") && seconds_since(start) < 5) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    echo_ = hv_create("vimbrel-bench-echo", 2, 1, answer);
    echo_loop_ = std::thread([this] { hv_start(echo_); });
    // The listed user: 110 rows of each type, the most before rotation.
    int serial = 0;
    for (int action : {8, 32, 128}) {
      for (int i = 0; i < kRowsPerType; ++i) {
        call("vimbrel", "add", add_body(kListUid, serial++, action));
      }
    }
    wait_stored(kListUid, 3 * kRowsPerType);
  }

  ~Daemon() {
    hv_stop(echo_);
    echo_loop_.join();
    hv_free(echo_);
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  std::string log_path() const { return root_ + "/vimbrel.log"; }

  // Events the daemon dropped because its queue was full.
  int dropped() const {
    std::ifstream log(log_path());
    int count = 0;
    for (std::string line; std::getline(log, line);) {
      if (line.find("over queue size") != std::string::npos) ++count;
    }
    return count;
  }

  std::string home(int uid) const {
    return root_ + "/home/" + std::to_string(uid);
  }

  // Events ever stored for `uid`: the last id its database handed out.
  int64_t stored(int uid) const {
    sqlite3* db = nullptr;
    int64_t count = 0;
    const std::string path = home(uid) + "/.recent";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
      sqlite3_busy_timeout(db, 5000);
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(db, "SELECT MAX(id) FROM recent", -1, &statement,
                             nullptr) == SQLITE_OK &&
          sqlite3_step(statement) == SQLITE_ROW) {
        count = sqlite3_column_int64(statement, 0);
      }
      sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return count;
  }

  int64_t stored_by_all() const {
    int64_t total = 0;
    for (int uid = kFirstUid; uid < kFirstUid + kUsers; ++uid) {
      total += stored(uid);
    }
    return total;
  }

  bool wait_stored(int uid, int64_t count) const {
    const auto start = Clock::now();
    while (stored(uid) < count) {
      if (seconds_since(start) > 120) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

 private:
  std::string root_;
  pid_t pid_ = -1;
  hv_service_t* echo_ = nullptr;
  std::thread echo_loop_;
};

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void BM_AddsWhileListing(benchmark::State& state) {
  if (geteuid() != 0) {
    state.SkipWithError("vimbrel works as root");
    return;
  }
  static Daemon daemon;
  const std::string list_body =
      "{\"user\":" + std::to_string(kListUid) + ",\"type\":1}";
  for (auto _ : state) {
    const int64_t before = daemon.stored_by_all();
    const int dropped_before = daemon.dropped();
    std::atomic<int> next{0};
    std::atomic<int> failed{0};
    std::atomic<bool> adding{true};
    std::vector<double> list_us;
    std::vector<double> bare_us;
    std::thread lister([&] {
      while (adding.load()) {
        auto start = Clock::now();
        if (!call("vimbrel", "list", list_body)) ++failed;
        list_us.push_back(seconds_since(start) * 1e6);
        start = Clock::now();
        if (!call("vimbrel-bench-echo", "echo", "{}")) ++failed;
        bare_us.push_back(seconds_since(start) * 1e6);
        std::this_thread::sleep_until(start + kListPeriod);
      }
    });
    const auto start = Clock::now();
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&] {
        for (int i = next++; i < kAdds; i = next++) {
          if (!call(
                  "vimbrel", "add",
                  add_body(kFirstUid + i % kUsers, i, i % 3 == 0 ? 8 : 128))) {
            ++failed;
          }
        }
      });
    }
    for (std::thread& client : clients) client.join();
    const double accepted = seconds_since(start);
    // Until all are stored, or nothing more was stored for two seconds.
    int64_t count = daemon.stored_by_all() - before;
    auto progress = Clock::now();
    while (count < kAdds - (daemon.dropped() - dropped_before) &&
           seconds_since(progress) < 2) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      int64_t now = daemon.stored_by_all() - before;
      if (now != count) progress = Clock::now();
      count = now;
    }
    const double stored = seconds_since(start);
    adding = false;
    lister.join();
    const int dropped = daemon.dropped() - dropped_before;
    if (failed.load() > 0) state.SkipWithError("calls failed");
    if (count + dropped != kAdds) state.SkipWithError("events were lost");
    state.counters["dropped"] = dropped;
    state.SetIterationTime(stored);
    state.counters["accepted_per_s"] = kAdds / accepted;
    state.counters["stored_per_s"] = count / stored;
    state.counters["list_us"] = median(list_us);
    state.counters["bare_us"] = median(bare_us);
    state.counters["ratio"] = median(list_us) / median(bare_us);
    state.counters["lists"] = static_cast<double>(list_us.size());
    orv::bench::Summary::get().add(
        "vimbrel stored adds, 4 clients", "adds/s", count / stored, -1,
        orv::bench::RatioKind::kNone, "at least 20,000 adds/s");
  }
}
BENCHMARK(BM_AddsWhileListing)
    ->Iterations(1)
    ->Repetitions(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
