// The cost of the web server in front of the daemon: one fetch.cache page of
// 500 formatted entries through curl, nginx, fcgiwrap and orv-gateway,
// against the same page through `hvcall -o` (the gateway's own call, without
// the web server). Each iteration runs both once. The HTTP request is timed
// by curl itself, from the connection to the last byte ("http_ms"): what a
// browser, which keeps running, waits for; it includes the start of the
// gateway, as "hvcall_ms" (hvcall's run from start to exit) includes the start
// of hvcall. "curl_run_ms" is the whole run of the curl program, whose own
// start-up (libraries, TLS set-up) is the client's cost. Every figure is the
// median of the iterations; "ratio" is http_ms / hvcall_ms. The sandbox, its
// daemon and the web server are made once and removed at the end.
//
// Also the page's opening of a folder of 300 entries: one fetch.resource
// with the limit of 2,000 that answers the whole folder, against a
// fetch.cache page of the same 300 rows of a cached list, both through the
// web server and timed by curl.
//
// And the web path under load: fetch.cache pages of 100 rows asked for by 32
// clients at once (wrk), through nginx, fcgiwrap, the gateway and the
// daemon, against the same nginx and fcgiwrap running a C program that
// prints a reply of the same bytes (tests/fixed_reply_cgi.c): what the
// gateway and the daemon add to what any CGI program behind this web server
// costs. Pages per second of each, and their ratio.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <jansson.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "tests/bench_summary.h"
#include "tests/gateway_fixture.h"
#include "tests/sandbox.h"

extern char** environ;

namespace orv::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFiles = 600;
constexpr int kPage = 500;
constexpr int kFolderEntries = 300;
constexpr int kLoadPage = 100;
constexpr int kLoadClients = 32;
constexpr int kLoadSeconds = 4;
constexpr char kWrk[] = "/usr/bin/wrk";

// wrk's script: counts the replies that are the page (its length, passed as
// the script's argument) apart from any other (a refusal under load), and
// prints both counts, the connection errors and the seconds of the run.
constexpr char kWrkScript[] = R"(
local threads = {}
function setup(thread) table.insert(threads, thread) end
function init(args) expected = tonumber(args[1]); pages = 0; other = 0 end
function response(status, headers, body)
  if status == 200 and #body == expected then pages = pages + 1
  else other = other + 1 end
end
function done(summary, latency, requests)
  local pages, other = 0, 0
  for _, thread in ipairs(threads) do
    pages = pages + thread:get("pages")
    other = other + thread:get("other")
  end
  local e = summary.errors
  io.write(string.format("pages %d other %d errors %d seconds %.6f\n",
    pages, other, e.connect + e.read + e.write + e.timeout,
    summary.duration / 1e6))
end
)";

