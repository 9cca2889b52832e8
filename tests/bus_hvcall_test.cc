// The bus end to end: bus-test-service called through hvcall, raw sockets and
// hv_call, in a sandbox.

#include <gtest/gtest.h>
#include <jansson.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "common/bus/frame.h"
#include "common/bus/hvservice.h"
#include "common/json.h"
#include "tests/sandbox.h"

namespace orv::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kHeader[] =
    "Content-Type: application/json; charset=utf-8\r\n\r\n";

Json parse(const std::string& text) {
  return Json::adopt(json_loads(text.c_str(), 0, nullptr));
}

std::string member(const Json& object, const char* name) {
  return json_text(json_object_get(object.get(), name));
}

class HvcallTest : public ::testing::Test {
 protected:
  // Starts bus-test-service as `name`, admitting `uids`, and waits until it
  // listens.
  Process& start_service(const std::string& name,
                         const std::vector<std::string>& uids = {}) {
    std::vector<std::string> argv{bin("bus-test-service"), name};
    argv.insert(argv.end(), uids.begin(), uids.end());
    Process& service = sandbox_.start(argv);
    EXPECT_TRUE(service.wait_for_err("ready", seconds(10))) << service.err();
    return service;
  }

  // A connection to service `name` that speaks no protocol of its own.
  int raw_connect(const std::string& name) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = sandbox_.path("var/run/hvbus/" + name);
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0)
        << path;
    return fd;
  }

  RunResult echo(const std::string& service, const std::string& body = "{}") {
    return sandbox_.hvcall({"-t", "5", service, "echo?ok=1", body});
  }

  Sandbox sandbox_;
};

TEST_F(HvcallTest, BodyAndQueryStringAreMerged) {
  start_service("svc");
  RunResult r = sandbox_.hvcall(
      {"svc", "echo?b=query&c=x+y%21", R"({"a":1,"b":"body"})"});
  ASSERT_EQ(r.status, 0) << r.err;
  Json reply = parse(r.out);
  ASSERT_TRUE(reply) << r.out;
  EXPECT_EQ(member(reply, "a"), "1");
  EXPECT_EQ(member(reply, "b"), "\"query\"");
  EXPECT_EQ(member(reply, "c"), "\"x y!\"");
  EXPECT_EQ(member(reply, "error_code"), "0");

  // A request-method word and a script path, body from standard input.
  RunOptions options;
  options.input = R"({"from":"stdin"})";
  r = sandbox_.hvcall({"svc", "POST /Orvane6/echo?n=1"}, options);
  ASSERT_EQ(r.status, 0) << r.err;
  reply = parse(r.out);
  EXPECT_EQ(member(reply, "from"), "\"stdin\"");
  EXPECT_EQ(member(reply, "n"), "\"1\"");

  // A body that is not a JSON object counts as an empty object.
  for (const char* body : {"not json", "[1,2]", ""}) {
    r = sandbox_.hvcall({"svc", "echo?q=1", body});
    ASSERT_EQ(r.status, 0) << body << r.err;
    EXPECT_EQ(r.out, R"({"q":"1","error_code":0,"error_message":""})") << body;
  }
}

TEST_F(HvcallTest, HelpListsTheUsageTexts) {
  start_service("svc");
  RunResult r = sandbox_.hvcall({"svc", "help", "{}"});
  ASSERT_EQ(r.status, 0) << r.err;
  Json reply = parse(r.out);
  ASSERT_TRUE(json_is_object(reply.get())) << r.out;
  EXPECT_EQ(json_object_size(reply.get()), 2u);
  EXPECT_STREQ(json_string_value(json_object_get(reply.get(), "echo")),
               "echo the parameters\n\nUsage: echo?NAME=VALUE...\n");
  EXPECT_STREQ(json_string_value(json_object_get(reply.get(), "slow")),
               "answer late, or never\n\nUsage: slow?sleep=SECONDS, "
               "slow?die=true\n");
}

