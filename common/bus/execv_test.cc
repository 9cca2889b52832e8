#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "common/bus/hvservice.h"

namespace {

class ExecvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    in_ = hv_io_create();
    out_ = hv_io_create();
    err_ = hv_io_create();
  }
  void TearDown() override {
    hv_io_free(in_);
    hv_io_free(out_);
    hv_io_free(err_);
  }
  // Runs argv with all three buffers connected.
  int run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return hv_io_execv(in_, out_, err_, argv.data());
  }
  static std::string text(hv_io_t* io) {
    return std::string(hv_io_read(io, 0), hv_io_size(io));
  }
  hv_io_t* in_ = nullptr;
  hv_io_t* out_ = nullptr;
  hv_io_t* err_ = nullptr;
};

TEST_F(ExecvTest, ArgumentsOutputErrorAndStatus) {
  int status =
      run({"/bin/sh", "-c", "printf '%s|' \"$@\"; echo oops >&2; exit 3", "sh",
           "a", "b c", ""});
  EXPECT_EQ(status, 3);
  EXPECT_EQ(text(out_), "a|b c||");
  EXPECT_EQ(text(err_), "oops\n");
}

TEST_F(ExecvTest, InputIsFedWhileOutputIsCollected) {
  // More than a pipe holds in both directions: feeding all input before
  // reading any output would deadlock.
  std::string input;
  for (int i = 0; input.size() < (1 << 20); ++i) {
    input += "line " + std::to_string(i) + "\n";
  }
  hv_io_write(in_, input.data(), input.size());
  EXPECT_EQ(run({"/bin/cat"}), 0);
  EXPECT_EQ(text(out_), input);
}

TEST_F(ExecvTest, ProgramThatIgnoresItsInput) {
  std::string input(1 << 20, 'z');
  hv_io_write(in_, input.data(), input.size());
  // The program ends without reading; the caller must not die of SIGPIPE.
  EXPECT_EQ(run({"/bin/sh", "-c", "exit 0"}), 0);
}

TEST_F(ExecvTest, MissingProgramIsMinusOne) {
  EXPECT_EQ(run({"/nonexistent/program"}), -1);
  EXPECT_EQ(run({"/etc/passwd"}), -1);  // Not executable.
  EXPECT_EQ(hv_io_execv(nullptr, nullptr, nullptr, nullptr), -1);
}

TEST_F(ExecvTest, NoPathSearch) { EXPECT_EQ(run({"sh", "-c", "exit 0"}), -1); }

TEST_F(ExecvTest, SignalledProgram) {
  EXPECT_EQ(run({"/bin/sh", "-c", "kill -9 $$"}), 128 + 9);
}

TEST_F(ExecvTest, NullBuffersAreDevNull) {
  std::vector<std::string> args = {"/bin/sh", "-c",
                                   "cat; echo out; echo err >&2; exit 5"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  EXPECT_EQ(hv_io_execv(nullptr, nullptr, nullptr, argv.data()), 5);
  EXPECT_EQ(hv_io_execv(nullptr, out_, nullptr, argv.data()), 5);
  EXPECT_EQ(text(out_), "out\n");
}

TEST_F(ExecvTest, NoDescriptorLeaks) {
  // A descriptor without close-on-exec, as a careless caller may hold.
  int leaky = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 3);
  EXPECT_EQ(run({"/bin/ls", "/proc/self/fd"}), 0);
  close(leaky);
  std::istringstream listing(text(out_));
  std::vector<int> fds;
  for (int fd; listing >> fd;) fds.push_back(fd);
  // 0, 1 and 2, and the one ls opened to list the folder.
  EXPECT_EQ(fds, (std::vector<int>{0, 1, 2, 3})) << text(out_);
}

TEST_F(ExecvTest, WorksWithStandardStreamsClosed) {
  // With 0 closed, a pipe end may get number 0; the child must still see its
  // own input and output in the right places.
  int saved = dup(STDIN_FILENO);
  close(STDIN_FILENO);
  hv_io_write(in_, "hello", 5);
  int status = run({"/bin/cat"});
  dup2(saved, STDIN_FILENO);
  close(saved);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(text(out_), "hello");
}

}  // namespace
