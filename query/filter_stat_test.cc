#include "query/filter_stat.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

namespace orv {
namespace {

Entry with_stat(mode_t mode, int64_t size = 0, time_t mtime = 0) {
  struct stat st {};
  st.st_mode = mode;
  st.st_size = size;
  st.st_mtime = mtime;
  st.st_uid = 1000;
  st.st_gid = 100;
  return Entry::from_item(Entry::folder_item("/share/A", "", ""), "f", st);
}

// Sets TZ for the life of the object and restores the process's zone after.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* tz) {
    if (const char* old = getenv("TZ")) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (old_) {
      setenv("TZ", old_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST(StatFilterTest, SizeOperators) {
  constexpr int64_t kMiB = 1048576;
  struct Case {
    const char* op;
    int64_t entry_size;
    bool expected;
  };
  const Case cases[] = {
      {">=", kMiB, true},
      {">=", kMiB - 1, false},
      {">", kMiB, false},
      {"==", kMiB, true},
      {"!=", kMiB, false},
      {"<=", kMiB, true},
      {"<", kMiB, false},
      {"<", kMiB - 1, true},
      // Texts outside the six select nothing: every entry is refused.
      {"=>", kMiB, false},
      {"", kMiB, false},
      {"<>", 0, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SizeFilter(c.op, kMiB).matches(with_stat(S_IFREG, c.entry_size)),
              c.expected)
        << c.op << " " << c.entry_size;
  }
  // A folder is compared by its own size, not by what it holds.
  EXPECT_TRUE(SizeFilter("<", 5000).matches(with_stat(S_IFDIR, 4096)));
}

TEST(StatFilterTest, ModifyDayInLocalStandardTime) {
  // The request's 2011-07-13 16:00 UTC is cut to its UTC day, 1310515200.
  constexpr int64_t kValue = 1310572800;
  constexpr time_t kUtcDay = 1310515200;
  struct Case {
    const char* tz;
    const char* op;
    time_t mtime;
    bool expected;
  };
  const Case cases[] = {
      // UTC+8: the file's local day starts 8 hours before the UTC day.
      {"CST-8", "==", kUtcDay - 8 * 3600, true},
      {"CST-8", "==", kUtcDay + 16 * 3600, false},
      {"CST-8", "==", kUtcDay - 8 * 3600 - 1, false},
      {"CST-8", ">", kUtcDay + 16 * 3600, true},
      {"CST-8", "<", kUtcDay - 8 * 3600 - 1, true},
      {"CST-8", "<=", kUtcDay - 8 * 3600, true},
      {"UTC0", "==", kUtcDay, true},
      {"UTC0", "==", kUtcDay - 1, false},
      // Summer time is ignored: 00:30 summer time is 23:30 standard time of
      // the day before.
      {"XST-1XDT,M3.5.0,M10.5.0/3", "==", kUtcDay - 7200 + 1800, false},
      {"XST-1XDT,M3.5.0,M10.5.0/3", "==", kUtcDay - 3600, true},
      // West of UTC a file changed early in the UTC day is a day behind.
      {"EST5", "==", kUtcDay + 3600, false},
      {"EST5", "==", kUtcDay + 5 * 3600, true},
      {"CST-8", "~", kUtcDay - 8 * 3600, false},
  };
  for (const Case& c : cases) {
    ZoneGuard zone(c.tz);
    ModifyDateFilter filter(c.op, kValue);
    EXPECT_EQ(filter.day(), kUtcDay);
    EXPECT_EQ(filter.matches(with_stat(S_IFREG, 0, c.mtime)), c.expected)
        << c.tz << " " << c.op << " " << c.mtime;
  }
}

TEST(StatFilterTest, OwnerAndGroup) {
  Entry e = with_stat(S_IFREG);  // uid 1000, gid 100
  EXPECT_TRUE(OwnerFilter(1000).matches(e));
  EXPECT_FALSE(OwnerFilter(100).matches(e));
  EXPECT_TRUE(GroupFilter(100).matches(e));
  EXPECT_FALSE(GroupFilter(1000).matches(e));
}

TEST(StatFilterTest, FileKindsCompareTheFileType) {
  struct Case {
    mode_t type;
    bool file;
    bool folder;
  };
  const Case cases[] = {
      {S_IFREG, true, false},  {S_IFLNK, true, false},
      {S_IFDIR, false, true},  {S_IFSOCK, false, false},
      {S_IFBLK, false, false}, {S_IFIFO, false, false},
  };
  StatModeFilter file(StatModeFilter::kFile);
  StatModeFilter folder(StatModeFilter::kFolder);
  for (const Case& c : cases) {
    Entry e = with_stat(c.type | 0755);
    EXPECT_EQ(file.matches(e), c.file) << std::hex << c.type;
    EXPECT_EQ(folder.matches(e), c.folder) << std::hex << c.type;
  }

  // Real files: a link to a folder is a file, a socket is neither.
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/filter_stat_test.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string dir = pattern;
  fs::create_directory(dir + "/folder");
  fs::create_directory_symlink(dir + "/folder", dir + "/link");
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  (dir + "/sock").copy(addr.sun_path, sizeof addr.sun_path - 1);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  close(fd);
  EXPECT_TRUE(file.matches(Entry::from_path(dir, "link")));
  EXPECT_FALSE(folder.matches(Entry::from_path(dir, "link")));
  EXPECT_FALSE(file.matches(Entry::from_path(dir, "sock")));
  EXPECT_FALSE(folder.matches(Entry::from_path(dir, "sock")));
  EXPECT_TRUE(folder.matches(Entry::from_path(dir, "folder")));
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

}  // namespace
}  // namespace orv
