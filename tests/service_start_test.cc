// orv-service start-up, options, pid file, usage texts and shut-down, run as
// the real program in a sandbox.
#include <signal.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/service_fixture.h"

namespace orv::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

using ServiceStartTest = ServiceTest;

std::string pid_file(const std::string& sid) {
  return "var/run/orv/orv-" + sid + ".pid";
}

TEST_F(ServiceStartTest, WithoutSessionRefusesToStart) {
  RunResult plain = sandbox_.run({bin("orv-service")});
  EXPECT_EQ(plain.status, 1);
  EXPECT_NE(plain.err.find("[E] orv-service("), std::string::npos) << plain.err;
  EXPECT_NE(plain.err.find(" is not alive.\n"), std::string::npos) << plain.err;
  EXPECT_EQ(plain.err.find("startup service"), std::string::npos);

  // -l -3 silences every line, the refusal included.
  RunResult silent = sandbox_.run({bin("orv-service"), "-l", "-3"});
  EXPECT_EQ(silent.status, 1);
  EXPECT_EQ(silent.err, "");
}

TEST_F(ServiceStartTest, SessionIdsThePlatformRefusesNeverReachAPath) {
  const std::string refused[] = {
      "../../etc/passwd",   "..", "a/b", "abc def", "abc;rm", "%2e%2e",
      std::string(65, 'a'), "",
  };
  for (const std::string& sid : refused) {
    SCOPED_TRACE(sid);
    RunResult result = sandbox_.run({bin("orv-service"), "--sid", sid});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("is not alive"), std::string::npos);
  }
  RunResult listing = sandbox_.run({"/bin/ls", "-A", sandbox_.path("var/run")});
  EXPECT_EQ(listing.out, "") << "nothing may be created for a refused id";
}

TEST_F(ServiceStartTest, ClearEndsAtOnceWithoutServing) {
  std::string sid = sandbox_.new_session("nobody");
  ASSERT_FALSE(sid.empty());

  RunResult first = sandbox_.run({bin("orv-service"), "-c", "-s", sid});
  EXPECT_EQ(first.status, 0);
  // Options after -c are not read.
  EXPECT_EQ(first.err.find("be set"), std::string::npos) << first.err;

  RunResult after = sandbox_.run({bin("orv-service"), "--sid", sid, "--clear"});
  EXPECT_EQ(after.status, 0);
  EXPECT_NE(after.err.find("[session] " + sid + " be set.\n"),
            std::string::npos)
      << after.err;
  EXPECT_EQ(after.err.find("startup service"), std::string::npos);
  EXPECT_FALSE(sandbox_.exists(pid_file(sid)));
  EXPECT_FALSE(sandbox_.exists("var/run/hvbus/orv-" + sid));
}

TEST_F(ServiceStartTest, SecondDaemonOfTheSessionFindsTheFirst) {
  std::string sid = sandbox_.new_session("nobody");
  Process& first = start(sid);
  ASSERT_TRUE(serving(sid)) << first.err();
  ASSERT_TRUE(first.wait_for_err("startup service", milliseconds(2000)));
  EXPECT_EQ(sandbox_.read_file(pid_file(sid)), std::to_string(first.pid()));

  RunResult second = sandbox_.run({bin("orv-service"), "-s", sid});
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("[orv-" + sid + "] daemon is running (" +
                            std::to_string(first.pid()) + ").\n"),
            std::string::npos)
      << second.err;
  EXPECT_EQ(second.err.find("startup service"), std::string::npos);

  // The first one goes on serving and keeps its pid file.
  EXPECT_TRUE(first.running());
  Json reply = call(sid, "watch", R"({"index":1})");
  EXPECT_EQ(int_of(reply, "error_code"), 0);
  EXPECT_EQ(sandbox_.read_file(pid_file(sid)), std::to_string(first.pid()));
}

