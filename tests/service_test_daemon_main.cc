// service-test-daemon: orv-service with extra endpoints that only tests use,
// so that tests can see what a handler process is and does:
//   "test.identity" answers the ids the handler process runs with and the
//                   parameter object it was given;
//   "test.linger"   logs its process id, arms the client watchdog and sleeps
//                   without answering, as a long search would;
//   "test.exec"     runs this program with --probe-root through hv_io_execv
//                   and answers what it printed;
//   "test.throw"    logs its process id and throws;
//   "test.crash"    crashes the handler process inside malloc;
//   "test.busy"     (on the daemon's worker pool) answers at once, then for
//                   "seconds" does the library work of a daemon thread in a
//                   loop: session queries, SQLite, account look-ups and ICU,
//                   each round under the fork gate;
//   "test.block"    (on the worker pool) answers at once and keeps the pool
//                   busy for "seconds" without any library work.
// With ORV_TEST_NO_ACCOUNT set, the session user's account is never found.
// With ORV_TEST_WALK_PAUSE and ORV_TEST_WALK_GATE set, a walk that is about
// to open the folder ORV_TEST_WALK_PAUSE logs "[test] walk paused" and waits
// until the file ORV_TEST_WALK_GATE exists.
// After the service has stopped, the daemon logs "[test] after stop: N
// watcher threads, M inotify descriptors", what is left of its watchers.
//
// `service-test-daemon --probe-root` prints "seteuid_root=R cap_prm=HEX":
// R is 1 when seteuid(0) succeeded, HEX the permitted capability set.
#include <grp.h>
#include <malloc.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/types.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "collect/walker.h"
#include "common/client_watchdog.h"
#include "common/error.h"
#include "common/fork_gate.h"
#include "common/json.h"
#include "common/log.h"
#include "common/reply.h"
#include "entry/entry.h"
#include "service/daemon.h"
#include "service/dispatch.h"
#include "session/session.h"
#include "watch/test_util.h"

namespace {

std::string g_self;  // this program's path, read while still root

void identity_handler(void*, hv_io_t* io, json_t* params, int fd) {
  orv::ErrorRecord error;
  orv::clear_error(&error);
  int count = getgroups(0, nullptr);
  std::vector<gid_t> groups(count > 0 ? count : 0);
  if (count > 0) getgroups(count, groups.data());
  orv::Json list = orv::Json::adopt(json_array());
  for (gid_t group : groups) {
    json_array_append_new(list.get(), json_integer(group));
  }
  uid_t ruid = 0, euid = 0, suid = 0;
  gid_t rgid = 0, egid = 0, sgid = 0;
  getresuid(&ruid, &euid, &suid);
  getresgid(&rgid, &egid, &sgid);
  orv::Json result = orv::Json::adopt(json_pack(
      "{s:i,s:i,s:i,s:i,s:i,s:i,s:O,s:O,s:i}", "uid", static_cast<int>(ruid),
      "euid", static_cast<int>(euid), "suid", static_cast<int>(suid), "gid",
      static_cast<int>(rgid), "egid", static_cast<int>(egid), "sgid",
      static_cast<int>(sgid), "groups", list.get(), "params", params, "pid",
      static_cast<int>(getpid())));
  orv::reply_json(io, fd, result.get(), error);
}

void linger_handler(void*, hv_io_t* io, json_t*, int) {
  orv::log_line(orv::LogKind::kError, "[test] linger pid %d",
                static_cast<int>(getpid()));
  orv::watch_client(io, 5);
  sleep(60);
}

void exec_handler(void*, hv_io_t* io, json_t*, int fd) {
  orv::ErrorRecord error;
  orv::clear_error(&error);
  hv_io_t* out = hv_io_create();
  std::string flag = "--probe-root";
  char* argv[] = {g_self.data(), flag.data(), nullptr};
  int status = hv_io_execv(nullptr, out, nullptr, argv);
  orv::Json result = orv::Json::adopt(
      json_pack("{s:i,s:s}", "status", status, "output", hv_io_read(out, 0)));
  hv_io_free(out);
  orv::reply_json(io, fd, result.get(), error);
}

void throw_handler(void*, hv_io_t*, json_t*, int) {
  orv::log_line(orv::LogKind::kError, "[test] throw pid %d",
                static_cast<int>(getpid()));
  throw std::runtime_error("test failure");
}

#if !defined(__SANITIZE_ADDRESS__)
ssize_t crash_on_write(void*, const char*, size_t) {
  raise(SIGSEGV);
  return -1;
}
#endif

void crash_handler(void*, hv_io_t*, json_t*, int) {
#if defined(__SANITIZE_ADDRESS__)
  raise(SIGSEGV);  // The sanitizer's malloc prints no statistics.
#else
  // malloc_stats prints while it holds its arena's lock: to a stream whose
  // writes crash, it crashes inside malloc.
  cookie_io_functions_t functions{nullptr, &crash_on_write, nullptr, nullptr};
  FILE* crashing = fopencookie(nullptr, "w", functions);
  setvbuf(crashing, nullptr, _IONBF, 0);
  stderr = crashing;
  malloc_stats();
#endif
}

// What one round of a daemon thread's library work touches.
void library_round() {
  orv::ForkGuard guard;
  orv::session().session_alive();
  sqlite3* db = nullptr;
  if (sqlite3_open(":memory:", &db) == SQLITE_OK) {
    sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES (1);", nullptr,
                 nullptr, nullptr);
  }
  sqlite3_close(db);
  char buffer[4096];
  struct passwd entry;
  struct passwd* found = nullptr;
  getpwnam_r("nobody", &entry, buffer, sizeof(buffer), &found);
  icu::UnicodeString text = icu::UnicodeString::fromUTF8("ÁRVÍZTŰRŐ");
  text.toLower();
}

