#include "common/platform/ini.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

#include "common/platform/root.h"
#include "common/platform/test_root.h"
#include "common/platform/tovix.h"
#include "gtest/gtest.h"

namespace orv::platform {
namespace {

using test::TempRoot;

// A file that exercises every kind of line the reader meets.
constexpr char kConfig[] =
    "stray = before any section\n"
    "[global]\n"
    "   veto files   =   /.*/lost+found/   \n"
    "; workgroup = commented\n"
    "# server string = commented too\n"
    "  ; indented = comment\n"
    "Workgroup = HOME\n"
    "workgroup = second\n"
    "equation = a = b\n"
    "empty =\n"
    "no equals sign here\n"
    " = no key\n"
    "crlf = yes\r\n"
    "[Public]\n"
    "path = /share/Public\n"
    "[ broken\n"
    "leak = from broken header\n"
    "[GLOBAL]\n"
    "workgroup = third\n"
    "late = from the repeated section\n"
    "[numbers]\n"
    "plain = 42\n"
    "negative =  -7  \n"
    "trailing = 12abc\n"
    "commented = 1 ; switched on\n"
    "word = abc\n"
    "blank =\n"
    "huge = 99999999999\n";

class ProfileTest : public ::testing::Test {
 protected:
  TempRoot root_;
  std::string file_ = root_.write("/etc/config/test.conf", kConfig);

