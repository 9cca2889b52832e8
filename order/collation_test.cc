#include "order/collation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "order/test_util.h"

namespace orv {
namespace {

using test::ScopedLocale;

class CollationTest : public testing::Test {
 protected:
  // A collator for `locale`, made as a request of that language makes it.
  static std::shared_ptr<icu::Collator> collator_for(const char* locale) {
    ScopedLocale scoped(locale);
    ErrorRecord error;
    std::shared_ptr<icu::Collator> collator = make_collator(&error);
    EXPECT_TRUE(error.ok()) << error.message;
    return collator;
  }

  // The sign of a byte-wise comparison of two sort keys.
  static int key_order(const icu::Collator& collator, const std::string& a,
                       const std::string& b) {
    std::string ka;
    std::string kb;
    append_sort_key(collator, a, &ka);
    append_sort_key(collator, b, &kb);
    int order = ka.compare(kb);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
  }
};

struct OrderCase {
  const char* locale;
  std::string a;
  std::string b;
  UCollationResult expected;
};

TEST_F(CollationTest, OrdersNamesForTheLanguage) {
  const OrderCase cases[] = {
      {"en_US", "file2", "file10", UCOL_LESS},
      {"ja_JP", "file2", "file10", UCOL_LESS},
      {"en_US", "a", "A", UCOL_LESS},
      {"de_DE", "a", "A", UCOL_LESS},
      {"en_US", "e", "\xC3\xA9", UCOL_LESS},  // e before é
      {"en_US", "\xC3\xA9", "f", UCOL_LESS},  // é before f
      {"fr_FR", "e", "\xC3\xA9", UCOL_LESS},
      {"en_US", "a01", "a1", UCOL_EQUAL},
      // Composed and decomposed é.
      {"en_US", "caf\xC3\xA9", "cafe\xCC\x81", UCOL_EQUAL},
      // Swedish ö is a letter after z; German ö is an o with an accent.
      {"sv_SE", "z", "\xC3\xB6", UCOL_LESS},
      {"sv_SE", "oz",
       "\xC3\xB6"
       "a",
       UCOL_LESS},
      {"de_DE", "\xC3\xB6", "z", UCOL_LESS},
      {"de_DE", "o", "\xC3\xB6", UCOL_LESS},
      {"de_DE", "\xC3\xB6", "p", UCOL_LESS},
      {"de_DE",
       "\xC3\xB6"
       "a",
       "oz", UCOL_LESS},
  };
  for (const OrderCase& c : cases) {
    std::shared_ptr<icu::Collator> collator = collator_for(c.locale);
    ASSERT_TRUE(collator);
    EXPECT_EQ(collate(*collator, c.a, c.b), c.expected)
        << c.locale << ": " << c.a << " vs " << c.b;
    // The reverse question gives the reverse answer.
    EXPECT_EQ(collate(*collator, c.b, c.a),
              static_cast<UCollationResult>(-c.expected))
        << c.locale << ": " << c.b << " vs " << c.a;
    EXPECT_EQ(key_order(*collator, c.a, c.b), c.expected)
        << c.locale << " sort keys: " << c.a << " vs " << c.b;
  }
}

TEST_F(CollationTest, SortKeysAgreeWithCollateOnAnyBytes) {
  // Short strings over an alphabet rich in ties and troubles: digits with
  // leading zeros, case, accents both composed and decomposed, CJK, bytes
  // that are not UTF-8, and zero bytes.
  const std::string pieces[] = {"a",
                                "A",
                                "0",
                                "1",
                                "01",
                                "9",
                                "\xC3\xA9",
                                "e\xCC\x81",
                                "\xE4\xB8\xAD",
                                ".",
                                "@",
                                " ",
                                "\xFF",
                                "\x80",
                                "\xC3",
                                "\xED\xA0\x80",
                                std::string(1, '\0'),
                                "-",
                                "\xF0\x9F\x98\x80"};
  const size_t piece_count = sizeof(pieces) / sizeof(pieces[0]);
  std::mt19937 random(42);
  for (const char* locale : {"en_US", "sv_SE", "tr_TR", "zh_CN"}) {
    std::shared_ptr<icu::Collator> collator = collator_for(locale);
    ASSERT_TRUE(collator);
    for (int i = 0; i < 3000; ++i) {
      std::string text[2];
      for (std::string& t : text) {
        int length = random() % 5;
        for (int j = 0; j < length; ++j) t += pieces[random() % piece_count];
      }
      EXPECT_EQ(key_order(*collator, text[0], text[1]),
                collate(*collator, text[0], text[1]))
          << locale << ": " << testing::PrintToString(text[0]) << " vs "
          << testing::PrintToString(text[1]);
    }
  }
}

struct FoldCase {
  std::string text;
  std::string expected;
};

TEST_F(CollationTest, FoldRemovesAccentsAndCase) {
  const FoldCase cases[] = {
      {"\xC3\x89"
       "clair",
       "eclair"},                                                // Éclair
      {"\xC3\x85NGSTR\xC3\x96M", "angstrom"},                    // ÅNGSTRÖM
      {"cafe\xCC\x81", "cafe"},                                  // decomposed
      {"\xE4\xB8\xAD\xE6\x96\x87", "\xE4\xB8\xAD\xE6\x96\x87"},  // 中文
      {"", ""},
      {".@__thumb", ".@__thumb"},
  };
  ErrorRecord error;
  std::shared_ptr<icu::Transliterator> folder = make_fold(&error);
  ASSERT_TRUE(folder) << error.message;
  for (const FoldCase& c : cases) {
    EXPECT_EQ(fold(*folder, c.text), c.expected) << c.text;
  }
}

icu::Collator* failing_factory(const icu::Locale&, UErrorCode& status) {
  status = U_MISSING_RESOURCE_ERROR;
  return nullptr;
}

TEST_F(CollationTest, FailuresNameTheLocale) {
  ScopedLocale scoped("sv_SE");
  set_collator_factory(failing_factory);
  ErrorRecord error;
  EXPECT_EQ(make_collator(&error), nullptr);
  set_collator_factory(nullptr);
  EXPECT_EQ(error.code, kCacheFailure);
  EXPECT_NE(std::strstr(error.message, "sv_SE"), nullptr) << error.message;

  ErrorRecord fold_error;
  EXPECT_EQ(make_transliterator("No-Such-Transform;", &fold_error), nullptr);
  EXPECT_EQ(fold_error.code, kCacheFailure);
  EXPECT_NE(std::strstr(fold_error.message, "sv_SE"), nullptr)
      << fold_error.message;

  // With the factory restored, collators are made again.
  ErrorRecord fresh;
  EXPECT_NE(make_collator(&fresh), nullptr);
  EXPECT_TRUE(fresh.ok());
}

}  // namespace
}  // namespace orv