TEST_F(HvcallTest, RefusalsAndMissingServices) {
  start_service("svc");
  RunResult r = sandbox_.hvcall({"svc", "no.such.method", "{}"});
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(sandbox_.hvcall({"svc", "GET /x/nothing?a=1", "{}"}).status, 4);
  EXPECT_EQ(sandbox_.hvcall({"nobody", "echo", "{}"}).status, 2);
  EXPECT_EQ(sandbox_.hvcall({"../svc", "echo", "{}"}).status, 2);
}

TEST_F(HvcallTest, UsageErrors) {
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{},
                                             {"svc"},
                                             {"-t"},
                                             {"-t", "x", "svc", "echo"},
                                             {"-q", "svc", "echo"},
                                             {"svc", "echo", "{}", "extra"}}) {
    EXPECT_EQ(sandbox_.hvcall(args).status, 64)
        << ::testing::PrintToString(args);
  }
}

TEST_F(HvcallTest, SlowHandlerTimesOut) {
  start_service("svc");
  RunResult r = sandbox_.hvcall({"-t", "1", "svc", "slow?sleep=5", "{}"});
  EXPECT_EQ(r.status, 1) << r.err;
  // The service itself is not held up by its slow handler.
  EXPECT_EQ(echo("svc").status, 0);
}

TEST_F(HvcallTest, HandlerThatDiesWithoutAnsweringGivesSix) {
  start_service("svc");
  RunResult r = sandbox_.hvcall({"-t", "20", "svc", "slow?die=true", "{}"});
  EXPECT_EQ(r.status, 6) << r.err;
  EXPECT_FALSE(r.timed_out);
}

TEST_F(HvcallTest, HandlerProcessesStayKillable) {
  Process& service = start_service("svc");
  Process& caller =
      sandbox_.start({bin("hvcall"), "-t", "60", "svc", "slow?sleep=60", "{}"});
  ASSERT_TRUE(service.wait_for_err("handler ", seconds(10)));
  std::string err = service.err();
  int handler = std::stoi(err.substr(err.find("handler ") + 8));
  // A stop signal ends a request's process instead of stopping the service.
  kill(handler, SIGTERM);
  EXPECT_EQ(caller.wait(seconds(10)), 6);
  EXPECT_TRUE(service.running());
  EXPECT_EQ(echo("svc").status, 0);
}

TEST_F(HvcallTest, OtherUsersAreRefusedUnlessAdmitted) {
  start_service("closed");
  start_service("open", {"65534"});
  RunOptions stranger;
  stranger.uid = 65534;
  stranger.gid = 65534;
  RunResult r = sandbox_.hvcall({"closed", "echo?x=1", "{}"}, stranger);
  EXPECT_EQ(r.status, 5) << r.err;
  EXPECT_EQ(r.out, "");
  r = sandbox_.hvcall({"open", "echo?x=1", "{}"}, stranger);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(member(parse(r.out), "x"), "\"1\"");
  // The refusal did not disturb the service.
  EXPECT_EQ(echo("closed").status, 0);
}

TEST_F(HvcallTest, ReplyDescriptorCarriesTheHeaderAndCompactJson) {
  start_service("svc");
  RunResult r = sandbox_.hvcall({"-o", "svc", "echo?x=a/b", "{}"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kHeader) +
                       R"({"x":"a\/b","error_code":0,"error_message":""})");
  // The same from a forked handler process.
  r = sandbox_.hvcall({"-o", "svc", "slow?sleep=0", "{}"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kHeader) +
                       R"({"slept":0,"error_code":0,"error_message":""})");
}

TEST_F(HvcallTest, ClosedReplyDescriptorDoesNotHurtTheService) {
  Process& service = start_service("svc");
  for (const char* method : {"echo?x=1", "slow?sleep=0"}) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);  // Nobody will read the reply.
    hv_io_t* io = hv_io_create();
    hv_io_write(io, "{}", 2);
    EXPECT_EQ(hv_call("svc", method, io, 10, ends[1]), HV_OK) << method;
    hv_io_free(io);
    close(ends[1]);
  }
  EXPECT_TRUE(service.running());
  EXPECT_EQ(echo("svc").status, 0);
}

