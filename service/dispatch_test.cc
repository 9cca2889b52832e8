#include "service/dispatch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace orv {
namespace {

TEST(DispatchTest, RequestObjectMergesBodyAndQueryParameters) {
  struct MergeCase {
    const char* body;
    const char* query;     // the REST layer's parameters; null for none
    const char* expected;  // compact, members in insertion order
  };
  const MergeCase cases[] = {
      {R"({"uuid":"a","index":1})", R"({})", R"({"uuid":"a","index":1})"},
      {R"({"uuid":"a","index":1})", R"({"index":"2"})",
       R"({"uuid":"a","index":"2"})"},
      {R"({"a":1})", nullptr, R"({"a":1})"},
      {R"([1,2,3])", R"({"limit":"60"})", R"({"limit":"60"})"},
      {"not json at all", R"({"limit":"60"})", R"({"limit":"60"})"},
      {R"("a string")", R"({})", R"({})"},
      {R"(42)", R"({})", R"({})"},
      {"", R"({"x":"y"})", R"({"x":"y"})"},
      {R"({"a":1} trailing)", R"({})", R"({})"},
      {R"({"nested":{"deep":[1,{"b":null}]}})", R"({})",
       R"({"nested":{"deep":[1,{"b":null}]}})"},
  };
  for (const MergeCase& c : cases) {
    SCOPED_TRACE(c.body);
    hv_io_t* io = hv_io_create();
    ASSERT_NE(io, nullptr);
    hv_io_write(io, c.body, std::string(c.body).size());
    Json query =
        c.query ? Json::adopt(json_loads(c.query, 0, nullptr)) : Json();
    Json object = request_object(io, query.get());
    EXPECT_EQ(json_text(object.get()), c.expected);
    EXPECT_EQ(hv_io_size(io), 0u) << "the request text must be dropped";
    hv_io_free(io);
  }
}

// Which of the descriptors a handler process inherits survive the clean-up;
// reported by a child as bits of its exit status. Also at the descriptor
// limit, where the clean-up cannot open a listing of its descriptors.
TEST(DispatchTest, HandlerProcessKeepsOnlyStreamsAndItsOwnRequest) {
  char file_name[] = "/tmp/orv-dispatch-XXXXXX";
  int file = mkstemp(file_name);
  ASSERT_GE(file, 0);
  char gone_name[] = "/tmp/orv-dispatch-XXXXXX";
  int gone = mkstemp(gone_name);
  ASSERT_GE(gone, 0);
  unlink(gone_name);
  int reply = open(file_name, O_WRONLY);
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  // The request's own connection, and another request's connection and
  // reply socket.
  int own[2];
  int other[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, own), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, other), 0);

  for (bool at_limit : {false, true}) {
    SCOPED_TRACE(at_limit ? "at the descriptor limit" : "with descriptors");
    pid_t pid = fork();
    if (pid == 0) {
      if (at_limit) {
        // Every number below the limit taken.
        int highest = 0;
        for (int fd : {file, gone, reply, pipe_ends[0], pipe_ends[1], own[0],
                       own[1], other[0], other[1]}) {
          highest = std::max(highest, fd);
        }
        const rlimit limit{static_cast<rlim_t>(highest) + 1,
                           static_cast<rlim_t>(highest) + 1};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(255);
        while (open("/dev/null", O_RDONLY) >= 0) {
        }
      }
      close_inherited_descriptors(own[0], reply);
      auto open_now = [](int fd) { return fcntl(fd, F_GETFD) != -1; };
      int bits = 0;
      if (!open_now(file)) bits |= 1;          // closed: expected
      if (!open_now(pipe_ends[0])) bits |= 2;  // closed: expected
      if (open_now(own[0])) bits |= 4;         // kept: expected
      if (open_now(reply)) bits |= 8;          // kept: expected
      if (open_now(gone)) bits |= 16;          // kept: deleted target
      if (!open_now(own[1])) bits |= 32;       // closed: not the connection
      if (!open_now(other[0])) bits |= 64;     // closed: another request's
      _exit(bits);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 127);
  }
  unlink(file_name);
  for (int fd : {file, gone, reply, pipe_ends[0], pipe_ends[1], own[0], own[1],
                 other[0], other[1]}) {
    close(fd);
  }
}

}  // namespace
}  // namespace orv
