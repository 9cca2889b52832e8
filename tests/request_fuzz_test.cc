// The request fuzzer: mutated requests spread over every endpoint of a real
// orv-service and a real vimbrel, up to 16 in flight. Each daemon must stay
// up and answer every request with a JSON object that carries its error
// members; orv-service must leave no handler process behind and nothing but
// slot files in its cache folder.
//
// ORV_REQUEST_FUZZ_COUNT sets the number of requests (2,000 by default; make
// fuzz sends 100,000), ORV_REQUEST_FUZZ_SEED the seed (a fresh one each run
// by default). A failure names the seed and the request's number, which make
// the same request again.
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/bus/hvservice.h"
#include "tests/request_mutator.h"
#include "tests/search_fixture.h"
#include "tests/vimbrel_fixture.h"

namespace orv::test {
namespace {

using std::chrono::milliseconds;

constexpr int kInFlight = 16;

int request_count() {
  const char* count = std::getenv("ORV_REQUEST_FUZZ_COUNT");
  return count != nullptr ? std::atoi(count) : 2000;
}

uint64_t request_seed() {
  const char* seed = std::getenv("ORV_REQUEST_FUZZ_SEED");
  return seed != nullptr ? std::strtoull(seed, nullptr, 10)
                         : std::random_device()();
}

// One endpoint and a valid request of it.
struct Endpoint {
  std::string method;
  std::string body;
};

// What is wrong with the answer to a request of `method`: "" when nothing.
using Judge = std::function<std::string(const std::string& method, int result,
                                        const std::string& reply)>;

// The members a reply must carry: an integer `code` member and a text
// `message` member, and no others when the code is not 0.
std::string error_members_fault(const std::string& reply, const char* code,
                                const char* message) {
  Json object = Json::adopt(
      json_loadb(reply.data(), reply.size(), JSON_ALLOW_NUL, nullptr));
  if (!json_is_object(object.get())) return "reply is no JSON object";
  const json_t* value = json_object_get(object.get(), code);
  if (!json_is_integer(value)) return std::string("no integer ") + code;
  if (!json_is_string(json_object_get(object.get(), message))) {
    return std::string("no text ") + message;
  }
  if (json_integer_value(value) != 0 && json_object_size(object.get()) != 2) {
    return "an error reply with other members";
  }
  return "";
}

// Sends `count` mutated requests of `endpoints`, taken in turn, to
// `service`, `kInFlight` at a time; the faults found, each naming its
// request.
std::vector<std::string> fuzz(const std::string& service,
                              const std::vector<Endpoint>& endpoints,
                              const std::vector<std::string>& paths, int count,
                              uint64_t seed, const Judge& judge) {
  std::vector<Json> bases;
  for (const Endpoint& endpoint : endpoints) {
    bases.push_back(Json::adopt(json_loads(endpoint.body.c_str(), 0, nullptr)));
  }
  std::atomic<int> next{0};
  std::mutex faults_mutex;
  std::vector<std::string> faults;
  auto work = [&] {
    for (int i = next++; i < count; i = next++) {
      const size_t e = static_cast<size_t>(i) % endpoints.size();
      RequestMutator mutator(seed + static_cast<uint64_t>(i), paths);
      MutatedRequest request =
          mutator.mutate(endpoints[e].method, bases[e].get());
      hv_io_t* io = hv_io_create();
      hv_io_write(io, request.body.data(), request.body.size());
      int result =
          hv_call(service.c_str(), request.method.c_str(), io, 120, -1);
      std::string reply(hv_io_read(io, 0), hv_io_size(io));
      hv_io_free(io);
      std::string fault = judge(endpoints[e].method, result, reply);
      if (fault.empty()) continue;
      std::lock_guard<std::mutex> lock(faults_mutex);
      faults.push_back("request " + std::to_string(i) + " of seed " +
                       std::to_string(seed) + ": " +
                       request.method.substr(0, 200) + " " +
                       request.body.substr(0, 300) + ": " + fault + ": " +
                       reply.substr(0, 300));
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kInFlight; ++t) threads.emplace_back(work);
  for (std::thread& thread : threads) thread.join();
  return faults;
}

void expect_no_faults(const std::vector<std::string>& faults) {
  EXPECT_TRUE(faults.empty())
      << faults.size() << " faults, the first: " << faults.front();
  for (size_t i = 1; i < faults.size() && i < 5; ++i)
    ADD_FAILURE() << faults[i];
}

// Reaps the ended children other than `keep` while it lives, as init would
// for the handler processes of a daemon that were adopted by this process:
// over many thousands of requests their zombies would use up the process
// ids, and the daemon could fork no more.
class Reaper {
 public:
  explicit Reaper(pid_t keep)
      : thread_([this, keep] {
          while (!stop_.load()) {
            for (pid_t pid : children_except(keep)) {
              waitpid(pid, nullptr, WNOHANG);
            }
            std::this_thread::sleep_for(milliseconds(100));
          }
        }) {}
  ~Reaper() {
    stop_ = true;
    thread_.join();
  }
  Reaper(const Reaper&) = delete;
  Reaper& operator=(const Reaper&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class ServiceRequestFuzzTest : public SearchTest {
 protected:
  void SetUp() override {
    // Relative paths in requests name folders of the daemon's working
    // folder: an empty one.
    sandbox_.make_dir("cwd");
    cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(sandbox_.path("cwd"));
    SearchTest::SetUp();
    share_ = sandbox_.path("share");
    for (const char* file :
         {"a.txt", "b.mkv", "c.JPG", ".hidden", "sub/d.mp3", "sub/deep/e.pdf",
          "sub/deep/\xc3(bad\xff.txt", "@Recycle/f",
          "long-name-"
          "01234567890123456789012345678901234567890123456789.doc"}) {
      sandbox_.write_file(std::string("share/") + file, "x");
    }
  }
  void TearDown() override { std::filesystem::current_path(cwd_); }

  std::filesystem::path cwd_;
  std::string share_;
};

TEST_F(ServiceRequestFuzzTest, DaemonSurvivesMutatedRequests) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's allocator has no fork handlers: a handler forked while
  // a daemon thread allocates (serving the watch requests that every
  // create.cache makes) can hang on its locks, over thousands of forks all
  // but certainly. The parsers behind these endpoints are fuzzed under the
  // sanitizers by the fuzz targets.
  GTEST_SKIP() << "AddressSanitizer's allocator does not survive such forks";
#endif
  Subreaper subreaper;
  const std::string path = R"("path":[{"full_path":")" + share_ +
                           R"(","alias":"/s"},{"full_path":")" + share_ +
                           R"(/sub","alias":""}])";
  const std::string search =
      path + R"(,"limit":50,"offset":0,"recursive":true,"sort":"name:asc",)"
             R"("cluster":"type","name":"*","type":"file","date":[">=0"],)"
             R"("size":"<1G","owner":"nobody","group":"nogroup","hidden":true,)"
             R"("lang":"ENG","reach_time":5)";
  Json made = call("create.cache", "{" + path + ",\"index\":1}");
  const std::string uuid = text_of(made, "uuid");
  const std::vector<Endpoint> endpoints = {
      {"fetch.resource", "{" + search + "}"},
      {"create.cache", "{" + search + ",\"index\":1}"},
      {"create.cache", "{" + path + ",\"index\":2}"},
      {"fetch.cache",
       R"({"index":1,"limit":50,"offset":0,"uuid":")" + uuid + "\"}"},
      {"delete.cache", R"({"index":2,"uuid":")" + uuid + "\"}"},
      {"watch", R"({"index":1,"uuid":")" + uuid + "\"}"},
  };
  const std::vector<std::string> paths = {
      share_, share_ + "/sub", share_ + "/a.txt", share_ + "/none", volume_};
  const uint64_t seed = request_seed();
  RecordProperty("seed", std::to_string(seed));
  std::optional<Reaper> reaper(daemon_->pid());
  expect_no_faults(
      fuzz("orv-" + sid_, endpoints, paths, request_count(), seed,
           [](const std::string&, int result, const std::string& reply) {
             if (result != HV_OK) return "bus result " + std::to_string(result);
             return error_members_fault(reply, "error_code", "error_message");
           }));
  reaper.reset();

  EXPECT_TRUE(daemon_->running()) << daemon_->err();
  EXPECT_TRUE(wait_until([&] { return none_left_but(daemon_->pid()); },
                         milliseconds(60000)))
      << children_except(daemon_->pid()).size() << " processes left";
  for (const auto& file :
       std::filesystem::directory_iterator(volume_ + "/.orv")) {
    const std::string name = file.path().filename();
    EXPECT_TRUE(name == sid_ + ".1" || name == sid_ + ".2" ||
                name == sid_ + ".1.lock" || name == sid_ + ".2.lock")
        << name;
  }
  Json again = call("create.cache", "{" + path + ",\"index\":1}");
  EXPECT_EQ(int_of(again, "total"), 8);
}