TEST_F(ServiceStartTest, UnresolvableSessionUserFailsClosed) {
  std::string sid = sandbox_.new_session("nobody");
  RunOptions options;
  options.env["ORV_TEST_NO_ACCOUNT"] = "1";
  RunResult result =
      sandbox_.run({bin("service-test-daemon"), "-s", sid}, options);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("[orv-" + sid + "] user of session " + sid +
                            " cannot be resolved"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.err.find("startup service"), std::string::npos);
  EXPECT_FALSE(sandbox_.exists(pid_file(sid)));
  EXPECT_FALSE(sandbox_.exists("var/run/hvbus/orv-" + sid));
}

TEST_F(ServiceStartTest, HelpShowsTheFiveUsageTexts) {
  std::string sid = sandbox_.new_session("nobody");
  start(sid);
  ASSERT_TRUE(serving(sid));
  RunResult result = sandbox_.hvcall({"orv-" + sid, "help"});
  ASSERT_EQ(result.status, 0) << result.err;
  Json help = Json::adopt(json_loads(result.out.c_str(), 0, nullptr));
  ASSERT_TRUE(json_is_object(help.get())) << result.out;
  EXPECT_EQ(json_object_size(help.get()), 5u);

  const std::string general =
      "\n\nUsage: [General]\n\n[General]:\n   orv-service.";
  const std::string cache_ref =
      "   uuid=(str)          cache uuid\n"
      "   index=(int)         cache index\n";
  const std::string page =
      "   limit=(int)         cache entries limit\n"
      "   offset=(int)        cache entries offset\n";
  std::string search = "   lang=(str)          sorting by language\n";
  for (const char* language :
       {"ENG (English)",  "SCH (简体中文)",   "TCH (繁體中文)",
        "CZE (Czech)",    "DAN (Dansk)",      "GER (Deutsch)",
        "SPA (Español)",  "FRE (Français)",   "ITA (Italiano)",
        "JPN (日本語)",   "KOR (한글)",       "NOR (Norsk)",
        "POL (Polski)",   "RUS (Русский)",    "FIN (Suomi)",
        "SWE (Svenska)",  "DUT (Nederlands)", "TUR (Turk dili)",
        "THA (ไทย)",      "HUN (Magyar)",     "POR (Português)",
        "GRK (Ελληνικά)", "ROM (Român)"}) {
    search += std::string(23, ' ') + language + "\n";
  }
  search +=
      "   path=(str/array)    folder path(s)\n"
      "   name=(str)          which name file/folder contians\n"
      "   type=(str)          string format as mime(:name)?, and avaiable mime "
      "types:\n"
      "                       music, video, photo, file, folder and extname\n"
      "                       only extname support name\n"
      "   date=(str[])        string format as [>|>=|==|<=|<][timestamp], ex: "
      "<=1310572800 (means <=2011/06/14)\n"
      "   size=(str)          string format as [>|>=|==|<=|<][size][K|M|G|T], "
      "ex: >=1024K (means >=1M)\n"
      "   owner=(str)         owner name\n"
      "   group=(str)         group name\n"
      "   index=(int)         cache index (1 or 2), default is 1\n"
      "   sort=(str)          string format as "
      "[name|date|type|size|owner|group|permission]:[asc|desc]\n"
      "   cluster=(str/bool)  string format as "
      "[name|date|type|size|owner|group|permission]:[asc|desc]\n"
      "                       if input is boolean value, do not perform "
      "clustering\n"
      "   reach_time=(int)    time of seconds to read resources (<=0 is "
      "infinite)\n"
      "   reach_limit=(int)   how many resources would be read (<=0 is "
      "infinite)\n"
      "   hidden=(bool)       hide name is startwith . (default true)\n"
      "   recursive=(bool)    read folder recursively (default false)\n";
  const std::pair<const char*, std::string> expected[] = {
      {"watch", "watch cached path" + general + "watch\n\n[Options]:\n" +
                    cache_ref + "\n"},
      {"fetch.cache", "fetch cached resources" + general +
                          "fetch.cache\n\n[Options]:\n" + cache_ref + page +
                          "\n"},
      {"delete.cache", "delete cached" + general +
                           "delete.cache\n\n[Options]:\n" + cache_ref + "\n"},
      {"create.cache", "create cache from fetched file and folder resources" +
                           general + "create.cache\n\n[Options]:\n" + search +
                           "\n"},
      {"fetch.resource", "fetche file and folder resources" + general +
                             "fetch.resource\n\n[Options]:\n" + search + page +
                             "\n"},
  };
  for (const auto& [method, text] : expected) {
    EXPECT_EQ(text_of(help, method), text) << method;
  }
}

