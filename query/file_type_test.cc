#include "query/file_type.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace orv {
namespace {

class FileTypeTest : public ::testing::Test {
 protected:
  void SetUp() override { build_file_type_index(); }
};

TEST_F(FileTypeTest, RowsPerCategoryAndNoRepeatedExtension) {
  std::map<uint32_t, int> per_category;
  std::set<std::string> seen;
  for (const FileType& row : file_types()) {
    ++per_category[row.category];
    EXPECT_TRUE(seen.insert(row.extension).second)
        << row.extension << " occurs twice";
    // One bit, and an extension the index can find: lower case, no dot.
    EXPECT_EQ(row.category & (row.category - 1), 0u) << row.extension;
    for (const char* c = row.extension; *c != '\0'; ++c) {
      EXPECT_FALSE(*c == '.' || (*c >= 'A' && *c <= 'Z')) << row.extension;
    }
    EXPECT_TRUE(category_is(row.extension, row.category)) << row.extension;
  }
  EXPECT_EQ(file_types().size(), 115u);
  std::map<uint32_t, int> expected = {{1, 19}, {2, 33}, {4, 37},  {8, 1},
                                      {16, 6}, {32, 7}, {64, 11}, {128, 1}};
  EXPECT_EQ(per_category, expected);
}

TEST_F(FileTypeTest, CategoryQuestions) {
  struct Case {
    const char* extension;
    uint32_t value;
    bool is;  // category_is(extension, value)
    bool in;  // category_in(extension, value)
  };
  const Case cases[] = {
      {"MP3", 1, true, true},    {"mp3", 2, false, false},
      {"", 1, false, false},     {"", 0xffffffff, false, false},
      {"rtf", 248, false, true}, {"rtf", 64, true, true},
      {"rtf", 7, false, false},  {"Jpg", 4, true, true},
      {"jpg2", 4, false, false}, {".jpg", 4, false, false},
      {"mp3", 3, false, true},   {"ÄVI", 2, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(category_is(c.extension, c.value), c.is)
        << c.extension << " " << c.value;
    EXPECT_EQ(category_in(c.extension, c.value), c.in)
        << c.extension << " " << c.value;
  }
  EXPECT_TRUE(is_media("hif"));
  EXPECT_FALSE(is_document("hif"));
  EXPECT_TRUE(is_document("eml"));
  EXPECT_TRUE(is_document("PDF"));
  EXPECT_FALSE(is_media("txt"));
  EXPECT_FALSE(is_document("txt"));
}

// Runs in a fresh process (the death-test child re-executes the binary), where
// nothing has built the index yet.
TEST(FileTypeIndexTest, UnbuiltIndexAnswersFalse) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        bool any = category_is("mp3", 1) || category_in("jpg", 0xffffffff) ||
                   is_media("mp4") || is_document("pdf");
        build_file_type_index();
        bool after = category_is("mp3", 1) && is_document("pdf");
        std::exit(!any && after ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace orv
