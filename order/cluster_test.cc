#include "order/cluster.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

#include "order/test_util.h"

namespace orv {
namespace {

using test::EntryFields;
using test::make_entry;
using test::named;
using test::ScopedLocale;

// Sets the TZ variable for a test's life and restores the old one.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_ = false;
  std::string saved_;
};

class ClusterTest : public testing::Test {
 protected:
  static std::shared_ptr<Cluster> cluster(const char* key) {
    ErrorRecord error;
    std::shared_ptr<Cluster> made = make_cluster(key, &error);
    EXPECT_TRUE(error.ok()) << error.message;
    return made;
  }
};

TEST_F(ClusterTest, NameGroupsByFoldedFirstCharacters) {
  ScopedLocale locale("en_US");
  const std::pair<std::string, std::string> cases[] = {
      {"\xC3\x89"
       "clair",
       "e"},
      {"Zebra", "z"},
      {".bashrc", ".b"},
      {".@__thumb", ".@"},
      {"@Recycle", "@"},
      {"\xE4\xB8\xAD\xE6\x96\x87.txt", "\xE4\xB8\xAD"},
      {"\xC3\x85ngstr\xC3\xB6m", "a"},
      {"", ""},
      {".", "."},
  };
  std::shared_ptr<Cluster> names = cluster("name");
  ASSERT_TRUE(names);
  for (const auto& [name, key] : cases) {
    EXPECT_EQ(names->key(named(name)), key) << name;
  }
}

TEST_F(ClusterTest, DateGroupsByLocalMonth) {
  // 2021-02-28 20:00 UTC is already March east of UTC+4.
  const int64_t late_february = 1614542400;
  struct {
    const char* zone;
    int64_t mtime;
    const char* key;
  } cases[] = {
      {"UTC0", late_february, "2021/02"},
      {"JST-9", late_february, "2021/03"},
      {"UTC0", 1615000000, "2021/03"},
      {"UTC0", 944006400, "1999/12"},
      {"EST5", 946702799, "1999/12"},  // 2000-01-01 04:59:59 UTC
      {"UTC0", 0, "1970/01"},
  };
  DateCluster months;
  for (const auto& c : cases) {
    ScopedTimeZone zone(c.zone);
    EXPECT_EQ(months.key(make_entry({"f", 0, c.mtime})), c.key)
        << c.zone << " " << c.mtime;
  }
  EXPECT_EQ(
      months.key(make_entry({"f", 0, std::numeric_limits<int64_t>::max()})),
      "");
}

TEST_F(ClusterTest, SizeBandsAtEveryBoundary) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "xs"},
      {99, "xs"},
      {100, "s"},
      {10239, "s"},
      {10240, "m"},
      {1048575, "m"},
      {1048576, "l"},
      {104857599, "l"},
      {104857600, "xl"},
      {10737418239, "xl"},
      {10737418240, "xxl"},
      {-1, "xs"},
      {std::numeric_limits<int64_t>::max(), "xxl"},
  };
  SizeCluster bands;
  for (const auto& [size, key] : cases) {
    EXPECT_EQ(bands.key(make_entry({"f", size})), key) << size;
  }
  EXPECT_EQ(bands.key(make_entry({"dir", 4096, 0, S_IFDIR | 0755})), "s");
}

TEST_F(ClusterTest, TypeIsFolderOrLowerCasedExtension) {
  ScopedLocale locale("en_US");
  TypeCluster types;
  EXPECT_EQ(types.key(make_entry({"photos.2020", 4096, 0, S_IFDIR | 0755})),
            "folder");
  EXPECT_EQ(types.key(named("Photo.JPG")), "jpg");
  EXPECT_EQ(types.key(named("README")), "");
  EXPECT_EQ(types.key(named(".profile")), "");
  const std::string english = types.key(named("anim.GIF"));
  {
    ScopedLocale turkish("tr_TR");
    EXPECT_EQ(types.key(named("anim.GIF")),
              "g\xC4\xB1"
              "f");
  }
  EXPECT_EQ(english, "gif");
}

TEST_F(ClusterTest, PermissionAsThreeOctalDigits) {
  const std::pair<mode_t, const char*> cases[] = {
      {0100755, "755"}, {0100640, "640"}, {0100007, "007"},
      {0104755, "755"}, {040000, "000"},
  };
  PermissionCluster permissions;
  for (const auto& [mode, key] : cases) {
    EXPECT_EQ(permissions.key(make_entry({"f", 0, 0, mode})), key) << mode;
  }
}

TEST_F(ClusterTest, AccountNamesOrDashes) {
  OwnerCluster owners;
  GroupCluster groups;
  EXPECT_EQ(owners.key(make_entry({"f", 0, 0, S_IFREG, 0, 0})), "root");
  EXPECT_EQ(groups.key(make_entry({"f", 0, 0, S_IFREG, 0, 0})), "root");
  const uid_t nobody_known = 3999999999u;
  EXPECT_EQ(owners.key(make_entry({"f", 0, 0, S_IFREG, nobody_known})), "---");
  EXPECT_EQ(groups.key(make_entry({"f", 0, 0, S_IFREG, 0, nobody_known})),
            "---");
}

}  // namespace
}  // namespace orv
