#include "common/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>

#include "gtest/gtest.h"

namespace orv {
namespace {

// Captures log lines in a pipe and restores level and zone afterwards.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe2(fds_, O_NONBLOCK), 0);
    set_log_fd(fds_[1]);
    saved_level_ = log_level;
    const char* tz = std::getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) saved_tz_ = tz;
  }
  void TearDown() override {
    set_log_fd(STDERR_FILENO);
    log_level = saved_level_;
    if (had_tz_) {
      setenv("TZ", saved_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
    close(fds_[0]);
    close(fds_[1]);
  }
  // Everything written so far.
  std::string drain() {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds_[0], buffer, sizeof(buffer))) > 0) {
      text.append(buffer, static_cast<size_t>(n));
    }
    return text;
  }
  void use_zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }

  int fds_[2];
  int saved_level_ = 6;
  bool had_tz_ = false;
  std::string saved_tz_;
};

TEST_F(LogTest, LevelGatesEachKind) {
  struct Case {
    int level;
    const char* expected;  // letters of the kinds written, in order FEWIDT
  } cases[] = {
      {0, ""},     {1, "F"},     {3, "FE"},     {4, "FEW"},
      {6, "FEWI"}, {7, "FEWID"}, {8, "FEWIDT"}, {-3, ""},
  };
  for (const Case& c : cases) {
    log_level = c.level;
    log_line(LogKind::kFatal, "f");
    log_line(LogKind::kError, "e");
    log_line(LogKind::kWarning, "w");
    log_line(LogKind::kInfo, "i");
    log_debug("unit", 1, "d");
    log_trace("unit", 2, "op", "t");
    std::string text = drain();
    std::string letters;
    for (size_t at = text.find(" ["); at != std::string::npos;
         at = text.find(" [", at + 1)) {
      letters += text[at + 2];
    }
    EXPECT_EQ(letters, c.expected) << "level " << c.level;
  }
}

TEST_F(LogTest, LineLayout) {
  use_zone("UTC0");
  log_level = 8;
  log_line(LogKind::kError, "[%s] %s is not alive.", "orv-abc", "abc");
  log_debug("cache", 42, "[cache] opened %s", "x");
  log_trace("session", 97, "seteuser", "[session] gid = %d", 100);
  std::string text = drain();
  std::string pid = std::to_string(getpid());
  // Each line: stamp, kind, program and pid, then the event text.
  std::string lines[3];
  size_t start = 0;
  for (auto& line : lines) {
    size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    line = text.substr(start, end - start);
    start = end + 1;
  }
  EXPECT_EQ(start, text.size());
  EXPECT_EQ(lines[0].substr(19, 5), "-0000");
  EXPECT_EQ(lines[0].substr(24),
            " [E] orv-service(" + pid + "): [orv-abc] abc is not alive.");
  EXPECT_EQ(lines[1].substr(24),
            " [D] orv-service(" + pid + "): (cache:42) [cache] opened x");
  EXPECT_EQ(lines[2].substr(24), " [T] orv-service(" + pid +
                                     "): (session:97) seteuser() [session] "
                                     "gid = 100");
}

TEST_F(LogTest, LongEventTextIsWrittenWhole) {
  std::string big(5000, 'x');
  log_line(LogKind::kError, "%s", big.c_str());
  std::string text = drain();
  EXPECT_NE(text.find(big + "\n"), std::string::npos);
}

TEST_F(LogTest, TimestampSignAndOffset) {
  // 2026-12-08T01:15:03 as seconds of the UTC fields.
  const int64_t seconds = 1796692503;
  struct Case {
    const char* tz;
    const char* stamp;
  } cases[] = {
      {"CST-8", "2026-12-08T01:15:03+0800"},
      {"IST-5:30", "2026-12-08T01:15:03+0530"},
      {"EST5", "2026-12-08T01:15:03-0500"},
      {"NST3:30", "2026-12-08T01:15:03-0330"},
      {"UTC0", "2026-12-08T01:15:03-0000"},
  };
  for (const Case& c : cases) {
    use_zone(c.tz);
    EXPECT_EQ(iso_timestamp(seconds), c.stamp) << c.tz;
  }
  // The calendar, worked out without the C library's time functions.
  use_zone("UTC0");
  const std::pair<int64_t, const char*> dates[] = {
      {0, "1970-01-01T00:00:00-0000"},
      {-1, "1969-12-31T23:59:59-0000"},
      {951782400, "2000-02-29T00:00:00-0000"},
      {951868800, "2000-03-01T00:00:00-0000"},
      {1709251199, "2024-02-29T23:59:59-0000"},
      {4107542400, "2100-03-01T00:00:00-0000"},
      {-2208988800, "1900-01-01T00:00:00-0000"},
      {253402300799, "9999-12-31T23:59:59-0000"},
  };
  for (const auto& [when, stamp] : dates) {
    EXPECT_EQ(iso_timestamp(when), stamp) << when;
  }
}

TEST_F(LogTest, SignalSafeLineHasTheLayoutOfAnyLine) {
  use_zone("CST-8");
  prepare_signal_safe_log();
  log_level = 1;
  SignalSafeText text;
  text.text("Segmentation fault (pid ").number(-42).text(") x:");
  log_signal_safe(LogKind::kFatal, text);
  text.clear();
  text.number(7, 2).text(". frame");
  log_signal_safe(LogKind::kFatal, text);
  text.clear();
  log_signal_safe(LogKind::kError, text.text("gated by the level"));
  std::string got = drain();
  const std::string head =
      " [F] orv-service(" + std::to_string(getpid()) + "): ";
  ASSERT_EQ(got.size(), 2 * (24 + head.size()) +
                            std::string("Segmentation fault (pid -42) x:\n"
                                        " 7. frame\n")
                                .size())
      << got;
  EXPECT_EQ(got.substr(19, 5), "+0800");
  EXPECT_EQ(got.substr(24, head.size()), head);
  EXPECT_EQ(got.substr(24 + head.size(), 32),
            "Segmentation fault (pid -42) x:\n");
  // The stamp is the local standard time, as log_line's.
  EXPECT_EQ(got.substr(0, 10), iso_timestamp(local_clock()).substr(0, 10));
  EXPECT_NE(got.find(head + " 7. frame\n"), std::string::npos) << got;
}

TEST_F(LogTest, LocalClockIsStandardTimeWithoutDaylightSaving) {
  // Central European zone with summer time: the standard offset applies all
  // year round.
  use_zone("CET-1CEST,M3.5.0,M10.5.0/3");
  int64_t before = static_cast<int64_t>(std::time(nullptr));
  int64_t local = local_clock();
  int64_t after = static_cast<int64_t>(std::time(nullptr));
  EXPECT_GE(local, before + 3600);
  EXPECT_LE(local, after + 3600);
  use_zone("EST5");
  local = local_clock();
  EXPECT_GE(local, before - 5 * 3600);
  EXPECT_LE(local, static_cast<int64_t>(std::time(nullptr)) - 5 * 3600);
}

}  // namespace
}  // namespace orv