// Runs `argv` with standard output into `out` (nullptr: /dev/null); its exit
// status and, in `seconds`, the time from start to exit.
int timed_run(const std::vector<std::string>& argv, double* seconds,
              std::string* out = nullptr) {
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  int ends[2] = {-1, -1};
  if (out != nullptr && pipe2(ends, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null",
                                     O_WRONLY, 0);
  }
  const auto start = Clock::now();
  pid_t pid = -1;
  int status = -1;
  const bool spawned =
      posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0;
  if (out != nullptr) {
    close(ends[1]);
    char chunk[65536];
    ssize_t count;
    while (spawned && (count = read(ends[0], chunk, sizeof(chunk))) > 0) {
      out->append(chunk, static_cast<size_t>(count));
    }
    close(ends[0]);
  }
  if (spawned) waitpid(pid, &status, 0);
  *seconds = std::chrono::duration<double>(Clock::now() - start).count();
  posix_spawn_file_actions_destroy(&actions);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// A sandbox with a share of kFiles files, a login of "nobody", its daemon,
// one cached list of the share, and the web server.
class Setup {
 public:
  Setup() : reaper_(sandbox_) {
    const std::string volume = sandbox_.path("volume");
    sandbox_.make_dir("volume/share/Public");
    sandbox_.write_file("etc/config/def_share.info",
                        "[SHARE_DEF]\ndefVolMP = " + volume + "\n");
    static const char* kExtensions[] = {"jpg", "pdf", "docx", "txt",
                                        "mp3", "png", "xlsx", "zip"};
    for (int i = 0; i < kFiles; ++i) {
      char name[64];
      std::snprintf(name, sizeof(name), "volume/share/Public/file %04d.%s", i,
                    kExtensions[i % 8]);
      sandbox_.write_file(name, std::string(static_cast<size_t>(i % 97), 'x'));
    }
    for (int i = 0; i < kFolderEntries; ++i) {
      sandbox_.write_file(
          "volume/share/Open/entry " + std::to_string(i) + ".txt", "x");
    }
    sid_ = sandbox_.new_session("nobody");
    Process& daemon =
        sandbox_.start({bin("orv-service"), "-s", sid_, "-l", "3"});
    wait_until([&] { return sandbox_.exists("var/run/hvbus/orv-" + sid_); },
               std::chrono::milliseconds(5000));
    (void)daemon;
    RunResult made =
        sandbox_.hvcall({"orv-" + sid_, "create.cache",
                         R"({"index":1,"path":[{"full_path":")" + volume +
                             R"(/share/Public","alias":"/Public"}]})"});
    Json reply = Json::adopt(json_loads(made.out.c_str(), 0, nullptr));
    const char* uuid = json_string_value(json_object_get(reply.get(), "uuid"));
    uuid_ = uuid != nullptr ? uuid : "";
    port_ = start_web_server(sandbox_, sandbox_.path("web"));
  }

  bool ready() const { return !uuid_.empty() && port_ > 0; }
  const Sandbox& sandbox() const { return sandbox_; }
  Sandbox& sandbox() { return sandbox_; }
  const std::string& sid() const { return sid_; }
  std::string page_query() const {
    return "index=1&limit=" + std::to_string(kPage) + "&offset=0&uuid=" + uuid_;
  }
  std::string page_body() const {
    return R"({"index":1,"limit":)" + std::to_string(kPage) +
           R"(,"offset":0,"uuid":")" + uuid_ + "\"}";
  }
  int port() const { return port_; }
  const std::string& uuid() const { return uuid_; }
  // The folder of kFolderEntries entries as the page lists it, with `extra`
  // members.
  std::string folder_body(const std::string& extra) const {
    return R"({"path":[{"full_path":")" + sandbox_.path("volume/share/Open") +
           R"(","alias":"/Open"}],"recursive":false,"sort":"name:asc",)" +
           extra + "}";
  }
  std::string url(const std::string& location) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/Orvane6/" + location;
  }

 private:
  Sandbox sandbox_;
  SandboxReaper reaper_;
  std::string sid_;
  std::string uuid_;
  int port_ = 0;
};

void BM_FetchCachePageThroughWebServer(benchmark::State& state) {
  auto setup = std::make_unique<Setup>();
  if (!setup->ready()) {
    state.SkipWithError("the sandbox did not come up");
    return;
  }
  const std::vector<std::string> fetch{
      "/usr/bin/curl",
      "-s",
      "-f",
      "-b",
      "NAS_SID=" + setup->sid(),
      "http://127.0.0.1:" + std::to_string(setup->port()) +
          "/Orvane6/fetch.cache?" + setup->page_query()};
  std::vector<std::string> timed_fetch = fetch;
  timed_fetch.insert(timed_fetch.end(),
                     {"-o", "/dev/null", "-w", "%{time_total}"});
  const std::vector<std::string> hvcall{bin("hvcall"), "-o",
                                        "orv-" + setup->sid(), "fetch.cache",
                                        setup->page_body()};
  // Both answer the same full page.
  for (const auto& argv : {fetch, hvcall}) {
    RunResult result = setup->sandbox().run(argv);
    const size_t json = result.out.find('{');
    Json page = Json::adopt(
        json_loads(json == std::string::npos ? "" : result.out.c_str() + json,
                   0, nullptr));
    if (json_array_size(json_object_get(page.get(), "datas")) != kPage) {
      state.SkipWithError(("short page: " + result.out.substr(0, 200)).c_str());
      return;
    }
  }
  std::vector<double> http_times;
  std::vector<double> curl_times;
  std::vector<double> bus_times;
  for (auto _ : state) {
    double seconds = 0;
    std::string reported;
    if (timed_run(timed_fetch, &seconds, &reported) != 0) {
      state.SkipWithError("curl failed");
    }
    curl_times.push_back(seconds);
    http_times.push_back(std::atof(reported.c_str()));
    if (timed_run(hvcall, &seconds) != 0) state.SkipWithError("hvcall failed");
    bus_times.push_back(seconds);
  }
  const double http = median(http_times);
  const double bus = median(bus_times);
  state.counters["http_ms"] = http * 1000;
  state.counters["hvcall_ms"] = bus * 1000;
  state.counters["curl_run_ms"] = median(curl_times) * 1000;
  state.counters["ratio"] = bus > 0 ? http / bus : 0;
  setup.reset();
}
BENCHMARK(BM_FetchCachePageThroughWebServer)
    ->Iterations(40)
    ->Unit(benchmark::kMillisecond);

