// How handler processes begin and end: forks while daemon threads work in
// libraries, handlers that throw or crash, and descriptors of other requests.
#include <signal.h>
#include <stdlib.h>

#include <string>
#include <thread>
#include <vector>

#include "common/bus/hvservice.h"
#include "tests/service_fixture.h"

namespace orv::test {
namespace {

using std::chrono::milliseconds;

using ServiceHandlerTest = ServiceTest;

// Requests in a row of the fork test. A sanitized daemon forks about twenty
// times slower (its shadow memory is mapped into every child), so fewer
// there keep the run short; the plain build makes the full thousand.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kRequests = 200;
#else
constexpr int kRequests = 1000;
#endif

TEST_F(ServiceHandlerTest, RequestsWhileADaemonThreadWorksInLibraries) {
  Subreaper subreaper;
  sandbox_.make_dir("volume/A");
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
    sandbox_.write_file("volume/A/" + std::string(name), "x");
  }
  std::string sid = sandbox_.new_session("nobody");
  Process& daemon = start(sid, {}, {}, "service-test-daemon");
  ASSERT_TRUE(serving(sid)) << daemon.err();
  // The worker pool's thread queries the session, SQLite, the account
  // database and ICU without a pause until the daemon ends, so that most
  // forks come while it is inside one of them.
  Json busy = call(sid, "test.busy", R"({"seconds":600})");
  ASSERT_EQ(int_of(busy, "error_code"), 0);

  RootEnvironment root(sandbox_.root());
  const std::string service = "orv-" + sid;
  const std::string body = R"({"path":[{"full_path":")" +
                           sandbox_.path("volume/A") + R"(","alias":"/A"}]})";
  for (int i = 0; i < kRequests; ++i) {
    hv_io_t* io = hv_io_create();
    ASSERT_NE(io, nullptr);
    hv_io_write(io, body.data(), body.size());
    int result = hv_call(service.c_str(), "fetch.resource", io, 5, -1);
    Json reply = Json::adopt(json_loads(hv_io_read(io, 0), 0, nullptr));
    hv_io_free(io);
    ASSERT_EQ(result, HV_OK) << "request " << i << " was not answered in 5 s";
    ASSERT_EQ(int_of(reply, "error_code"), 0)
        << i << ": " << json_text(reply.get());
    ASSERT_EQ(int_of(reply, "total"), 3) << i;
  }
  EXPECT_TRUE(wait_until([&] { return none_left_but(daemon.pid()); },
                         milliseconds(10000)))
      << children_except(daemon.pid()).size() << " handlers left";
  EXPECT_TRUE(daemon.running());
}

TEST_F(ServiceHandlerTest, HandlerThatThrowsEndsAndTheDaemonServesOn) {
  Subreaper subreaper;
  std::string sid = sandbox_.new_session("nobody");
  Process& daemon = start(sid, {}, {}, "service-test-daemon");
  ASSERT_TRUE(serving(sid)) << daemon.err();
  RunResult thrown = sandbox_.hvcall({"-t", "10", "orv-" + sid, "test.throw"});
  EXPECT_EQ(thrown.status, HV_NO_ANSWER) << thrown.err;
  pid_t handler = logged_pid(daemon, "[test] throw pid ");
  ASSERT_GT(handler, 0) << daemon.err();
  EXPECT_EQ(wait_child(handler, milliseconds(5000)), 1)
      << "the handler went on after its exception";
  EXPECT_NE(daemon.err().find("[orv-" + sid +
                              "] handler process ended by an exception: "
                              "test failure\n"),
            std::string::npos)
      << daemon.err();
  Json next = call(sid, "test.identity", "{}");
  EXPECT_EQ(int_of(next, "error_code"), 0);
}

TEST_F(ServiceHandlerTest, CrashInsideMallocIsReportedAndEndsTheHandler) {
  Subreaper subreaper;
  std::string sid = sandbox_.new_session("nobody");
  Process& daemon = start(sid, {"-l", "8"}, {}, "service-test-daemon");
  ASSERT_TRUE(serving(sid)) << daemon.err();
  RunResult crashed = sandbox_.hvcall({"-t", "20", "orv-" + sid, "test.crash"});
  EXPECT_EQ(crashed.status, HV_NO_ANSWER) << crashed.err;

  const std::string marker = "Segmentation fault (pid ";
  ASSERT_TRUE(daemon.wait_for_err(marker, milliseconds(5000))) << daemon.err();
  std::string err = daemon.err();
  const std::string pid =
      std::to_string(std::stoi(err.substr(err.find(marker) + marker.size())));
  EXPECT_NE(err.find("[F] orv-service(" + pid + "): " + marker + pid + ") " +
                     bin("service-test-daemon") + ":\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("[F] orv-service(" + pid + "):  1. "), std::string::npos)
      << err;
  EXPECT_EQ(wait_child(std::stoi(pid), milliseconds(5000)), 1);
  EXPECT_TRUE(daemon.running());
}

TEST_F(ServiceHandlerTest, DroppedWatchJobEndsAtOnceWhileAHandlerLingers) {
  std::string sid = sandbox_.new_session("nobody");
  Process& daemon = start(sid, {}, {}, "service-test-daemon");
  ASSERT_TRUE(serving(sid)) << daemon.err();
  // The pool is busy for three seconds; a watch request waits behind it.
  Json blocked = call(sid, "test.block", R"({"seconds":3})");
  ASSERT_EQ(int_of(blocked, "error_code"), 0);
  Process& watcher =
      sandbox_.start({bin("hvcall"), "-t", "30", "orv-" + sid, "watch", "{}"});
  std::this_thread::sleep_for(milliseconds(500));
  // A handler forked while the watch job waits.
  sandbox_.start({bin("hvcall"), "-t", "60", "orv-" + sid, "test.linger"});
  ASSERT_GT(logged_pid(daemon, "[test] linger pid "), 0) << daemon.err();

  // Stopping drops the queued job: its caller sees its connection end as
  // soon as the pool lets go of it, not when the handler ends.
  daemon.signal(SIGTERM);
  EXPECT_EQ(watcher.wait(milliseconds(10000)), HV_NO_ANSWER);
  EXPECT_EQ(daemon.wait(milliseconds(10000)), 0);
}

}  // namespace
}  // namespace orv::test