  std::string read(const char* section, const char* key,
                   const char* fallback = "DEFAULT") {
    char buffer[256];
    int length = Get_Private_Profile_String(section, key, fallback, buffer,
                                            sizeof buffer, file_.c_str());
    EXPECT_EQ(length, static_cast<int>(std::strlen(buffer)));
    return buffer;
  }
};

TEST_F(ProfileTest, ReadsStrings) {
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  } cases[] = {
      {"global", "veto files", "/.*/lost+found/"},  // spaces in key, trimmed
      {"GLOBAL", "VETO FILES", "/.*/lost+found/"},  // case ignored
      {"global", "workgroup", "HOME"},              // first match wins
      {"global", "late", "from the repeated section"},
      {"global", "equation", "a = b"},         // split at the first "="
      {"global", "empty", ""},                 // present but empty: not default
      {"global", "crlf", "yes"},               // CR trimmed
      {"global", "stray", "DEFAULT"},          // key before any section
      {"global", "server string", "DEFAULT"},  // commented out
      {"global", "indented", "DEFAULT"},
      {"global", "no equals sign here", "DEFAULT"},
      {"global", "", "DEFAULT"},
      {"Public", "path", "/share/Public"},
      {"Public", "leak", "DEFAULT"},  // under a broken header, not [Public]
      {"broken", "leak", "DEFAULT"},
      {"missing", "path", "DEFAULT"},
      {"global", "missing", "DEFAULT"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read(c.section, c.key), c.expected)
        << "[" << c.section << "] " << c.key;
  }
}

TEST_F(ProfileTest, MissingOrUnusableFileGivesDefault) {
  file_ = root_.path("/etc/config/absent.conf");
  EXPECT_EQ(read("global", "workgroup"), "DEFAULT");
  EXPECT_EQ(read("global", "workgroup", nullptr), "");
  file_ = root_.path("/etc/config");  // a folder
  EXPECT_EQ(read("global", "workgroup"), "DEFAULT");
  // A FIFO would block a plain open() forever.
  file_ = root_.path("/etc/config/fifo");
  ASSERT_EQ(mkfifo(file_.c_str(), 0600), 0);
  EXPECT_EQ(read("global", "workgroup"), "DEFAULT");
}

TEST_F(ProfileTest, SmallBufferIsCutAndNeverOverrun) {
  for (int size : {0, 1, 2, 5, 15, 16, 17}) {
    char buffer[32];
    std::memset(buffer, 0x7f, sizeof buffer);
    int length = Get_Private_Profile_String("global", "veto files", "", buffer,
                                            size, file_.c_str());
    std::string value = "/.*/lost+found/";  // 15 bytes
    int expected = size == 0 ? 0 : std::min<int>(size - 1, value.size());
    EXPECT_EQ(length, expected) << "size " << size;
    if (size > 0) {
      EXPECT_EQ(std::string(buffer, length), value.substr(0, length));
      EXPECT_EQ(buffer[length], '\0') << "size " << size;
    }
    for (int i = std::max(size, 0); i < static_cast<int>(sizeof buffer); ++i) {
      ASSERT_EQ(buffer[i], 0x7f) << "byte " << i << " written, size " << size;
    }
  }
  // The default obeys the same limit.
  char buffer[8];
  std::memset(buffer, 0x7f, sizeof buffer);
  EXPECT_EQ(Get_Private_Profile_String("global", "missing", "a long default",
                                       buffer, 4, file_.c_str()),
            3);
  EXPECT_STREQ(buffer, "a l");
  EXPECT_EQ(buffer[4], 0x7f);
}

TEST_F(ProfileTest, ReadsIntegers) {
  struct Case {
    const char* key;
    int expected;
  } cases[] = {
      {"plain", 42}, {"negative", -7}, {"trailing", 12}, {"commented", 1},
      {"word", -1},  {"blank", -1},    {"huge", -1},     {"missing", -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Get_Private_Profile_Integer("Numbers", c.key, -1, file_.c_str()),
              c.expected)
        << c.key;
  }
  EXPECT_EQ(Get_Private_Profile_Integer("numbers", "plain", -1,
                                        root_.path("/absent").c_str()),
            -1);
}

// Within a snapshot a file is read once: later changes, and a file made
// after a failed read, are not seen by it. A newer snapshot, another thread
// and reads after the snapshot has ended see them.
TEST_F(ProfileTest, SnapshotKeepsTheFirstReadOfEachFile) {
  const std::string late = root_.path("/etc/config/late.conf");
  auto value = [](const std::string& file) {
    char buffer[32];
    Get_Private_Profile_String("Public", "path", "none", buffer, sizeof buffer,
                               file.c_str());
    return std::string(buffer);
  };
  auto shares = [] {
    share_info_t* list = SMB_Get_Share_Info();
    std::string paths;
    for (share_info_t* share = list; share != nullptr; share = share->next) {
      paths += share->path;
    }
    SMB_Free_Share_Info(list);
    return paths;
  };
  root_.write("/etc/config/tvk2.conf", "[A]\npath = /share/A\n");
  {
    ConfigSnapshot outer;
    EXPECT_EQ(value(file_), "/share/Public");
    EXPECT_EQ(value(late), "none");
    EXPECT_EQ(shares(), "/share/A");
    root_.write("/etc/config/test.conf", "[Public]\npath = /share/New\n");
    root_.write("/etc/config/late.conf", "[Public]\npath = /share/Late\n");
    root_.write("/etc/config/tvk2.conf", "[B]\npath = /share/B\n");
    {
      ConfigSnapshot inner;
      EXPECT_EQ(value(file_), "/share/New");
    }
    EXPECT_EQ(value(file_), "/share/Public");
    EXPECT_EQ(value(late), "none");
    EXPECT_EQ(shares(), "/share/A");
    std::string elsewhere;
    std::thread([&] { elsewhere = value(file_); }).join();
    EXPECT_EQ(elsewhere, "/share/New");
  }
  EXPECT_EQ(value(file_), "/share/New");
  EXPECT_EQ(value(late), "/share/Late");
  EXPECT_EQ(shares(), "/share/B");
}

TEST(RootPathTest, GluesFixedPathsToTheRoot) {
  struct Case {
    const char* root;  // nullptr: unset
    const char* expected;
  } cases[] = {
      {nullptr, "/etc/config/x.conf"},
      {"", "/etc/config/x.conf"},
      {"/", "/etc/config/x.conf"},
      {"/tmp/root", "/tmp/root/etc/config/x.conf"},
      {"/tmp/root//", "/tmp/root/etc/config/x.conf"},
  };
  for (const Case& c : cases) {
    if (c.root == nullptr) {
      unsetenv("ORV_ROOT");
    } else {
      setenv("ORV_ROOT", c.root, 1);
    }
    EXPECT_EQ(orv::root_path("/etc/config/x.conf"), c.expected)
        << (c.root ? c.root : "(unset)");
  }
  unsetenv("ORV_ROOT");
}

}  // namespace
}  // namespace orv::platform
