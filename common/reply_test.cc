#include "common/reply.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "common/bus/test_util.h"
#include "common/json.h"
#include "gtest/gtest.h"

namespace orv {
namespace {

// An io buffer of no request: always alive, and hv_reply leaves it as it is,
// so the reply text can be read back from it.
class ReplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    io_ = hv_io_create();
    ASSERT_NE(io_, nullptr);
    clear_error(&record_);
  }
  void TearDown() override { hv_io_free(io_); }
  std::string io_text() {
    return std::string(hv_io_read(io_, 0), hv_io_size(io_));
  }

  hv_io_t* io_ = nullptr;
  ErrorRecord record_;
};

TEST_F(ReplyTest, EnvelopeWithoutResult) {
  hv_io_write(io_, "{\"request\":1}", 13);  // The request text is dropped.
  reply_json(io_, -1, nullptr, record_);
  EXPECT_EQ(io_text(), "{\"error_code\":0,\"error_message\":\"\"}");
}

TEST_F(ReplyTest, EnvelopeKeepsResultMembersOnSuccess) {
  Json result =
      Json::adopt(json_pack("{s:i, s:s}", "total", 3, "path", "/a/b"));
  reply_json(io_, -1, result.get(), record_);
  Json sent = Json::adopt(json_loads(io_text().c_str(), 0, nullptr));
  ASSERT_TRUE(sent);
  EXPECT_EQ(json_integer_value(json_object_get(sent.get(), "total")), 3);
  EXPECT_STREQ(json_string_value(json_object_get(sent.get(), "path")), "/a/b");
  EXPECT_EQ(json_integer_value(json_object_get(sent.get(), "error_code")), 0);
  EXPECT_NE(io_text().find("\\/a\\/b"), std::string::npos);
}

TEST_F(ReplyTest, ErrorDropsResultMembers) {
  Json result = Json::adopt(json_pack("{s:i, s:[i]}", "total", 3, "data", 1));
  set_error(&record_, 2, "invalid uuid");
  reply_json(io_, -1, result.get(), record_);
  EXPECT_EQ(io_text(), "{\"error_code\":2,\"error_message\":\"invalid uuid\"}");
}

TEST_F(ReplyTest, MessageCutInsideACharacterStillArrives) {
  // 254 ASCII bytes then "é" (2 bytes): the record keeps only its first byte.
  std::string text(254, 'a');
  set_error(&record_, 2, "%s\xc3\xa9", text.c_str());
  reply_json(io_, -1, nullptr, record_);
  Json sent = Json::adopt(json_loads(io_text().c_str(), 0, nullptr));
  ASSERT_TRUE(sent) << io_text();
  std::string message =
      json_string_value(json_object_get(sent.get(), "error_message"));
  EXPECT_EQ(message, text + "?");
}

TEST_F(ReplyTest, DescriptorGetsHeaderThenCompactJsonWithoutNewline) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  Json result = Json::adopt(json_pack("{s:s}", "uuid", "u/1"));
  reply_json(io_, fds[1], result.get(), record_);
  // The reply releases the descriptor: the reader sees the end of it while
  // this process still holds fds[1].
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  std::string text;
  char buffer[512];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof(buffer))) > 0) {
    text.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(n, 0) << "the reply descriptor is still held";
  close(fds[0]);
  close(fds[1]);
  const std::string header =
      "Content-Type: application/json; charset=utf-8\r\n\r\n";
  ASSERT_EQ(text.substr(0, header.size()), header);
  std::string body = text.substr(header.size());
  EXPECT_EQ(body.find('\n'), std::string::npos);
  EXPECT_EQ(body.find(' '), std::string::npos);
  Json sent = Json::adopt(json_loads(body.c_str(), 0, nullptr));
  ASSERT_TRUE(sent) << body;
  EXPECT_STREQ(json_string_value(json_object_get(sent.get(), "uuid")), "u/1");
  EXPECT_EQ(json_object_size(sent.get()), 3u);
  EXPECT_EQ(hv_io_size(io_), 0u);  // Nothing went into the buffer.
}

// Replies with an empty result to the descriptor the caller passed.
void reply_to_descriptor(const char*, hv_io_t* io, int fd) {
  ErrorRecord record;
  clear_error(&record);
  reply_json(io, fd, nullptr, record);
  hv_io_free(io);
  if (fd >= 0) close(fd);
}

TEST(ReplyToCallerTest, ClosedDescriptorStillCompletesTheRequest) {
  // A service ignores SIGPIPE from its creation on; this test gives the
  // disposition back afterwards.
  struct sigaction saved {};
  sigaction(SIGPIPE, nullptr, &saved);
  struct Restore {
    const struct sigaction& action;
    ~Restore() { sigaction(SIGPIPE, &action, nullptr); }
  } restore{saved};

  bus::test::TempRoot root;
  bus::test::ServiceThread service(
      hv_create("reply-test", 2, 1, &reply_to_descriptor));
  ASSERT_NE(service.service(), nullptr);
  // The caller's reply descriptor leads nowhere: nobody reads the pipe.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  hv_io_t* io = hv_io_create();
  // Answered at once (not after the time-out), with nothing in the buffer,
  // and the service lives on to answer again.
  EXPECT_EQ(hv_call("reply-test", "m", io, 5, fds[1]), HV_OK);
  EXPECT_EQ(hv_io_size(io), 0u);
  EXPECT_EQ(hv_call("reply-test", "m", io, 5, fds[1]), HV_OK);
  hv_io_free(io);
  close(fds[1]);
}

TEST(KernelUuidTest, FreshLowerCaseUuids) {
  std::string first = kernel_uuid();
  std::string second = kernel_uuid();
  std::regex form(
      "[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
  EXPECT_TRUE(std::regex_match(first, form)) << first;
  EXPECT_TRUE(std::regex_match(second, form)) << second;
  EXPECT_NE(first, second);
}

}  // namespace
}  // namespace orv
