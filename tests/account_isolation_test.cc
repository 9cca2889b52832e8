// The search daemon as another local account meets it: no session id to be
// read anywhere, inotify budgets charged to each session's user, and a
// bounded number of handler processes however many calls one user makes.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/bus/hvservice.h"
#include "tests/gateway_fixture.h"
#include "tests/private_mount.h"
#include "tests/service_fixture.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr uid_t kStranger = 5001;  // an account of its own, with no session
constexpr size_t kMaxHandlers = 64;

// The places where `uid` (-1: this process's own account) sees `secret`:
// names and contents of what it may read under `root`, what every account
// may read of each process in /proc, and the kernel's tables of sockets and
// locks; one per line.
std::string places_showing(const Sandbox& sandbox, int uid,
                           const std::string& secret) {
  RunOptions as;
  as.uid = uid;
  as.gid = uid;
  // The secret comes on standard input, so that no command line of the
  // search shows it while /proc is searched.
  as.input = secret + "\n";
  const std::string script =
      "read -r s\n"
      "find \"$1\" -name \"*$s*\" 2>/dev/null\n"
      "printf '%s\\n' \"$s\" | grep -rlsF -D skip -f - \"$1\"\n"
      "printf '%s\\n' \"$s\" | grep -lsF -D skip -f - /proc/net/unix "
      "/proc/locks /proc/[0-9]*/cmdline /proc/[0-9]*/environ "
      "/proc/[0-9]*/status /proc/[0-9]*/maps\n"
      "for fd in /proc/[0-9]*/fd/*; do\n"
      "  case $(readlink \"$fd\" 2>/dev/null) in *\"$s\"*) echo \"$fd\";; "
      "esac\n"
      "done\n"
      "exit 0\n";
  RunResult result =
      sandbox.run({"/bin/sh", "-c", script, "scan", sandbox.root()}, as);
  EXPECT_EQ(result.status, 0) << result.err;
  return result.out;
}

class AccountIsolationTest : public ServiceTest {
 protected:
  // Whether a process of the sandbox runs as "nobody": a handler.
  bool handler_alive() const {
    for (pid_t pid : processes_under(sandbox_.root())) {
      struct stat st {};
      const std::string proc = "/proc/" + std::to_string(pid);
      if (stat(proc.c_str(), &st) == 0 && st.st_uid == 65534) return true;
    }
    return false;
  }

  // A default volume with folder `name` holding `folders` sub-folders of a
  // file each: a list of it has `folders` + 1 folders.
  std::string volume_with(const std::string& name, int folders) {
    const std::string volume = sandbox_.path("volume");
    sandbox_.write_file("etc/config/def_share.info",
                        "[SHARE_DEF]\ndefVolMP = " + volume + "\n");
    for (int i = 0; i < folders; ++i) {
      sandbox_.write_file("volume/" + name + "/" + std::to_string(i) + "/f",
                          "");
    }
    return volume + "/" + name;
  }

  static std::string search(const std::string& folder) {
    return R"({"index":1,"recursive":true,"path":[{"full_path":")" + folder +
           R"(","alias":"/s"}]})";
  }

  // Whether pages of the list in slot 1 of `sid` report "changed" within a
  // few seconds.
  bool becomes_changed(const std::string& sid, const std::string& uuid) {
    return wait_until(
        [&] {
          Json page =
              call(sid, "fetch.cache", R"({"index":1,"uuid":")" + uuid + "\"}");
          return json_is_true(json_object_get(page.get(), "changed"));
        },
        milliseconds(5000));
  }
};

TEST_F(AccountIsolationTest, NoSessionIdIsVisibleToAnotherAccount) {
  SandboxReaper reaper(sandbox_);
  const std::string share = volume_with("share", 2);
  // The package's daemon is the test daemon, which can hold a handler.
  sandbox_.write_file("etc/config/tpkg.conf", "[Orvane6]\nInstall_Path = " +
                                                  sandbox_.path("pkg") + "\n");
  sandbox_.make_dir("pkg/usr/sbin");
  fs::create_symlink(bin("service-test-daemon"),
                     sandbox_.path("pkg/usr/sbin/orv-service"));
  const std::string sid = sandbox_.new_session("nobody");
  std::map<std::string, std::string> vars = {
      {"HTTP_COOKIE", "NAS_SID=" + sid},
      {"REQUEST_SCHEME", "http"},
      {"REQUEST_METHOD", "POST"},
      {"SCRIPT_URL", "/Orvane6/create.cache"},
      {"REMOTE_ADDR", "127.0.0.1"}};
  // The gateway starts the daemon; the list leaves a slot file behind.
  RunResult made = run_gateway(sandbox_, vars, {}, search(share));
  ASSERT_NE(made.out.find("\"error_code\":0"), std::string::npos) << made.out;
  // A handler alive while the other account looks.
  vars["SCRIPT_URL"] = "/Orvane6/test.linger";
  RunOptions linger;
  linger.env = vars;
  sandbox_.start({bin("orv-gateway")}, linger);
  ASSERT_TRUE(wait_until([&] { return handler_alive(); }, milliseconds(10000)));

  // Root finds the id (the session store holds it), so a search that finds
  // nothing has looked in the right places.
  EXPECT_NE(places_showing(sandbox_, -1, sid), "");
  EXPECT_EQ(places_showing(sandbox_, kStranger, sid), "");
}

