// The search and cache endpoints over HTTP: curl, nginx, fcgiwrap and
// orv-gateway in front of the session's real daemon, answering what hvcall
// gets over the bus; and the end of a create.cache response while its handler
// is still at work.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/bus/hvservice.h"
#include "tests/gateway_fixture.h"
#include "tests/search_fixture.h"

namespace orv::test {
namespace {

using std::chrono::milliseconds;

// What curl got: the body and when its first and last bytes came (seconds
// from the start of the request).
struct HttpReply {
  std::string body;
  std::string headers;
  double first_byte = 0;
  double total = 0;
};

class GatewayWebTest : public SearchTest {
 protected:
  void SetUp() override {
    SearchTest::SetUp();
    if (HasFatalFailure()) return;
    port_ = start_web_server(sandbox_, sandbox_.path("web"));
    ASSERT_GT(port_, 0) << sandbox_.read_file("web/error.log");
    dir_ = folder("share/Public");
    make_files(dir_, "file%03d.txt", 120);
    folder("share/Public/Sub folder");
  }

  // `location` under /Orvane6/ through curl, with the session's cookie unless
  // `cookie` is false; a POST of `body` when it is not empty.
  HttpReply http(const std::string& location, const std::string& body = "",
                 bool cookie = true) {
    const std::string marker = "\n--times ";
    std::vector<std::string> argv{
        "/usr/bin/curl",
        "-s",
        "-S",
        "-D",
        sandbox_.path(".io/headers"),
        "-w",
        marker + "%{time_starttransfer} %{time_total}"};
    if (cookie) argv.insert(argv.end(), {"-b", "lang=ENG; NAS_SID=" + sid_});
    RunOptions options;
    if (!body.empty()) {
      argv.insert(argv.end(), {"--data-binary", "@-"});
      options.input = body;
    }
    argv.push_back("http://127.0.0.1:" + std::to_string(port_) + "/Orvane6/" +
                   location);
    RunResult result = sandbox_.run(argv, options);
    EXPECT_EQ(result.status, 0) << location << ": " << result.err;
    HttpReply reply;
    const size_t at = result.out.rfind(marker);
    reply.body = result.out.substr(0, at);
    if (at != std::string::npos) {
      std::sscanf(result.out.c_str() + at + marker.size(), "%lf %lf",
                  &reply.first_byte, &reply.total);
    }
    reply.headers = sandbox_.read_file(".io/headers");
    return reply;
  }

  // The JSON text of `text` without its "uuid" member, which every new list
  // has of its own.
  static std::string without_uuid(const std::string& text) {
    Json value = Json::adopt(json_loads(text.c_str(), 0, nullptr));
    EXPECT_TRUE(value) << text;
    json_object_del(value.get(), "uuid");
    return json_text(value.get());
  }

  // A recursive search of the share: a page of 50 entries for
  // fetch.resource, or the list kept in slot `index` for create.cache.
  std::string search(int index = 0) const {
    return "{" + path_member(dir_, "/Public") + R"(,"recursive":true,)" +
           (index == 0 ? R"("limit":50})"
                       : R"("index":)" + std::to_string(index) + "}");
  }