using VimbrelRequestFuzzTest = VimbrelTest;

TEST_F(VimbrelRequestFuzzTest, DaemonSurvivesMutatedRequests) {
  Process& daemon = start();
  const std::vector<Endpoint> endpoints = {
      {"version", "{}"},
      {"add",
       R"({"user":5001,"path":"/share/a","action":8,"ip":"10.0.0.1",)"
       R"("app":"files","client_id":"c","client_app":"a","client_agent":"g",)"
       R"("st_uid":1,"st_gid":2,"st_size":3,"st_mode":33188,"st_atime":4,)"
       R"("st_ctime":5,"st_mtime":6,"display_path":"/Public/a"})"},
      {"list", R"({"user":5001,"type":1})"},
      {"clear", R"({"user":5001,"type":1,"id":3,"path":"/share/a"})"},
  };
  const uint64_t seed = request_seed();
  RecordProperty("seed", std::to_string(seed));
  expect_no_faults(fuzz(
      "vimbrel", endpoints, {"/share/a", "/share/b"}, request_count(), seed,
      [](const std::string& method, int result, const std::string& reply) {
        if (result != HV_OK) return "bus result " + std::to_string(result);
        // An add or a clear that passes is answered before it is done, with
        // an empty body.
        if (reply.empty() && (method == "add" || method == "clear")) {
          return std::string();
        }
        return error_members_fault(reply, "error", "cause");
      }));
  EXPECT_TRUE(daemon.running()) << daemon.err();
  EXPECT_EQ(call("version", "{}"),
            R"({"version":"1.0.0","error":0,"cause":""})");
}

}  // namespace
}  // namespace orv::test
