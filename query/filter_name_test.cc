#include "query/filter_name.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

#include "query/file_type.h"

namespace orv {
namespace {

Entry named(const char* name, mode_t mode = S_IFREG) {
  struct stat st {};
  st.st_mode = mode | 0644;
  return Entry::from_item(Entry::folder_item("/share/A", "", ""), name, st);
}

class NameFilterTest : public ::testing::Test {
 protected:
  void SetUp() override { build_file_type_index(); }
};

TEST_F(NameFilterTest, ExactAndSubstringNames) {
  struct Case {
    const char* text;
    const char* name;
    bool exact;
    bool substring;
  };
  const Case cases[] = {
      {"a.txt", "a.txt", true, true}, {"a.txt", "A.txt", false, false},
      {"a.tx", "a.txt", false, true}, {"TX", "a.txt", false, false},
      {"", "a.txt", false, true},     {"a.txt", "a.txt ", false, true},
      {"ü", "grün.txt", false, true},
  };
  for (const Case& c : cases) {
    FilterPtr exact = std::make_shared<StringFilter>(c.text);
    FilterPtr sub = std::make_shared<SubStringFilter>(c.text);
    EXPECT_EQ(exact->matches(named(c.name)), c.exact)
        << c.text << " / " << c.name;
    EXPECT_EQ(sub->matches(named(c.name)), c.substring)
        << c.text << " / " << c.name;
  }
}

TEST_F(NameFilterTest, WildcardsFoldEveryLetterAndTakeBackslashLiterally) {
  struct Case {
    const char* pattern;
    const char* name;
    bool expected;
  };
  const Case cases[] = {
      {"*.JPG", "photo.jpg", true},
      {"photo", "PHOTO", true},
      {"photo", "photo1", false},
      {"pho?o.jpg", "PHOTO.JPG", true},
      {"[a-c]at", "Bat", true},
      {"[a-c]at", "dat", false},
      {"*rc", ".bashrc", true},  // A leading dot is matched by "*".
      {"a\\*", "a\\bc", true},   // Backslash is an ordinary character...
      {"a\\*", "a*", false},     // ...so it does not escape the "*".
      {"*", "", true},
      // Letters of every script fold, and a wildcard stands for a character.
      {"*FŐTANÚSÍTVÁNY*", "Főtanúsítvány.crt", true},
      {"*ΑΘΗΝΑ*", "αθηνα.txt", true},
      {"ПРИВЕТ.doc", "привет.DOC", true},
      {"[őű]x", "Őx", true},
      {"?.txt", "é.txt", true},
      // Names that are not UTF-8 are compared byte for byte, A-Z folded.
      {"CAF\xe9*", "caf\xe9.txt", true},
      {"*.TXT", "caf\xe9.txt", true},
      {"\xe9", "\xc9", false},
      {"caf\xc3\xa9*", "caf\xe9.txt", false},
  };
  for (const Case& c : cases) {
    WildCardFilter filter(c.pattern);
    EXPECT_EQ(filter.matches(named(c.name)), c.expected)
        << c.pattern << " / " << c.name;
  }
}

TEST_F(NameFilterTest, HiddenNames) {
  struct Case {
    const char* name;
    bool hidden;
  };
  const Case cases[] = {
      {".profile", true},
      {"desktop.ini", true},
      {"System Volume Information", true},
      {"$Recycle.Bin", true},
      {"", true},
      {"Desktop.ini", false},
      {"$RECYCLE.BIN", false},
      {"a.txt", false},
      {"desktop.ini.bak", false},
  };
  HiddenFilter hide(true);
  HiddenFilter show(false);
  for (const Case& c : cases) {
    EXPECT_EQ(hide.matches(named(c.name)), !c.hidden) << c.name;
    EXPECT_TRUE(show.matches(named(c.name))) << c.name;
  }
}

TEST_F(NameFilterTest, FileTypesByCategoryOrExactExtension) {
  struct Case {
    uint32_t mask;
    const char* extension;
    const char* name;
    mode_t mode;
    bool expected;
  };
  const Case cases[] = {
      {kMusic, "", "song.MP3", S_IFREG, true},
      {kMusic, "", "music.mp3", S_IFDIR, false},  // Folders have none.
      {kVideo, "", "song.mp3", S_IFREG, false},
      {kPhoto, "", "x.HIF", S_IFREG, true},
      // A mask of several categories is no category: exact equality.
      {kMediaMask, "", "song.mp3", S_IFREG, false},
      // The extension only counts, even when it was kept in letter case.
      {kMusic, "mp4", "song.mp3", S_IFREG, true},
      {256, "mp3", "song.MP3", S_IFREG, false},
      {256, "mp3", "song.mp3", S_IFREG, true},
      {256, "MP3", "song.MP3", S_IFREG, true},
      {256, "tar.gz", "x.tar.gz", S_IFREG, false},
      {256, "", "music.mp3", S_IFDIR, true},
      {256, "", ".bashrc", S_IFREG, true},
      {256, "", "a.txt", S_IFREG, false},
  };
  for (const Case& c : cases) {
    MIMEFilter filter(c.mask, c.extension);
    EXPECT_EQ(filter.matches(named(c.name, c.mode)), c.expected)
        << c.mask << " " << c.extension << " / " << c.name;
  }
  EXPECT_TRUE(MIMEFilter(kVideo).matches(named("clip.Mkv")));
}

}  // namespace
}  // namespace orv