  SandboxReaper reaper_{sandbox_};
  int port_ = 0;
  std::string dir_;
};

TEST_F(GatewayWebTest, EndpointsAnswerAsOverTheBus) {
  HttpReply resource = http("fetch.resource", search());
  EXPECT_NE(resource.headers.find(
                "Content-Type: application/json; charset=utf-8\r\n"),
            std::string::npos)
      << resource.headers;
  EXPECT_EQ(without_uuid(resource.body),
            without_uuid(json_text(call("fetch.resource", search()).get())));
  EXPECT_EQ(
      column(Json::adopt(json_loads(resource.body.c_str(), 0, nullptr))).size(),
      50u);

  HttpReply made = http("create.cache", search(1));
  Json by_bus = call("create.cache", search(2));
  EXPECT_EQ(without_uuid(made.body), without_uuid(json_text(by_bus.get())));
  Json by_http = Json::adopt(json_loads(made.body.c_str(), 0, nullptr));
  EXPECT_EQ(int_of(by_http, "total"), 121);
  const std::string one = text_of(by_http, "uuid");
  const std::string two = text_of(by_bus, "uuid");

  // The query string's values are strings, which the daemon reads as it
  // reads them in a body.
  EXPECT_EQ(http("fetch.cache?index=1&limit=50&offset=10&uuid=" + one).body,
            json_text(call("fetch.cache", R"({"index":"1","limit":"50",)"
                                          R"("offset":"10","uuid":")" +
                                              one + "\"}")
                          .get()));
  EXPECT_EQ(
      http("delete.cache?index=1&uuid=" + one).body,
      json_text(
          call("delete.cache", R"({"index":2,"uuid":")" + two + "\"}").get()));
  EXPECT_EQ(http("fetch.cache?index=1&uuid=" + one).body,
            R"({"error_code":2,"error_message":"invalid uuid"})");

  EXPECT_EQ(http("fetch.cache?index=1&uuid=" + one, "", false).body,
            R"({"error_code":401,"error_message":""})");
  // A refused POST is answered after its body is taken: a body larger than
  // the pipe to the gateway was answered 502 by fcgiwrap.
  EXPECT_EQ(http("fetch.cache", std::string(300000, ' ') + "{}", false).body,
            R"({"error_code":401,"error_message":""})");
  EXPECT_EQ(http("no.such.endpoint").body,
            R"({"error_code":403,"error_message":"reject"})");
  // The bus answers "help" itself, over the bus rather than on the reply
  // descriptor; the gateway prints it.
  HttpReply help = http("help");
  EXPECT_NE(help.headers.find("200 OK"), std::string::npos) << help.headers;
  RunResult by_hvcall = sandbox_.hvcall({"orv-" + sid_, "help"});
  EXPECT_EQ(help.body, by_hvcall.out);
}

TEST_F(GatewayWebTest, CreateCacheResponseEndsWithItsReply) {
  // Hold the daemon's single watch thread: a watch request whose reply
  // descriptor is a full pipe blocks it in its write. The watch request that
  // create.cache's handler sends after its reply then waits in the queue
  // until its 5-second time-out, while the HTTP response must already be
  // over.
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
  char fill[4096] = {};
  while (write(ends[1], fill, sizeof(fill)) > 0) {
  }
  while (write(ends[1], fill, 1) > 0) {
  }
  ASSERT_EQ(errno, EAGAIN);
  fcntl(ends[1], F_SETFL, 0);  // The daemon's write must block, not fail.
  int held_result = -1;
  std::thread holder([&] {
    hv_io_t* io = hv_io_create();
    hv_io_write(io, "{\"index\":1}", 11);
    held_result = hv_call(("orv-" + sid_).c_str(), "watch", io, 30, ends[1]);
    hv_io_free(io);
  });
  std::this_thread::sleep_for(milliseconds(300));

  HttpReply made = http("create.cache", search(1));
  EXPECT_EQ(
      int_of(Json::adopt(json_loads(made.body.c_str(), 0, nullptr)), "total"),
      121)
      << made.body;
  EXPECT_LT(made.total - made.first_byte, 1.0);
  EXPECT_LT(made.total, 4.0);
  // The handler was still waiting for its watch request when the response
  // ended.
  EXPECT_TRUE(
      daemon_->wait_for_err("[resource] watch index 1: 1", milliseconds(8000)))
      << daemon_->err();

  // Let the held watch request finish.
  fcntl(ends[0], F_SETFL, 0);
  std::thread drain([&] {
    char buffer[65536];
    while (read(ends[0], buffer, sizeof(buffer)) > 0) {
    }
  });
  holder.join();
  close(ends[1]);
  drain.join();
  close(ends[0]);
  EXPECT_EQ(held_result, 0);
}

}  // namespace
}  // namespace orv::test
