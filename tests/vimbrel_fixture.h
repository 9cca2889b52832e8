// The fixture of the vimbrel process tests: a sandbox with a small account
// database of its own (nss_wrapper, homes inside the sandbox), the daemon
// started in it as root, calls through hvcall (or, for many calls, straight
// through the bus library), and reads of the users' databases.
#ifndef ORV_TESTS_VIMBREL_FIXTURE_H_
#define ORV_TESTS_VIMBREL_FIXTURE_H_

#include <gtest/gtest.h>
#include <jansson.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/bus/hvservice.h"
#include "common/json.h"
#include "tests/sandbox.h"

namespace orv::test {

class VimbrelTest : public ::testing::Test {
 protected:
  // Accounts of the sandbox's database: six with homes, one whose home is
  // missing, one whose home is a file; kNoAccount has none.
  static constexpr int kAlice = 5001;
  static constexpr int kBob = 5002;
  static constexpr int kCarol = 5003;
  static constexpr int kNoHome = 5004;
  static constexpr int kFileHome = 5005;
  static constexpr int kDave = 5007;
  static constexpr int kErin = 5008;
  static constexpr int kFrank = 5009;
  static constexpr int kNoAccount = 5999;

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "vimbrel works as root";
    std::string passwd;
    for (const auto& [name, uid] : {std::pair{"alice", kAlice},
                                    {"bob", kBob},
                                    {"carol", kCarol},
                                    {"nohome", kNoHome},
                                    {"filehome", kFileHome},
                                    {"dave", kDave},
                                    {"erin", kErin},
                                    {"frank", kFrank}}) {
      passwd += std::string(name) + ":x:" + std::to_string(uid) + ":" +
                std::to_string(uid) + "::" + home(uid) + ":/bin/sh\n";
    }
    sandbox_.write_file("nss/passwd", passwd);
    sandbox_.write_file("nss/group", "users:x:5001:\n");
    for (int uid : {kAlice, kBob, kCarol, kDave, kErin, kFrank}) {
      sandbox_.make_dir(home_name(uid), 0700);
      ASSERT_EQ(chown(home(uid).c_str(), uid, uid), 0);
    }
    sandbox_.write_file(home_name(kFileHome), "not a folder");
  }

  // The home folder of `uid` (its name under the root, its path) and its
  // database.
  static std::string home_name(int uid) {
    return "home/" + std::to_string(uid);
  }
  std::string home(int uid) const { return sandbox_.path(home_name(uid)); }
  std::string db(int uid) const { return home(uid) + "/.recent"; }

  // The daemon's environment: the sandbox's accounts, the time zone `tz`.
  RunOptions daemon_options(const std::string& tz = "UTC0") const {
    RunOptions options;
    options.env["LD_PRELOAD"] = "libnss_wrapper.so";
    options.env["NSS_WRAPPER_PASSWD"] = sandbox_.path("nss/passwd");
    options.env["NSS_WRAPPER_GROUP"] = sandbox_.path("nss/group");
    options.env["TZ"] = tz;
    // A sanitizer runtime would refuse a library preloaded before it.
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.env["ASAN_OPTIONS"] =
        std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
    return options;
  }

  // Starts `program` (vimbrel or vimbrel-test-daemon) and waits until it
  // serves.
  Process& start(const std::string& program = "vimbrel",
                 const std::string& tz = "UTC0") {
    Process& daemon = sandbox_.start({bin(program)}, daemon_options(tz));
    EXPECT_TRUE(daemon.wait_for_err("[INFO] [database] startup",
                                    std::chrono::milliseconds(5000)))
        << daemon.err();
    return daemon;
  }

  // Calls `method` through hvcall; the reply body.
  std::string call(const std::string& method, const std::string& body) {
    RunResult result = sandbox_.hvcall({"vimbrel", method, body});
    EXPECT_EQ(result.status, 0) << method << " " << body << ": " << result.err;
    return result.out;
  }
  Json call_json(const std::string& method, const std::string& body) {
    std::string out = call(method, body);
    Json reply = Json::adopt(
        json_loadb(out.data(), out.size(), JSON_ALLOW_NUL, nullptr));
    EXPECT_TRUE(json_is_object(reply.get()))
        << method << " " << body << ": " << out.substr(0, 500);
    return reply;
  }

  // Calls `method` through the bus library in this process, waiting at
  // most `seconds`; the result (HV_OK ...) and the reply body in `out`.
  static int post(const std::string& method, const std::string& body,
                  std::string* out = nullptr, int seconds = 60) {
    hv_io_t* io = hv_io_create();
    hv_io_write(io, body.data(), body.size());
    int result = hv_call("vimbrel", method.c_str(), io, seconds, -1);
    if (out != nullptr) out->assign(hv_io_read(io, 0), hv_io_size(io));
    hv_io_free(io);
    return result;
  }
  static std::string add_body(int uid, const std::string& path,
                              int action = 8) {
    return "{\"user\":" + std::to_string(uid) + ",\"path\":\"" + path +
           "\",\"action\":" + std::to_string(action) + "}";
  }

  // The rows `sql` gives on `uid`'s database, each row's cells joined with
  // "|"; empty when the file cannot be read.
  std::vector<std::string> query(int uid, const std::string& sql) const {
    std::vector<std::string> rows;
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(db(uid).c_str(), &handle, SQLITE_OPEN_READONLY,
                        nullptr) == SQLITE_OK) {
      sqlite3_busy_timeout(handle, 5000);
      sqlite3_stmt* statement = nullptr;
      sqlite3_prepare_v2(handle, sql.c_str(), -1, &statement, nullptr);
      while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
        std::string row;
        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
          const unsigned char* text = sqlite3_column_text(statement, i);
          row += (i > 0 ? "|" : "") +
                 std::string(text ? reinterpret_cast<const char*>(text) : "");
        }
        rows.push_back(row);
      }
      sqlite3_finalize(statement);
    }
    sqlite3_close(handle);
    return rows;
  }

  // Waits at most `limit` until `sql` on `uid`'s database gives `expected`.
  bool wait_rows(int uid, const std::string& sql,
                 const std::vector<std::string>& expected,
                 std::chrono::milliseconds limit =
                     std::chrono::milliseconds(10000)) const {
    return wait_until([&] { return query(uid, sql) == expected; }, limit);
  }

  static size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + 1)) {
      ++count;
    }
    return count;
  }

  Sandbox sandbox_;
};

}  // namespace orv::test

#endif  // ORV_TESTS_VIMBREL_FIXTURE_H_
