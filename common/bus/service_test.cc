#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "common/bus/frame.h"
#include "common/bus/hvservice.h"
#include "common/bus/test_util.h"

namespace orv::bus {
namespace {

using test::eventually;
using test::ServiceThread;
using test::TempRoot;

// What the dispatch callbacks below see; one test at a time uses it.
struct Seen {
  std::atomic<hv_io_t*> io{nullptr};
  std::string method;
  std::atomic<int> requests{0};
};
Seen g_seen;

// Answers "<method>:" followed by the body reversed.
void reverse_dispatch(const char* method, hv_io_t* io, int fd) {
  std::string body(hv_io_read(io, 0), hv_io_size(io));
  std::string answer =
      std::string(method) + ":" + std::string(body.rbegin(), body.rend());
  hv_io_realloc(io, 0);
  hv_io_write(io, answer.data(), answer.size());
  hv_reply(io);
  hv_io_free(io);
  if (fd >= 0) close(fd);
}

// Writes "to fd" to the reply descriptor and answers with an empty body.
void descriptor_dispatch(const char*, hv_io_t* io, int fd) {
  hv_io_realloc(io, 0);
  ssize_t ignored = write(fd, "to fd", 5);
  (void)ignored;
  hv_reply(io);
  hv_io_free(io);
  close(fd);
}

// Keeps the request without answering; the test releases it.
void keep_dispatch(const char* method, hv_io_t* io, int fd) {
  if (fd >= 0) close(fd);
  g_seen.method = method;
  g_seen.io.store(io);
  g_seen.requests++;
}

// Drops the request without answering.
void drop_dispatch(const char*, hv_io_t* io, int fd) {
  hv_io_free(io);
  if (fd >= 0) close(fd);
}

// Connects to service `name` and sends a request frame for `method` with an
// empty body; returns the connection.
int raw_request(const TempRoot& root, const std::string& name,
                const std::string& method) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, root.socket(name).c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  RequestHeader header{kRequestMagic, 0, static_cast<uint32_t>(method.size()),
                       0, 0};
  std::string frame(reinterpret_cast<char*>(&header), sizeof(header));
  frame += method;
  EXPECT_EQ(send(fd, frame.data(), frame.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(frame.size()));
  return fd;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen.io.store(nullptr);
    g_seen.method.clear();
    g_seen.requests = 0;
  }
  TempRoot root_;
};

TEST_F(ServiceTest, RoundTripOfLargeBinaryBodies) {
  ServiceThread service(hv_create("reverse", 2, 1, reverse_dispatch));
  ASSERT_NE(service.service(), nullptr);
  std::string body;
  for (int i = 0; body.size() < (3 << 20); ++i) body += static_cast<char>(i);
  hv_io_t* io = hv_io_create();
  hv_io_write(io, body.data(), body.size());
  ASSERT_EQ(hv_call("reverse", "GET /x/m?a=1", io, 10, -1), HV_OK);
  std::string expected =
      "GET /x/m?a=1:" + std::string(body.rbegin(), body.rend());
  EXPECT_EQ(std::string(hv_io_read(io, 0), hv_io_size(io)), expected);
  hv_io_free(io);
}

TEST_F(ServiceTest, BusDirectoryIsSearchableOnly) {
  ServiceThread service(hv_create("svc", 2, 1, drop_dispatch));
  ASSERT_NE(service.service(), nullptr);
  struct stat st;
  ASSERT_EQ(stat((root_.path() + "/var/run/hvbus").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0711u);
  ASSERT_EQ(stat(root_.socket("svc").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST_F(ServiceTest, ReplyThroughTheDescriptor) {
  ServiceThread service(hv_create("fd", 2, 1, descriptor_dispatch));
  ASSERT_NE(service.service(), nullptr);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  hv_io_t* io = hv_io_create();
  hv_io_write(io, "{}", 2);
  ASSERT_EQ(hv_call("fd", "m", io, 10, pipe_fds[1]), HV_OK);
  EXPECT_EQ(hv_io_size(io), 0u);
  close(pipe_fds[1]);
  char buffer[16] = {};
  // Our copy is closed and the service closed its own: the pipe ends after
  // the reply.
  EXPECT_EQ(read(pipe_fds[0], buffer, sizeof(buffer)), 5);
  EXPECT_STREQ(buffer, "to fd");
  EXPECT_EQ(read(pipe_fds[0], buffer, sizeof(buffer)), 0);
  close(pipe_fds[0]);
  hv_io_free(io);
}

TEST_F(ServiceTest, CallResults) {
  ServiceThread keep(hv_create("keep", 2, 1, keep_dispatch));
  ServiceThread drop(hv_create("drop", 2, 1, drop_dispatch));
  ASSERT_NE(keep.service(), nullptr);
  ASSERT_NE(drop.service(), nullptr);
  hv_io_t* io = hv_io_create();
  hv_io_write(io, "request", 7);
  EXPECT_EQ(hv_call("nobody", "m", io, 5, -1), HV_NO_SERVICE);
  for (const char* name : {"", ".hidden", "a/b", "../x", "sp ace"}) {
    EXPECT_EQ(hv_call(name, "m", io, 5, -1), HV_NO_SERVICE) << name;
  }
  EXPECT_EQ(hv_call(std::string(81, 'a').c_str(), "m", io, 5, -1),
            HV_NO_SERVICE);
  EXPECT_EQ(hv_call("drop", "m", io, 5, -1), HV_NO_ANSWER);
  EXPECT_EQ(hv_call("keep", "m", io, 1, -1), HV_TIMEOUT);
  // A failed call leaves the request as it was.
  EXPECT_EQ(std::string(hv_io_read(io, 0)), "request");
  EXPECT_EQ(hv_call("keep", std::string(5000, 'm').c_str(), io, 5, -1),
            HV_UNAVAILABLE);
  ASSERT_TRUE(eventually([] { return g_seen.io.load() != nullptr; }));
  hv_io_free(g_seen.io.exchange(nullptr));
  hv_io_free(io);
}

TEST_F(ServiceTest, SocketWithNobodyListeningIsNoService) {
  ServiceThread first(hv_create("gone", 2, 1, drop_dispatch));
  ASSERT_NE(first.service(), nullptr);
  first.stop();
  // A socket file left behind by a service that died.
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, root_.socket("gone").c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  close(fd);
  EXPECT_EQ(hv_call("gone", "m", nullptr, 5, -1), HV_NO_SERVICE);
  // A new instance replaces the stale socket.
  ServiceThread second(hv_create("gone", 2, 1, reverse_dispatch));
  ASSERT_NE(second.service(), nullptr);
  EXPECT_EQ(hv_call("gone", "m", nullptr, 5, -1), HV_OK);
}

TEST_F(ServiceTest, NamesAreCheckedAndNeverStolen) {
  for (const char* name : {"", ".x", "a/b", "a b", "é"}) {
    EXPECT_EQ(hv_create(name, 2, 1, drop_dispatch), nullptr) << name;
  }
  ServiceThread first(hv_create("taken", 2, 1, reverse_dispatch));
  ASSERT_NE(first.service(), nullptr);
  EXPECT_EQ(hv_create("taken", 2, 1, drop_dispatch), nullptr);
  EXPECT_EQ(hv_call("taken", "m", nullptr, 5, -1), HV_OK);
}

TEST_F(ServiceTest, FreeRemovesOnlyWhatIsStillItsOwn) {
  hv_service_t* old_service = hv_create("moved", 2, 1, drop_dispatch);
  ASSERT_NE(old_service, nullptr);
  // The old instance's socket file disappears and a new instance takes the
  // name; the old one ending must not remove the new one's socket.
  unlink(root_.socket("moved").c_str());
  ServiceThread fresh(hv_create("moved", 2, 1, reverse_dispatch));
  ASSERT_NE(fresh.service(), nullptr);
  hv_free(old_service);
  EXPECT_EQ(hv_call("moved", "m", nullptr, 5, -1), HV_OK);
  const std::string lock = root_.path() + "/var/run/hvbus/.moved.lock";
  EXPECT_EQ(access(lock.c_str(), F_OK), 0) << "the live instance's lock";
  // The instance that ends with its own socket removes both files.
  fresh.stop();
  EXPECT_NE(access(root_.socket("moved").c_str(), F_OK), 0);
  EXPECT_NE(access(lock.c_str(), F_OK), 0);
  // And the name can be taken again.
  ServiceThread again(hv_create("moved", 2, 1, reverse_dispatch));
  ASSERT_NE(again.service(), nullptr);
  EXPECT_EQ(hv_call("moved", "m", nullptr, 5, -1), HV_OK);
}

TEST_F(ServiceTest, AliveFollowsTheConnection) {
  ServiceThread service(hv_create("alive", 2, 1, keep_dispatch));
  ASSERT_NE(service.service(), nullptr);
  int caller = raw_request(root_, "alive", "first");
  ASSERT_GE(caller, 0);
  ASSERT_TRUE(eventually([] { return g_seen.io.load() != nullptr; }));
  hv_io_t* io = g_seen.io.exchange(nullptr);
  EXPECT_EQ(g_seen.method, "first");
  EXPECT_EQ(hv_io_alive(io), 1);
  close(caller);
  EXPECT_TRUE(eventually([io] { return hv_io_alive(io) == 0; }));
  EXPECT_EQ(hv_reply(io), -1);  // Nobody to answer.
  hv_io_free(io);

  // Answered requests are no longer alive either, and the caller got the
  // answer frame.
  caller = raw_request(root_, "alive", "second");
  ASSERT_TRUE(eventually([] { return g_seen.io.load() != nullptr; }));
  io = g_seen.io.exchange(nullptr);
  EXPECT_EQ(hv_io_alive(io), 1);
  hv_io_write(io, "ok", 2);
  EXPECT_EQ(hv_reply(io), 0);
  EXPECT_EQ(hv_io_alive(io), 0);
  EXPECT_EQ(hv_reply(io), -1);  // Only one answer per request.
  hv_io_free(io);
  char answer[sizeof(AnswerHeader) + 2];
  ASSERT_EQ(recv(caller, answer, sizeof(answer), MSG_WAITALL),
            static_cast<ssize_t>(sizeof(answer)));
  AnswerHeader header;
  std::memcpy(&header, answer, sizeof(header));
  EXPECT_EQ(header.result, 0u);
  EXPECT_EQ(header.body_length, 2u);
  EXPECT_EQ(std::string(answer + sizeof(header), 2), "ok");
  close(caller);
}

// ---- signals and hooks -----------------------------------------------------

std::atomic<hv_service_t*> g_signal_service{nullptr};
std::atomic<bool> g_on_loop_thread{false};
pthread_t g_loop_thread;
std::vector<std::string> g_events;

void on_usr1(int signo) {
  g_events.push_back("signal " + std::to_string(signo));
  g_on_loop_thread = pthread_equal(pthread_self(), g_loop_thread);
  hv_stop(g_signal_service.load());
}

void init_hook(void* arg) {
  g_loop_thread = pthread_self();
  g_events.push_back(std::string("init ") + static_cast<const char*>(arg));
}
void fini_hook(void* arg) {
  g_events.push_back(std::string("fini ") + static_cast<const char*>(arg));
}

TEST_F(ServiceTest, StopSignalRunsItsCallbackOnTheLoop) {
  g_events.clear();
  ASSERT_EQ(hv_signal(SIGUSR1, on_usr1), 0);
  hv_service_t* service = hv_create("signals", 2, 1, drop_dispatch);
  ASSERT_NE(service, nullptr);
  g_signal_service = service;
  char init_arg[] = "a", fini_arg[] = "b";
  hv_worker_init(service, init_hook, init_arg);
  hv_worker_fini(service, fini_hook, fini_arg);
  std::thread loop([service] { hv_start(service); });
  ASSERT_TRUE(eventually([] { return !g_events.empty(); }));
  kill(getpid(), SIGUSR1);
  loop.join();  // Returns only if the callback stopped the loop.
  hv_free(service);
  EXPECT_TRUE(g_on_loop_thread.load());
  EXPECT_EQ(g_events,
            (std::vector<std::string>{"init a", "signal 10", "fini b"}));

  // A process forked from the service is not served by its loop: the
  // signal takes its default action there.
  pid_t child = fork();
  if (child == 0) {
    raise(SIGUSR1);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGUSR1) << status;
  hv_signal(SIGUSR1, nullptr);
}

TEST_F(ServiceTest, SignalsThatCannotBeCaught) {
  EXPECT_EQ(hv_signal(SIGKILL, on_usr1), -1);
  EXPECT_EQ(hv_signal(SIGSTOP, on_usr1), -1);
  EXPECT_EQ(hv_signal(0, on_usr1), -1);
  EXPECT_EQ(hv_signal(NSIG, on_usr1), -1);
}

TEST_F(ServiceTest, FaultSignalRunsItsCallbackAtOnce) {
  EXPECT_EXIT(
      {
        hv_signal(SIGSEGV, [](int signo) {
          std::fprintf(stderr, "crash %d\n", signo);
          _exit(7);
        });
        raise(SIGSEGV);
      },
      ::testing::ExitedWithCode(7), "crash 11");
}

TEST_F(ServiceTest, BacktraceOnACrash) {
  // The process still ends by the signal, after the trace.
  EXPECT_EXIT(
      {
        hv_backtrace();
        raise(SIGSEGV);
      },
      ::testing::KilledBySignal(SIGSEGV), "hv_backtrace: signal 11 in pid");
}

}  // namespace
}  // namespace orv::bus