TEST_F(ServiceStartTest, TermWhileIdleShutsDownInOrder) {
  std::string sid = sandbox_.new_session("nobody");
  Process& daemon = start(sid, {"-l", "7"});
  ASSERT_TRUE(serving(sid));
  call(sid, "watch", "{}");  // The worker hooks have run.
  ASSERT_TRUE(daemon.wait_for_err("worker start", milliseconds(2000)));
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait(milliseconds(5000)), 0) << daemon.err();
  std::string err = daemon.err();
  size_t stop = err.find("[orv-" + sid + "] worker stop");
  size_t shutdown = err.find("[I] orv-service(" + std::to_string(daemon.pid()) +
                             "): [orv-" + sid + "] shutdown service\n");
  ASSERT_NE(stop, std::string::npos) << err;
  ASSERT_NE(shutdown, std::string::npos) << err;
  EXPECT_LT(stop, shutdown);
  EXPECT_FALSE(sandbox_.exists(pid_file(sid)));
  EXPECT_FALSE(sandbox_.exists("var/run/hvbus/orv-" + sid));
  EXPECT_FALSE(sandbox_.exists("var/run/hvbus/.orv-" + sid + ".lock"));
  // The name is free again for a new daemon of the session.
  Process& next = start(sid);
  EXPECT_TRUE(serving(sid)) << next.err();
}

TEST_F(ServiceStartTest, TopLevelTracesAndCrashBacktrace) {
  // -l 20 becomes level 8: handler processes trace their groups, and a
  // crash logs a backtrace and ends with status 1.
  std::string sid = sandbox_.new_session("nobody");
  Process& traced = start(sid, {"-l", "20"});
  ASSERT_TRUE(serving(sid));
  call(sid, "fetch.cache", "{}");
  EXPECT_TRUE(traced.wait_for_err("[T] orv-service(", milliseconds(3000)));
  EXPECT_NE(traced.err().find("(session:97) seteuser() [session] gid = "),
            std::string::npos)
      << traced.err();
  traced.signal(SIGSEGV);
  EXPECT_EQ(traced.wait(milliseconds(5000)), 1);
  std::string err = traced.err();
  std::string pid = std::to_string(traced.pid());
  EXPECT_NE(err.find("[F] orv-service(" + pid + "): Segmentation fault (pid " +
                     pid + ") "),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("[F] orv-service(" + pid + "):  1. "), std::string::npos)
      << err;

  // At the default level neither happens: the crash is the system's.
  std::string quiet_sid = sandbox_.new_session("nobody");
  Process& quiet = start(quiet_sid);
  ASSERT_TRUE(serving(quiet_sid));
  call(quiet_sid, "fetch.cache", "{}");
  quiet.signal(SIGSEGV);
  EXPECT_NE(quiet.wait(milliseconds(5000)), 0);
  EXPECT_EQ(quiet.err().find("[T]"), std::string::npos);
  EXPECT_EQ(quiet.err().find("[F]"), std::string::npos);
}

TEST_F(ServiceStartTest, EndedLoginStopsTheDaemonWithinItsCheckPeriod) {
  std::string sid = sandbox_.new_session("nobody");
  Process& daemon = start(sid);
  ASSERT_TRUE(serving(sid));
  RunResult ended = sandbox_.run({bin("tovix-session"), "end", sid});
  ASSERT_EQ(ended.status, 0) << ended.err;
  // The check runs every 30 seconds from the start.
  EXPECT_EQ(daemon.wait(milliseconds(40000)), 0) << daemon.err();
  std::string err = daemon.err();
  EXPECT_NE(err.find("[E] orv-service(" + std::to_string(daemon.pid()) +
                     "): [session] " + sid + " is not alive.\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("[orv-" + sid + "] shutdown service\n"), std::string::npos)
      << err;
  EXPECT_FALSE(sandbox_.exists(pid_file(sid)));
}

}  // namespace
}  // namespace orv::test
