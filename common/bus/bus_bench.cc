// Round trip of a bus call with a 1 KiB request and a 1 KiB reply, against a
// bare Unix-socket request/reply of the same sizes measured in the same run:
// one connection per request (what the bus does) and one kept connection
// (the floor). Prints the median of each and the ratios.

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/bus/hvservice.h"
#include "common/platform/fd.h"

namespace {

constexpr size_t kSize = 1024;
constexpr int kRepetitions = 10;
const std::string kRequest(kSize, 'q');
const std::string kReply(kSize, 'r');

std::string g_bare_path;

// The bus service's dispatch callback answers at once.
void answer(const char*, hv_io_t* io, int fd) {
  hv_io_realloc(io, 0);
  hv_io_write(io, kReply.data(), kReply.size());
  hv_reply(io);
  hv_io_free(io);
  if (fd >= 0) close(fd);
}

bool read_exact(int fd, char* buffer, size_t length) {
  while (length > 0) {
    ssize_t count = read(fd, buffer, length);
    if (count <= 0) return false;
    buffer += count;
    length -= static_cast<size_t>(count);
  }
  return true;
}

// The bare server: for each connection, answer requests until it closes.
void bare_server(int listener) {
  char buffer[kSize];
  while (true) {
    int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) return;
    while (read_exact(conn, buffer, kSize) &&
           orv::write_all(conn, kReply.data(), kReply.size())) {
    }
    close(conn);
  }
}

int bare_connect() {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, g_bare_path.c_str(), sizeof(addr.sun_path) - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void BM_BusCall(benchmark::State& state) {
  hv_io_t* io = hv_io_create();
  for (auto _ : state) {
    hv_io_realloc(io, 0);
    hv_io_write(io, kRequest.data(), kRequest.size());
    if (hv_call("bench", "echo", io, 10, -1) != HV_OK ||
        hv_io_size(io) != kSize) {
      state.SkipWithError("bus call failed");
      break;
    }
  }
  hv_io_free(io);
}

void BM_BareSocketPerRequest(benchmark::State& state) {
  char buffer[kSize];
  for (auto _ : state) {
    int fd = bare_connect();
    if (fd < 0 || !orv::write_all(fd, kRequest.data(), kSize) ||
        !read_exact(fd, buffer, kSize)) {
      state.SkipWithError("bare call failed");
      if (fd >= 0) close(fd);
      break;
    }
    close(fd);
  }
}

void BM_BareSocketKept(benchmark::State& state) {
  char buffer[kSize];
  int fd = bare_connect();
  for (auto _ : state) {
    if (fd < 0 || !orv::write_all(fd, kRequest.data(), kSize) ||
        !read_exact(fd, buffer, kSize)) {
      state.SkipWithError("bare call failed");
      break;
    }
  }
  if (fd >= 0) close(fd);
}

BENCHMARK(BM_BusCall)->Unit(benchmark::kMicrosecond)->Repetitions(kRepetitions);
BENCHMARK(BM_BareSocketPerRequest)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(kRepetitions);
BENCHMARK(BM_BareSocketKept)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(kRepetitions);

// Keeps the medians for the summary after the usual console output.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.aggregate_name == "median") {
        medians[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> medians;
};

}  // namespace

int main(int argc, char** argv) {
  char root[] = "/tmp/orv-bus-bench-XXXXXX";
  if (mkdtemp(root) == nullptr) return 1;
  setenv("ORV_ROOT", root, 1);
  g_bare_path = std::string(root) + "/bare.sock";

  hv_service_t* service = hv_create("bench", 2, 1, answer);
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, g_bare_path.c_str(), sizeof(addr.sun_path) - 1);
  if (service == nullptr ||
      bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(listener, SOMAXCONN) != 0) {
    std::fprintf(stderr, "bus_bench: cannot set up the services\n");
    return 1;
  }
  std::thread bus_loop([service] { hv_start(service); });
  std::thread bare_loop(bare_server, listener);

  // The machine may be busy with other work: interleave the repetitions of
  // the three measurements so that a change of load hits them alike.
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int args_count = static_cast<int>(args.size());
  benchmark::Initialize(&args_count, args.data());
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  hv_stop(service);
  bus_loop.join();
  hv_free(service);
  shutdown(listener, SHUT_RDWR);
  close(listener);
  bare_loop.join();
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);

  double bus = reporter.medians["BM_BusCall"];
  double per_request = reporter.medians["BM_BareSocketPerRequest"];
  double kept = reporter.medians["BM_BareSocketKept"];
  if (bus > 0 && per_request > 0 && kept > 0) {
    std::printf(
        "\nmedian round trip, 1 KiB each way: bus %.1f us, bare socket "
        "%.1f us per request, %.1f us kept\n"
        "bus / bare per request = %.2f (goal <= 2.00), bus / bare kept = "
        "%.2f\n",
        bus, per_request, kept, bus / per_request, bus / kept);
  }
  return 0;
}