double seconds_of(json_t* params) {
  return static_cast<double>(
      json_integer_value(json_object_get(params, "seconds")));
}

void busy_handler(void*, hv_io_t* io, json_t* params, int fd) {
  orv::ErrorRecord error;
  orv::clear_error(&error);
  auto end = std::chrono::steady_clock::now() +
             std::chrono::duration<double>(seconds_of(params));
  orv::reply_json(io, fd, nullptr, error);
  while (std::chrono::steady_clock::now() < end) library_round();
}

void block_handler(void*, hv_io_t* io, json_t* params, int fd) {
  orv::ErrorRecord error;
  orv::clear_error(&error);
  orv::reply_json(io, fd, nullptr, error);
  std::this_thread::sleep_for(
      std::chrono::duration<double>(seconds_of(params)));
}

// The walk's pause, in the handler process.
void pause_walk(const orv::Entry& item) {
  const char* pause = std::getenv("ORV_TEST_WALK_PAUSE");
  const char* gate = std::getenv("ORV_TEST_WALK_GATE");
  if (pause == nullptr || gate == nullptr || item.full_path() != pause) return;
  orv::log_line(orv::LogKind::kError, "[test] walk paused");
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (access(gate, F_OK) != 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// What is left of the folder watchers once the service has stopped.
void report_watchers() {
  orv::log_line(orv::LogKind::kError,
                "[test] after stop: %d watcher threads, %d inotify descriptors",
                orv::test::watcher_threads(), orv::test::inotify_descriptors());
}

bool no_account(uid_t, uid_t*, gid_t*, std::string* reason) {
  *reason = "no account in this test";
  return false;
}

// Whether this process can take root back, and what it may still do.
int probe_root() {
  std::string permitted = "?";
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    if (word == "CapPrm:") status >> permitted;
  }
  int regained = seteuid(0) == 0 ? 1 : 0;
  std::printf("seteuid_root=%d cap_prm=%s", regained, permitted.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--probe-root") == 0) {
    return probe_root();
  }
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  g_self.assign(self, length > 0 ? static_cast<size_t>(length) : 0);
  if (std::getenv("ORV_TEST_NO_ACCOUNT") != nullptr) {
    orv::Session::set_account_lookup(&no_account);
  }
  const orv::Endpoint extra[] = {
      {"test.identity", &identity_handler, &orv::run_in_child, "ids\n"},
      {"test.linger", &linger_handler, &orv::run_in_child, "linger\n"},
      {"test.exec", &exec_handler, &orv::run_in_child, "exec\n"},
      {"test.throw", &throw_handler, &orv::run_in_child, "throw\n"},
      {"test.crash", &crash_handler, &orv::run_in_child, "crash\n"},
      {"test.busy", &busy_handler, &orv::run_in_pool, "busy\n"},
      {"test.block", &block_handler, &orv::run_in_pool, "block\n"},
  };
  orv::set_walk_folder_hook(&pause_walk);
  const int status = orv::service_main(argc, argv, extra);
  report_watchers();
  return status;
}
