// tovix-session: manages the login session store from the shell.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/platform/ini.h"
#include "common/platform/session_store.h"
#include "common/platform/tovix.h"

namespace {

constexpr int kUsageError = 64;
// Longer than any login should last, and far from overflowing a time_t.
constexpr long long kMaxTtl = 100LL * 366 * 24 * 3600;

const char kUsage[] =
    "usage: tovix-session new USER [--ttl SECONDS]\n"
    "       tovix-session end SID\n"
    "       tovix-session check SID\n"
    "       tovix-session list\n"
    "\n"
    "Manages the login sessions in $ORV_ROOT/var/run/sessions.\n"
    "  new    makes a session of USER (who must have an account), expiring\n"
    "         after SECONDS (never when absent or 0), and prints its id\n"
    "  end    removes the session\n"
    "  check  exits 0 when the session is live, 1 when it is not\n"
    "  list   prints one line per stored session, sorted by id:\n"
    "           SID USER EXPIRE STATE\n"
    "         EXPIRE is epoch seconds (0: never), USER is \"-\" when the\n"
    "         file names none, STATE is live, expired, no-account or invalid\n"
    "Exit status: 0 done, 1 failed or not live, 64 usage error.\n";

int usage() {
  std::fputs(kUsage, stderr);
  return kUsageError;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "tovix-session: %s\n", message.c_str());
  return 1;
}

// Reads SECONDS of --ttl: digits only, within kMaxTtl.
bool parse_ttl(const char* text, long long* ttl) {
  if (text == nullptr || *text == '\0') return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  long long value = 0;
  if (!orv::platform::leading_integer(text, &value) || value > kMaxTtl) {
    return false;
  }
  *ttl = value;
  return true;
}

int run_new(const std::vector<const char*>& args) {
  const char* user = nullptr;
  long long ttl = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    if (std::strcmp(args[i], "--ttl") == 0) {
      if (i + 1 >= args.size() || !parse_ttl(args[i + 1], &ttl)) {
        return usage();
      }
      ++i;
    } else if (std::strncmp(args[i], "--ttl=", 6) == 0) {
      if (!parse_ttl(args[i] + 6, &ttl)) return usage();
    } else if (user == nullptr && args[i][0] != '-') {
      user = args[i];
    } else {
      return usage();
    }
  }
  if (user == nullptr) return usage();
  std::string sid;
  std::string error;
  if (!orv::platform::create_session(user, ttl, &sid, &error)) {
    return fail(error);
  }
  std::printf("%s\n", sid.c_str());
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int run_end(const char* sid) {
  std::string error;
  if (!orv::platform::end_session(sid, &error)) return fail(error);
  return 0;
}

int run_check(const char* sid) {
  if (!orv::platform::valid_session_id(sid)) {
    return fail("invalid session id");
  }
  tovix_session_t record;
  return auth_get_session_ex(sid, 1, &record) == 0 ? 0 : 1;
}

int run_list() {
  std::vector<orv::platform::StoredSession> sessions;
  std::string error;
  if (!orv::platform::list_sessions(std::time(nullptr), &sessions, &error)) {
    return fail(error);
  }
  for (const auto& session : sessions) {
    std::printf("%s %s %lld %s\n", session.sid.c_str(),
                session.user.empty() ? "-" : session.user.c_str(),
                session.expire, orv::platform::state_name(session.state));
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::vector<const char*> args(argv + 2, argv + argc);
  if (command == "new") return run_new(args);
  if (command == "list" && args.empty()) return run_list();
  if (args.size() != 1) return usage();
  if (command == "end") return run_end(args[0]);
  if (command == "check") return run_check(args[0]);
  return usage();
}
