#include "query/filter_veto.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/platform/test_root.h"

namespace orv {
namespace {

namespace fs = std::filesystem;
using Patterns = std::vector<std::string>;

// A fresh ORV_ROOT for each test, with the share configuration written by
// the test.
class VetoFilterTest : public ::testing::Test {
 protected:
  void write_config(const std::string& text) {
    root_.write("/etc/config/tvk2.conf", text);
  }
  void write_veto_list(const std::string& list) {
    write_config("[global]\nveto files = " + list +
                 "\n[Public]\npath = /share/Public\n");
  }

  platform::test::TempRoot root_;
};

Entry named(const char* name) {
  struct stat st {};
  st.st_mode = S_IFREG;
  return Entry::from_item(Entry::folder_item("/share/A", "", ""), name, st);
}

TEST_F(VetoFilterTest, PatternsOfTheVetoList) {
  write_veto_list("/*.tmp/.DS_Store/");
  VetoFilter veto;
  EXPECT_EQ(veto.patterns(), (Patterns{".", "..", "*.tmp", ".DS_Store"}));
  struct Case {
    const char* name;
    bool vetoed;
  };
  const Case cases[] = {
      {".", true},          {"..", true},      {"a.tmp", true},
      {".DS_Store", true},  {".tmp", true},    {"A.TMP", false},
      {".ds_store", false}, {"a.tmpx", false}, {"...", false},
      {"a.txt", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(veto.is_vetoed(c.name), c.vetoed) << c.name;
    EXPECT_EQ(veto.equal(named(c.name)), c.vetoed) << c.name;
    // Never part of a query: matches refuses every entry.
    EXPECT_FALSE(veto.matches(named(c.name))) << c.name;
  }
}

TEST_F(VetoFilterTest, EmptyOrMissingListLeavesTheDotNames) {
  const Patterns dots = {".", ".."};
  for (const char* list : {"", "///"}) {
    write_veto_list(list);
    EXPECT_EQ(VetoFilter().patterns(), dots) << list;
  }
  write_config("[global]\nsomething = else\n");
  EXPECT_EQ(VetoFilter().patterns(), dots);
  fs::remove(root_.path("/etc/config/tvk2.conf"));
  EXPECT_EQ(VetoFilter().patterns(), dots);

  // Words without slashes around them count as well.
  write_veto_list("*.bak//x?");
  EXPECT_EQ(VetoFilter().patterns(), (Patterns{".", "..", "*.bak", "x?"}));
}

TEST_F(VetoFilterTest, ChangedListTakesEffectWithTheNextFilter) {
  write_veto_list("/*.tmp/");
  VetoFilter before;
  write_veto_list("/*.log/");
  VetoFilter after;
  EXPECT_TRUE(before.is_vetoed("a.tmp"));
  EXPECT_FALSE(before.is_vetoed("a.log"));
  EXPECT_FALSE(after.is_vetoed("a.tmp"));
  EXPECT_TRUE(after.is_vetoed("a.log"));
}

TEST_F(VetoFilterTest, ListCutByTheBufferDropsItsBrokenLastWord) {
  // The last word starts on the last byte the reader can return, so only its
  // "*" arrives; taken as a pattern it would veto every name.
  std::string list = "/";
  while (list.size() < 4094) list += "k";
  list[4093] = '/';
  list += "*.bak/";
  ASSERT_EQ(list[4094], '*');
  write_veto_list(list);
  VetoFilter veto;
  EXPECT_FALSE(veto.is_vetoed("a.txt"));
  ASSERT_EQ(veto.patterns().size(), 3u);
  EXPECT_EQ(veto.patterns()[2], std::string(4092, 'k'));
  EXPECT_TRUE(veto.is_vetoed(veto.patterns()[2]));
}

}  // namespace
}  // namespace orv