// Two users with two inotify instances each: the first user's two sessions
// ask for four, its second session gets none; the second user's session
// still watches. Each user's watches are bounded too.
TEST_F(AccountIsolationTest, OneUserAtTheInotifyLimitLeavesOtherUsersWatching) {
  if (!inside_private_namespace(sandbox_, {{"max_inotify_instances", "2"},
                                           {"max_inotify_watches", "24"}})) {
    return;
  }
  const std::string wide = volume_with("wide", 30);
  const std::string narrow = volume_with("narrow", 2);
  struct Daemon {
    const char* user;
    std::string folder;
    bool changed_at_once;  // when its list cannot be wholly watched
    std::string sid;
    std::string uuid;
    Process* process;
  };
  Daemon daemons[] = {
      {"nobody", wide, true, "", "", nullptr},  // more folders than its watches
      {"nobody", narrow, true, "", "", nullptr},   // the user's instances spent
      {"daemon", narrow, false, "", "", nullptr},  // another user: as ever
  };
  for (Daemon& d : daemons) {
    d.sid = sandbox_.new_session(d.user);
    Process& process = start(d.sid, {"-l", "7"});
    d.process = &process;
    ASSERT_TRUE(serving(d.sid)) << process.err();
    // Answered once the watchers have started: the next daemon of the user
    // finds the user's instances spent.
    ASSERT_EQ(sandbox_.hvcall({"orv-" + d.sid, "help"}).status, HV_OK);
  }
  for (Daemon& d : daemons) {
    SCOPED_TRACE(std::string(d.user) + " " + d.folder);
    Json made = call(d.sid, "create.cache", search(d.folder));
    d.uuid = text_of(made, "uuid");
    ASSERT_FALSE(d.uuid.empty()) << json_text(made.get());
    EXPECT_EQ(becomes_changed(d.sid, d.uuid), d.changed_at_once)
        << d.process->err();
  }
  // The other user's list reports a change as it happens.
  sandbox_.write_file("volume/narrow/0/new.txt", "");
  EXPECT_TRUE(becomes_changed(daemons[2].sid, daemons[2].uuid));
}

TEST_F(AccountIsolationTest, HandlersAreCappedAndAnEndedOneFreesItsPlace) {
  const std::string sid = sandbox_.new_session("nobody");
  Process& daemon = start(sid, {}, {}, "service-test-daemon");
  ASSERT_TRUE(serving(sid)) << daemon.err();
  // One user's flood of calls that are never answered.
  std::vector<Process*> callers;
  for (size_t i = 0; i < kMaxHandlers + 8; ++i) {
    callers.push_back(&sandbox_.start(
        {bin("hvcall"), "-t", "120", "orv-" + sid, "test.linger", "{}"}));
  }
  size_t refused = 0;
  ASSERT_TRUE(wait_until(
      [&] {
        refused = 0;
        for (Process* caller : callers) {
          if (caller->wait(milliseconds(0)) == HV_UNAVAILABLE) ++refused;
        }
        return refused == 8;
      },
      milliseconds(30000)))
      << refused << " refused\n"
      << daemon.err();
  RunResult more = sandbox_.hvcall({"orv-" + sid, "test.identity", "{}"});
  EXPECT_EQ(more.status, HV_UNAVAILABLE);

  // A caller gives up: its handler ends (the client watchdog) and its place
  // serves the next call.
  for (Process* caller : callers) {
    if (caller->running()) {
      caller->kill_group();
      break;
    }
  }
  EXPECT_TRUE(wait_until(
      [&] {
        return sandbox_.hvcall({"orv-" + sid, "test.identity", "{}"}).status ==
               HV_OK;
      },
      milliseconds(15000)));
}

}  // namespace
}  // namespace orv::test
