#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/platform/test_root.h"
#include "common/platform/tovix.h"
#include "gtest/gtest.h"

namespace orv::platform {
namespace {

using test::TempRoot;

constexpr char kShares[] =
    "[global]\n"
    "path = /share/global-is-no-share\n"
    "[Public]\n"
    "path = /share/Public\n"
    "[CD]\n"
    "path = /share/CD\n"
    "share type = 2\n"
    "odd = yes\n"
    "[DVD]\n"
    "path = /share/DVD/\n"
    "odd = Yes ; disc drive\n"
    "[Phone]\n"
    "path = /share/Phone\n"
    "mtp = yes\n"
    "share type = 1\n"
    "[Camera]\n"
    "path = /share/Camera\n"
    "mtp = no\n"
    "[nopath]\n"
    "comment = no folder\n"
    "[emptypath]\n"
    "path =\n"
    "odd = yes\n"
    "[GLOBAL]\n"
    "path = /share/also-global\n";

class ShareTest : public ::testing::Test {
 protected:
  TempRoot root_;
};

TEST_F(ShareTest, ListsSharesInFileOrder) {
  EXPECT_EQ(SMB_Get_Share_Info(), nullptr);  // no tvk2.conf yet
  root_.write("/etc/config/tvk2.conf", kShares);
  share_info_t* list = SMB_Get_Share_Info();
  std::vector<std::pair<std::string, int>> shares;
  for (share_info_t* share = list; share != nullptr; share = share->next) {
    shares.emplace_back(share->path, share->share_type);
  }
  SMB_Free_Share_Info(list);
  EXPECT_EQ(shares, (std::vector<std::pair<std::string, int>>{
                        {"/share/Public", 0},
                        {"/share/CD", 2},
                        {"/share/DVD/", 0},
                        {"/share/Phone", 1},
                        {"/share/Camera", 0},
                    }));
  SMB_Free_Share_Info(nullptr);
}

TEST_F(ShareTest, DiscAndDeviceSharesByPrefix) {
  root_.write("/etc/config/tvk2.conf", kShares);
  struct Case {
    const char* path;
    int odd;
    int mtp;
  } cases[] = {
      {"/share/CD", 1, 0},
      {"/share/CD/", 1, 0},
      {"/share/CD/music/track.flac", 1, 0},
      {"/share/CDROM", 0, 0},  // a prefix of the text, not of the path
      {"/share/C", 0, 0},
      {"/share/DVD", 1, 0},  // share path written with a trailing "/"
      {"/share/DVD/movie.iso", 1, 0},
      {"/share/Phone/DCIM", 0, 1},
      {"/share/Phones", 0, 0},
      {"/share/Camera/DCIM", 0, 0},  // mtp = no
      {"/share/Public/x", 0, 0},
      {"/share", 0, 0},
      {"", 0, 0},
      {"relative/share/CD", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Is_ODD_Share(c.path), c.odd) << c.path;
    EXPECT_EQ(Is_MTP_Share(c.path), c.mtp) << c.path;
  }
  EXPECT_EQ(Is_ODD_Share(nullptr), 0);
}

TEST_F(ShareTest, SnapshotLookup) {
  root_.write("/etc/config/snapshot.conf",
              "[snap1]\n"
              "path = /share/Public/@Recently-Snapshot/GMT+00_2024-01-01\n"
              "volume = 1\n"
              "id = 11\n"
              "mount path = /mnt/snapshot/1/11\n"
              "[noid]\n"
              "path = /share/Data/@snap\n"
              "volume = 2\n"
              "[snap2]\n"
              "path = /share/Data/@snap\n"
              "volume = 2\n"
              "id = 22\n"
              "mount path = /mnt/snapshot/2/22\n"
              "[snap3]\n"
              "path = /share/Data/@snap/inner\n"
              "volume = 3\n"
              "id = 33\n"
              "mount path = /mnt/snapshot/3/33\n");
  struct Case {
    const char* path;
    int volume;
    int id;
    const char* mount;
  } cases[] = {
      {"/share/Public/@Recently-Snapshot/GMT+00_2024-01-01", 1, 11,
       "/mnt/snapshot/1/11"},
      {"/share/Data/@snap/a/b.txt", 2, 22, "/mnt/snapshot/2/22"},
      {"/share/Data/@snap/inner/x", 2, 22, "/mnt/snapshot/2/22"},  // first
      {"/share/Data/@snapshots", -1, -1, "untouched"},
      {"/share/Data", -1, -1, "untouched"},
      {"", -1, -1, "untouched"},
  };
  for (const Case& c : cases) {
    int volume = -1, id = -1;
    char mount[64] = "untouched";
    int rc =
        NAS_Snapshot_Get_Id_Path(c.path, &volume, &id, mount, sizeof mount);
    EXPECT_EQ(rc, c.id == -1 ? -1 : 0) << c.path;
    EXPECT_EQ(volume, c.volume) << c.path;
    EXPECT_EQ(id, c.id) << c.path;
    EXPECT_STREQ(mount, c.mount) << c.path;
  }

  // The mount path is cut to the buffer and the bytes past it stay as
  // they were.
  char mount[16];
  std::memset(mount, 0x7f, sizeof mount);
  int volume = -1, id = -1;
  ASSERT_EQ(
      NAS_Snapshot_Get_Id_Path("/share/Data/@snap", &volume, &id, mount, 8), 0);
  EXPECT_STREQ(mount, "/mnt/sn");
  for (size_t i = 8; i < sizeof mount; ++i) EXPECT_EQ(mount[i], 0x7f) << i;
}

TEST_F(ShareTest, SwitchesAreOffUnlessSet) {
  int (*const switches[])(void) = {
      Is_ACL_Enabled,      Is_RichACL_Enabled,
      Is_Win_ACL_Enabled,  Is_Win_ACL_Supported,
      Is_MediaLib_Enabled, Is_Realtime_Transcoding_Support,
  };
  for (auto* get : switches) EXPECT_EQ(get(), 0);  // no platform.conf
  root_.write("/etc/config/platform.conf",
              "[ACL]\n"
              "enable = 1 ; Is_ACL_Enabled\n"
              "rich acl = 0\n"
              "win acl = 2\n"
              "[MediaLib]\n"
              "realtime transcoding = yes\n");
  std::vector<int> values;
  for (auto* get : switches) values.push_back(get());
  // Values print as 0/1 flags; a word is not a number and reads as off.
  EXPECT_EQ(values, (std::vector<int>{1, 0, 1, 0, 0, 0}));
}

TEST_F(ShareTest, TranscodedMarkCountsOnlyWithMediaLibrary) {
  std::string marked = root_.write("/media/marked.mp4", "x");
  std::string zero = root_.write("/media/zero.mp4", "x");
  std::string with_nul = root_.write("/media/nul.mp4", "x");
  std::string plain = root_.write("/media/plain.mp4", "x");
  if (setxattr(marked.c_str(), "user.medialib.transcoded", "1", 1, 0) != 0) {
    if (errno == ENOTSUP) {
      GTEST_SKIP() << "the file system of /tmp refuses user.* attributes";
    }
    FAIL() << "setxattr: " << std::strerror(errno);
  }
  ASSERT_EQ(setxattr(zero.c_str(), "user.medialib.transcoded", "0", 1, 0), 0);
  ASSERT_EQ(setxattr(with_nul.c_str(), "user.medialib.transcoded", "1", 2, 0),
            0);

  EXPECT_EQ(MediaLib_Transcoding_CheckFile(2, marked.c_str()), 0);  // off
  root_.write("/etc/config/platform.conf", "[MediaLib]\nenable = 1\n");
  EXPECT_NE(MediaLib_Transcoding_CheckFile(2, marked.c_str()), 0);
  EXPECT_NE(MediaLib_Transcoding_CheckFile(2, with_nul.c_str()), 0);
  EXPECT_EQ(MediaLib_Transcoding_CheckFile(2, zero.c_str()), 0);
  EXPECT_EQ(MediaLib_Transcoding_CheckFile(2, plain.c_str()), 0);
  EXPECT_EQ(MediaLib_Transcoding_CheckFile(2, root_.path("/missing").c_str()),
            0);
  EXPECT_EQ(MediaLib_Transcoding_CheckFile(2, nullptr), 0);
}

}  // namespace
}  // namespace orv::platform