TEST_F(HvcallTest, SilentCallersDoNotDelayOthers) {
  start_service("svc");
  int silent = raw_connect("svc");
  int partial = raw_connect("svc");
  ASSERT_EQ(send(partial, "HVQ", 3, MSG_NOSIGNAL), 3);
  // Well inside the time the service gives a silent caller.
  RunResult r = sandbox_.hvcall({"-t", "2", "svc", "echo?x=1", "{}"});
  EXPECT_EQ(r.status, 0) << r.err;
  // The silent ones are dropped in the end.
  for (int fd : {silent, partial}) {
    pollfd watch{fd, POLLIN, 0};
    EXPECT_EQ(poll(&watch, 1, 15000), 1);
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0);
    close(fd);
  }
}

TEST_F(HvcallTest, BadFramesAreDroppedAndTheServiceGoesOn) {
  using orv::bus::RequestHeader;
  start_service("svc");
  auto frame = [](RequestHeader header, const std::string& rest) {
    return std::string(reinterpret_cast<char*>(&header), sizeof(header)) + rest;
  };
  const uint32_t magic = orv::bus::kRequestMagic;
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"garbage", std::string(64, 'x')},
      {"body over 64 MiB", frame({magic, 0, 4, 0, HV_MAX_FRAME + 1}, "echo")},
      {"method too long",
       frame({magic, 0, 5000, 0, 0}, std::string(5000, 'm'))},
      {"unknown flag", frame({magic, 2, 4, 0, 0}, "echo")},
      {"descriptor promised", frame({magic, 1, 4, 0, 0}, "echo")},
      {"reserved field", frame({magic, 0, 4, 7, 0}, "echo")},
      {"NUL in method", frame({magic, 0, 4, 0, 0}, std::string("ec\0o", 4))},
      {"truncated",
       frame({magic, 0, 4, 0, 100}, "echo" + std::string(10, 'b'))},
  };
  for (const Case& c : cases) {
    int fd = raw_connect("svc");
    ASSERT_EQ(send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(c.bytes.size()))
        << c.what;
    if (std::string(c.what) == "truncated") shutdown(fd, SHUT_WR);
    // Dropped at once, long before the silent-caller deadline, and without
    // an answer frame.
    pollfd watch{fd, POLLIN, 0};
    EXPECT_EQ(poll(&watch, 1, 2500), 1) << c.what;
    char byte;
    ssize_t got = recv(fd, &byte, 1, MSG_DONTWAIT);
    EXPECT_TRUE(got == 0 || (got < 0 && errno == ECONNRESET)) << c.what;
    close(fd);
    EXPECT_EQ(echo("svc").status, 0) << c.what;
  }
}

TEST_F(HvcallTest, LiveNameIsNeverTakenAndStaleOneIsReplaced) {
  Process& first = start_service("svc");
  Process& second = sandbox_.start({bin("bus-test-service"), "svc"});
  EXPECT_EQ(second.wait(seconds(10)), 1) << second.err();
  EXPECT_EQ(echo("svc").status, 0);

  // A service that dies leaves its socket behind; a new one takes its place,
  // even while a handler process of the old one is still at work.
  sandbox_.start({bin("hvcall"), "-t", "60", "svc", "slow?sleep=60", "{}"});
  ASSERT_TRUE(first.wait_for_err("handler ", seconds(10)));
  first.signal(SIGKILL);
  first.wait(seconds(10));
  EXPECT_TRUE(sandbox_.exists("var/run/hvbus/svc"));
  EXPECT_EQ(echo("svc").status, 2);
  start_service("svc");
  EXPECT_EQ(echo("svc").status, 0);
}

TEST_F(HvcallTest, StopSignalEndsTheServiceCleanly) {
  Process& service = start_service("svc");
  EXPECT_EQ(echo("svc").status, 0);
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(seconds(10)), 0);
  std::string err = service.err();
  size_t init = err.find("worker init");
  size_t signal = err.find("stop signal 15");
  size_t fini = err.find("worker fini");
  size_t stopped = err.find("stopped");
  EXPECT_TRUE(init < signal && signal < fini && fini < stopped &&
              stopped != std::string::npos)
      << err;
  EXPECT_FALSE(sandbox_.exists("var/run/hvbus/svc"));
  EXPECT_EQ(echo("svc").status, 2);
}

}  // namespace
}  // namespace orv::test
