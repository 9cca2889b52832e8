// The search daemon as another local account meets it: no session id to be
// read anywhere, inotify budgets charged to each session's user, and a
// bounded number of handler processes however many calls one user makes.
#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
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

// Up to 1 MiB of `path`, when this process may open it as a regular file or
// a /proc file; never waits on a FIFO or a device.
std::string read_some(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return "";
  std::string text;
  char chunk[65536];
  ssize_t got;
  while (text.size() < (1u << 20) &&
         (got = read(fd, chunk, sizeof(chunk))) > 0) {
    text.append(chunk, static_cast<size_t>(got));
  }
  close(fd);
  return text;
}

// Every place that shows `secret` to this process: names and contents of
// what it may read under `roots`, what every account may read of each
// process in /proc, and the kernel's tables of sockets and locks.
std::vector<std::string> places_showing(const std::string& secret,
                                        const std::vector<std::string>& roots) {
  std::vector<std::string> found;
  auto look = [&](const std::string& where, const std::string& text) {
    if (text.find(secret) != std::string::npos) found.push_back(where);
  };
  std::error_code error;
  for (const std::string& root : roots) {
    for (fs::recursive_directory_iterator
             it(root, fs::directory_options::skip_permission_denied, error),
         end;
         it != end; it.increment(error)) {
      const std::string path = it->path().string();
      look(path, it->path().filename().string());
      if (it->is_regular_file(error)) look(path, read_some(path));
    }
  }
  for (const auto& process : fs::directory_iterator("/proc", error)) {
    if (!std::isdigit(process.path().filename().string()[0])) continue;
    for (const char* file : {"cmdline", "environ", "comm", "status", "stat",
                             "maps", "mountinfo", "cgroup"}) {
      const std::string path = process.path().string() + "/" + file;
      look(path, read_some(path));
    }
    for (const auto& fd :
         fs::directory_iterator(process.path() / "fd", error)) {
      look(fd.path().string(), fs::read_symlink(fd.path(), error).string());
    }
  }
  for (const char* table : {"/proc/net/unix", "/proc/locks"}) {
    look(table, read_some(table));
  }
  return found;
}

// places_showing() as the account `uid`, in a child process of that
// identity alone.
std::vector<std::string> places_showing_to(
    uid_t uid, const std::string& secret,
    const std::vector<std::string>& roots) {
  int ends[2];
  if (pipe(ends) != 0) return {"pipe failed"};
  const pid_t child = fork();
  if (child == 0) {
    close(ends[0]);
    if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
        setresuid(uid, uid, uid) != 0) {
      _exit(1);
    }
    std::string report;
    for (const std::string& place : places_showing(secret, roots)) {
      report += place + "\n";
    }
    const ssize_t ignored = write(ends[1], report.data(), report.size());
    (void)ignored;
    _exit(0);
  }
  close(ends[1]);
  std::string report;
  char chunk[4096];
  ssize_t got;
  while ((got = read(ends[0], chunk, sizeof(chunk))) > 0) {
    report.append(chunk, static_cast<size_t>(got));
  }
  close(ends[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {"scan failed"};
  std::vector<std::string> places;
  for (size_t at = 0, end; (end = report.find('\n', at)) != std::string::npos;
       at = end + 1) {
    places.push_back(report.substr(at, end - at));
  }
  return places;
}

class AccountIsolationTest : public ServiceTest {
 protected:
  // Whether a process of the sandbox runs as "nobody": a handler.
  bool handler_alive() const {
    for (pid_t pid : processes_under(sandbox_.root())) {
      const std::string status =
          read_some("/proc/" + std::to_string(pid) + "/status");
      if (status.find("\nUid:\t65534\t") != std::string::npos) return true;
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

  const std::vector<std::string> roots = {sandbox_.root()};
  // The same search made by root finds the id (the session store holds it),
  // so a search that finds nothing has looked in the right places.
  EXPECT_FALSE(places_showing(sid, roots).empty());
  EXPECT_EQ(places_showing_to(kStranger, sid, roots),
            std::vector<std::string>());
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
