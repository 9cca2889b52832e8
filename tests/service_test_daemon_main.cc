// service-test-daemon: orv-service with extra endpoints that only tests use,
// so that tests can see what a handler process is and does:
//   "test.identity" answers the ids the handler process runs with and the
//                   parameter object it was given;
//   "test.linger"   logs its process id, arms the client watchdog and sleeps
//                   without answering, as a long search would.
// With ORV_TEST_NO_ACCOUNT set, the session user's account is never found.
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/client_watchdog.h"
#include "common/error.h"
#include "common/json.h"
#include "common/log.h"
#include "common/reply.h"
#include "service/daemon.h"
#include "service/dispatch.h"
#include "service/session.h"

namespace {

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
  orv::Json result = orv::Json::adopt(json_pack(
      "{s:i,s:i,s:i,s:i,s:O,s:O,s:i}", "uid", static_cast<int>(getuid()),
      "euid", static_cast<int>(geteuid()), "gid", static_cast<int>(getgid()),
      "egid", static_cast<int>(getegid()), "groups", list.get(), "params",
      params, "pid", static_cast<int>(getpid())));
  orv::reply_json(io, fd, result.get(), error);
}

void linger_handler(void*, hv_io_t* io, json_t*, int) {
  orv::log_line(orv::LogKind::kError, "[test] linger pid %d",
                static_cast<int>(getpid()));
  orv::watch_client(io, 5);
  sleep(60);
}

bool no_account(uid_t, uid_t*, gid_t*, std::string* reason) {
  *reason = "no account in this test";
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("ORV_TEST_NO_ACCOUNT") != nullptr) {
    orv::Session::set_account_lookup(&no_account);
  }
  const orv::Endpoint extra[] = {
      {"test.identity", &identity_handler, &orv::run_in_child, "ids\n"},
      {"test.linger", &linger_handler, &orv::run_in_child, "linger\n"},
  };
  return orv::service_main(argc, argv, extra);
}