// curl's own time for a request (POST of `body` when it is not empty);
// negative when it failed or its reply has not `rows` entries.
double http_seconds(const Setup& setup, const std::string& location,
                    const std::string& body, size_t rows) {
  std::vector<std::string> argv{
      "/usr/bin/curl",  "-s", "-f", "-b", "NAS_SID=" + setup.sid(), "-w",
      "\n%{time_total}"};
  if (!body.empty()) argv.insert(argv.end(), {"-d", body});
  argv.push_back(setup.url(location));
  double run = 0;
  std::string out;
  if (timed_run(argv, &run, &out) != 0) return -1;
  const size_t end = out.rfind('\n');
  Json reply = Json::adopt(json_loadb(out.data(), end, 0, nullptr));
  if (json_array_size(json_object_get(reply.get(), "datas")) != rows) return -1;
  return std::atof(out.c_str() + end + 1);
}

void BM_OpenFolderThroughWebServer(benchmark::State& state) {
  auto setup = std::make_unique<Setup>();
  if (!setup->ready()) {
    state.SkipWithError("the sandbox did not come up");
    return;
  }
  RunResult made = setup->sandbox().run(
      {"/usr/bin/curl", "-s", "-b", "NAS_SID=" + setup->sid(), "-d",
       setup->folder_body(R"("index":2)"), setup->url("create.cache")});
  Json list = Json::adopt(json_loads(made.out.c_str(), 0, nullptr));
  const char* uuid = json_string_value(json_object_get(list.get(), "uuid"));
  if (uuid == nullptr) {
    state.SkipWithError(("no list: " + made.out).c_str());
    return;
  }
  const std::string page =
      "fetch.cache?index=2&offset=0&uuid=" + std::string(uuid) + "&limit=";
  std::vector<double> open_times;
  std::vector<double> same_rows_times;
  std::vector<double> page_times;
  for (auto _ : state) {
    open_times.push_back(http_seconds(*setup, "fetch.resource",
                                      setup->folder_body(R"("limit":2000)"),
                                      kFolderEntries));
    same_rows_times.push_back(http_seconds(
        *setup, page + std::to_string(kFolderEntries), "", kFolderEntries));
    page_times.push_back(http_seconds(*setup, page + "100", "", 100));
    if (open_times.back() < 0 || same_rows_times.back() < 0 ||
        page_times.back() < 0) {
      state.SkipWithError("a request failed");
      break;
    }
  }
  const double open = median(open_times) * 1000;
  const double same_rows = median(same_rows_times) * 1000;
  state.counters["open_ms"] = open;
  state.counters["page_of_300_ms"] = same_rows;
  state.counters["page_of_100_ms"] = median(page_times) * 1000;
  bench::Summary::get().add(
      "open a folder of 300 entries through the web server", "ms", open,
      same_rows, bench::RatioKind::kOursOverReference,
      "at most 1.25 (ref.: fetch.cache of its 300 rows)");
  setup.reset();
}
BENCHMARK(BM_OpenFolderThroughWebServer)
    ->Iterations(40)
    ->Unit(benchmark::kMillisecond);

