#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/bus/hvservice.h"

namespace {

class IoTest : public ::testing::Test {
 protected:
  void SetUp() override { io_ = hv_io_create(); }
  void TearDown() override { hv_io_free(io_); }
  std::string content() const {
    return std::string(hv_io_read(io_, 0), hv_io_size(io_));
  }
  hv_io_t* io_ = nullptr;
};

TEST_F(IoTest, NewBufferIsEmptyAndTerminated) {
  ASSERT_NE(io_, nullptr);
  EXPECT_EQ(hv_io_size(io_), 0u);
  EXPECT_STREQ(hv_io_read(io_, 0), "");
}

TEST_F(IoTest, WritesAppendAndStayTerminated) {
  EXPECT_EQ(hv_io_write(io_, "abc", 3), 3);
  EXPECT_EQ(hv_io_write(io_, "", 0), 0);
  // Growing past the first allocation keeps what was written.
  std::string big(100000, 'x');
  EXPECT_EQ(hv_io_write(io_, big.data(), big.size()),
            static_cast<ssize_t>(big.size()));
  EXPECT_EQ(hv_io_size(io_), 3 + big.size());
  EXPECT_EQ(content(), "abc" + big);
  EXPECT_EQ(hv_io_read(io_, 0)[hv_io_size(io_)], '\0');
  EXPECT_STREQ(hv_io_read(io_, 1 + big.size()), "xx");
}

TEST_F(IoTest, BinaryBytesSurvive) {
  const char bytes[] = {'a', '\0', 'b', '\xff'};
  hv_io_write(io_, bytes, sizeof(bytes));
  EXPECT_EQ(content(), std::string(bytes, sizeof(bytes)));
}

TEST_F(IoTest, ReadPastTheEndGivesTheTerminator) {
  hv_io_write(io_, "abc", 3);
  EXPECT_STREQ(hv_io_read(io_, 3), "");
  EXPECT_STREQ(hv_io_read(io_, 1000), "");
}

TEST_F(IoTest, ReallocCutsAndZeroFills) {
  hv_io_write(io_, "abcdef", 6);
  EXPECT_EQ(hv_io_realloc(io_, 2), 0);
  EXPECT_EQ(content(), "ab");
  EXPECT_EQ(hv_io_realloc(io_, 5), 0);
  EXPECT_EQ(content(), std::string("ab\0\0\0", 5));
  EXPECT_EQ(hv_io_realloc(io_, 0), 0);
  EXPECT_EQ(hv_io_size(io_), 0u);
  EXPECT_STREQ(hv_io_read(io_, 0), "");
}

TEST_F(IoTest, EmptyingALargeBufferThenWritingAgain) {
  std::string big(4 << 20, 'y');
  hv_io_write(io_, big.data(), big.size());
  hv_io_realloc(io_, 0);
  hv_io_write(io_, "small", 5);
  EXPECT_EQ(content(), "small");
}

TEST_F(IoTest, PlainBufferIsAliveAndCannotBeAnswered) {
  EXPECT_EQ(hv_io_alive(io_), 1);
  EXPECT_EQ(hv_reply(io_), -1);
  EXPECT_EQ(hv_io_alive(io_), 1);
}

TEST_F(IoTest, NullBufferIsHarmless) {
  EXPECT_EQ(hv_io_size(nullptr), 0u);
  EXPECT_STREQ(hv_io_read(nullptr, 0), "");
  EXPECT_EQ(hv_io_write(nullptr, "a", 1), -1);
  EXPECT_EQ(hv_io_realloc(nullptr, 0), -1);
  EXPECT_EQ(hv_io_alive(nullptr), 0);
  EXPECT_EQ(hv_reply(nullptr), -1);
  hv_io_free(nullptr);
}

}  // namespace
