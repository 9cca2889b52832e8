#include "common/utf8.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <string>

namespace orv {
namespace {

class Utf8Test : public testing::Test {
 protected:
  void TearDown() override {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
  }
};

struct SubstrCase {
  const char* label;
  std::string text;
  size_t start;
  size_t count;
  std::string expected;
};

TEST_F(Utf8Test, SubstrCutsByCharacters) {
  const SubstrCase cases[] = {
      {"two-byte first character", "\xC3\xA9t", 0, 1, "\xC3\xA9"},
      {"rest from 1", "a\xC3\xA9\xE4\xB8\xAD", 1, kUtf8Rest,
       "\xC3\xA9\xE4\xB8\xAD"},
      {"start past the end", "abc", 5, 1, ""},
      {"start at the end", "abc", 3, kUtf8Rest, ""},
      {"count zero", "abc", 1, 0, ""},
      {"middle",
       "a\xC3\xA9"
       "bc",
       1, 2,
       "\xC3\xA9"
       "b"},
      {"four-byte character", "\xF0\x9F\x98\x80x", 0, 1, "\xF0\x9F\x98\x80"},
      {"empty text", "", 0, kUtf8Rest, ""},
      {"sum wraps to the end", "abcd", 2, kUtf8Rest - 1, "cd"},
      {"0xFF before the range ends",
       "ab\xFF"
       "c",
       0, 3, ""},
      {"0xFF as the first lead past the range", "ab\xFF", 0, 2, ""},
      {"0xFF after the first lead past the range",
       "ab"
       "c\xFF",
       0, 2, "ab"},
      {"continuation byte as lead",
       "\x80"
       "abc",
       1, 1, ""},
      {"overlong lead", "\xC0\xAF", 0, 1, ""},
      {"following bytes are not examined", "\xC3\xFFz", 0, 1, "\xC3\xFF"},
      {"cut short at the end", "a\xE4\xB8", 1, 1, "\xE4\xB8"},
      {"six-byte lead", "\xFC\x80\x80\x80\x80\x80q", 1, 1, "q"},
  };
  for (const SubstrCase& c : cases) {
    EXPECT_EQ(utf8_substr(c.text, c.start, c.count), c.expected) << c.label;
  }
}

struct LowerCase {
  const char* locale;
  std::string text;
  std::string expected;
};

TEST_F(Utf8Test, LowerFollowsDefaultLocale) {
  const LowerCase cases[] = {
      {"en_US", "GIF", "gif"},
      {"en_US", "\xCE\x91\xCE\x98\xCE\x97\xCE\x9D\xCE\x91",  // ΑΘΗΝΑ
       "\xCE\xB1\xCE\xB8\xCE\xB7\xCE\xBD\xCE\xB1"},          // αθηνα
      {"en_US", "\xD0\x9C\xD0\x9E\xD0\xA1\xD0\x9A\xD0\x92\xD0\x90",  // МОСКВА
       "\xD0\xBC\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0"},
      {"tr_TR", "GIF",
       "g\xC4\xB1"
       "f"},  // dotless i
      {"tr_TR",
       "\xC4\xB0"
       "z",
       "iz"},  // İ becomes i
      {"en_US", "", ""},
      {"en_US",
       "A\xFF"
       "B",
       "a\xEF\xBF\xBD"
       "b"},  // invalid byte to U+FFFD
  };
  for (const LowerCase& c : cases) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale(c.locale), status);
    EXPECT_EQ(utf8_lower(c.text), c.expected) << c.locale << " " << c.text;
  }
}

}  // namespace
}  // namespace orv