// What one wrk run reports.
struct LoadRun {
  bool ok = false;
  double pages_per_second = 0;
  std::string report;
};

// kLoadClients clients asking for `url` for kLoadSeconds, each reply
// expected to be `expected` bytes long.
LoadRun run_wrk(const std::string& script, const std::string& sid,
                const std::string& url, size_t expected) {
  LoadRun run;
  double seconds = 0;
  timed_run(
      {kWrk, "-t", "2", "-c", std::to_string(kLoadClients), "-d",
       std::to_string(kLoadSeconds) + "s", "--timeout", "30s", "-s", script,
       "-H", "Cookie: NAS_SID=" + sid, url, "--", std::to_string(expected)},
      &seconds, &run.report);
  long pages = -1;
  long other = -1;
  long errors = -1;
  double duration = 0;
  const size_t line = run.report.find("pages ");
  if (line != std::string::npos &&
      std::sscanf(run.report.c_str() + line,
                  "pages %ld other %ld errors %ld seconds %lf", &pages, &other,
                  &errors, &duration) == 4) {
    run.ok = pages > 0 && other == 0 && errors == 0 && duration > 0;
    run.pages_per_second = run.ok ? pages / duration : 0;
  }
  return run;
}

void BM_PagesUnderLoad(benchmark::State& state) {
  if (access(kWrk, X_OK) != 0) {
    state.SkipWithError("wrk is missing: tools/install-deps installs it");
    return;
  }
  auto setup = std::make_unique<Setup>();
  if (!setup->ready()) {
    state.SkipWithError("the sandbox did not come up");
    return;
  }
  Sandbox& sandbox = setup->sandbox();
  const std::string page = setup->url(
      "fetch.cache?index=1&offset=0&limit=" + std::to_string(kLoadPage) +
      "&uuid=" + setup->uuid());
  // The reference serves the page's reply as the gateway wrote it.
  RunResult fetched = sandbox.run(
      {"/usr/bin/curl", "-s", "-f", "-b", "NAS_SID=" + setup->sid(), page});
  Json reply = Json::adopt(json_loads(fetched.out.c_str(), 0, nullptr));
  if (json_array_size(json_object_get(reply.get(), "datas")) != kLoadPage) {
    state.SkipWithError(("no page: " + fetched.out.substr(0, 200)).c_str());
    return;
  }
  sandbox.write_file("fixed-reply", kJsonHeader + fetched.out);
  sandbox.write_file("load.lua", kWrkScript);
  const int fixed_port =
      start_web_server(sandbox, sandbox.path("web-fixed"), "fixed-reply-cgi");
  if (fixed_port <= 0) {
    state.SkipWithError("the reference web server did not come up");
    return;
  }
  const std::string fixed =
      "http://127.0.0.1:" + std::to_string(fixed_port) + "/Orvane6/fetch.cache";
  const std::string script = sandbox.path("load.lua");
  std::vector<double> ours;
  std::vector<double> reference;
  for (auto _ : state) {
    const LoadRun page_run =
        run_wrk(script, setup->sid(), page, fetched.out.size());
    // The handlers of the last requests end before the reference starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const LoadRun fixed_run =
        run_wrk(script, setup->sid(), fixed, fetched.out.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (!page_run.ok || !fixed_run.ok) {
      state.SkipWithError(
          ("wrk: " + page_run.report + fixed_run.report).c_str());
      break;
    }
    ours.push_back(page_run.pages_per_second);
    reference.push_back(fixed_run.pages_per_second);
    bench::Summary::get().add(
        "fetch.cache pages of 100 rows through nginx, 32 clients", "pages/s",
        page_run.pages_per_second, fixed_run.pages_per_second,
        bench::RatioKind::kOursOverReference,
        "at least 0.50 (ref.: a trivial C CGI program)");
  }
  state.counters["pages_per_s"] = median(ours);
  state.counters["reference_per_s"] = median(reference);
  state.counters["ratio"] =
      median(reference) > 0 ? median(ours) / median(reference) : 0;
  setup.reset();
}
BENCHMARK(BM_PagesUnderLoad)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace orv::test

BENCHMARK_MAIN();
