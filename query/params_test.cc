#include "query/params.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <string>

#include "common/json.h"

namespace orv {
namespace {

const char kUuid[] = "0f8fad5b-d9cb-469f-a165-70867728950e";

Json params_of(const std::string& text) {
  json_error_t error;
  Json value = Json::adopt(
      json_loads(text.c_str(), JSON_DECODE_ANY | JSON_ALLOW_NUL, &error));
  EXPECT_TRUE(value) << text << ": " << error.text;
  return value;
}

// One reader call: the parameters as JSON text, the expected value read and
// the expected message ("" for success).
struct IntCase {
  const char* params;
  uint64_t value;
  const char* message;
};

TEST(ParamsTest, IndexAcceptsOneAndTwoOnly) {
  const IntCase cases[] = {
      {R"({})", 1, ""},
      {R"({"index":1})", 1, ""},
      {R"({"index":2})", 2, ""},
      {R"({"index":"2"})", 2, ""},
      {R"({"index":true})", 1, ""},
      {R"({"index":0})", 1, "invalid index"},
      {R"({"index":3})", 1, "invalid index"},
      {R"({"index":-1})", 1, "invalid index"},
      {R"({"index":false})", 1, "invalid index"},
      {R"({"index":"two"})", 1, "invalid index"},
      {R"({"index":null})", 1, "invalid index"},
      {R"({"index":1.0})", 1, "invalid index"},
      {R"({"index":"18446744073709551617"})", 1, "invalid index"},
      {R"({"index":4294967297})", 1, "invalid index"},
  };
  for (const IntCase& c : cases) {
    SCOPED_TRACE(c.params);
    ErrorRecord error;
    uint64_t index = 99;
    parse_index(params_of(c.params).get(), &error, &index);
    EXPECT_EQ(index, c.value);
    EXPECT_STREQ(error.message, c.message);
    EXPECT_EQ(error.code, *c.message ? 2 : 0);
  }
}

TEST(ParamsTest, PageLimitsAndOffsets) {
  struct PageCase {
    const char* params;
    uint64_t limit;
    uint64_t offset;
    const char* message;
  };
  const PageCase cases[] = {
      {R"({})", 500, 0, ""},
      {R"({"limit":50})", 50, 0, ""},
      {R"({"limit":"2000"})", 2000, 0, ""},
      {R"({"limit":" 120 rows","offset":"30x"})", 120, 30, ""},
      {R"({"limit":49})", 500, 0, "invalid limit"},
      {R"({"limit":2001})", 500, 0, "invalid limit"},
      {R"({"limit":-1})", 500, 0, "invalid limit"},
      {R"({"limit":[100]})", 500, 0, "invalid limit"},
      // A bad limit stops before the offset is read.
      {R"({"limit":10,"offset":7})", 500, 0, "invalid limit"},
      {R"({"offset":25})", 500, 25, ""},
      {R"({"offset":"abc"})", 500, 0, ""},
      {R"({"offset":{}})", 500, 0, ""},
      {R"({"offset":-1})", 500, UINT64_MAX, ""},
  };
  for (const PageCase& c : cases) {
    SCOPED_TRACE(c.params);
    ErrorRecord error;
    uint64_t limit = 1;
    uint64_t offset = 1;
    parse_page(params_of(c.params).get(), &error, &limit, &offset);
    if (*c.message == '\0') {
      EXPECT_EQ(limit, c.limit);
      EXPECT_EQ(offset, c.offset);
    }
    EXPECT_STREQ(error.message, c.message);
  }
}

TEST(ParamsTest, UuidMustBeLowerCaseString) {
  struct UuidCase {
    std::string params;
    bool ok;
  };
  const UuidCase cases[] = {
      {std::string(R"({"uuid":")") + kUuid + R"("})", true},
      {R"({})", false},
      {R"({"uuid":null})", false},
      {R"({"uuid":42})", false},
      {R"({"uuid":""})", false},
      {R"({"uuid":"0F8FAD5B-D9CB-469F-A165-70867728950E"})", false},
      {R"({"uuid":"0f8fad5b-d9cb-469f-a165-70867728950"})", false},
      {R"({"uuid":"0f8fad5b-d9cb-469f-a165-70867728950e0"})", false},
      {R"({"uuid":"0f8fad5bd9cb-469f-a165-70867728950e-"})", false},
      {R"({"uuid":" 0f8fad5b-d9cb-469f-a165-70867728950e"})", false},
      {R"({"uuid":"0f8fad5b-d9cb-469f-a165-70867728950e\n"})", false},
      // The pattern would accept the text before the NUL byte.
      {R"({"uuid":"0f8fad5b-d9cb-469f-a165-70867728950e\u0000x"})", false},
      {R"({"uuid":"../../../etc/passwd"})", false},
  };
  for (const UuidCase& c : cases) {
    SCOPED_TRACE(c.params);
    ErrorRecord error;
    std::string uuid = "stale";
    parse_uuid(params_of(c.params).get(), &error, &uuid);
    EXPECT_EQ(uuid, c.ok ? kUuid : "");
    EXPECT_STREQ(error.message, c.ok ? "" : "invalid uuid");
  }
}

TEST(ParamsTest, LangSelectsTheDefaultLocale) {
  struct LangCase {
    const char* params;
    const char* locale;  // the default locale afterwards; null on failure
  };
  const LangCase cases[] = {
      {R"({})", "en_US"},
      {R"({"lang":"JPN"})", "ja_JP"},
      {R"({"lang":"jpn"})", "ja_JP"},
      {R"({"lang":"nOr"})", "nb_NO"},
      {R"({"lang":"ROM"})", "ro_RO"},
      {R"({"lang":"ENG"})", "en_US"},
      {R"({"lang":"XXX"})", nullptr},
      {R"({"lang":""})", nullptr},
      {R"({"lang":"JPN "})", nullptr},
      {R"({"lang":"ja_JP"})", nullptr},
      {R"({"lang":"JPN\u0000"})", nullptr},
      {R"({"lang":10})", nullptr},
      {R"({"lang":null})", nullptr},
      {R"({"lang":["JPN"]})", nullptr},
  };
  for (const LangCase& c : cases) {
    SCOPED_TRACE(c.params);
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("de_DE"), status);
    ErrorRecord error;
    parse_lang(params_of(c.params).get(), &error);
    if (c.locale != nullptr) {
      EXPECT_STREQ(error.message, "");
      EXPECT_STREQ(icu::Locale::getDefault().getName(), c.locale);
    } else {
      EXPECT_STREQ(error.message, "invalid lang");
      EXPECT_EQ(error.code, 2);
    }
  }
}

TEST(ParamsTest, LangAfterAnErrorChangesNothing) {
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("de_DE"), status);
  ErrorRecord error;
  set_error(&error, 2, "invalid limit");
  parse_lang(params_of(R"({"lang":"JPN"})").get(), &error);
  EXPECT_STREQ(icu::Locale::getDefault().getName(), "de_DE");
  EXPECT_STREQ(error.message, "invalid limit");
}

TEST(ParamsTest, FirstRejectedParameterWins) {
  struct ChainCase {
    std::string params;
    const char* message;
  };
  const std::string uuid = std::string("\"") + kUuid + "\"";
  const ChainCase page_cases[] = {
      {R"({"uuid":"bad","limit":1,"index":9})", "invalid uuid"},
      {R"({"uuid":)" + uuid + R"(,"limit":1,"index":9})", "invalid limit"},
      {R"({"uuid":)" + uuid + R"(,"limit":60,"index":9})", "invalid index"},
      {R"({"uuid":)" + uuid + R"(,"limit":60,"offset":5,"index":2})", ""},
  };
  for (const ChainCase& c : page_cases) {
    SCOPED_TRACE(c.params);
    ErrorRecord error;
    CachePage page;
    parse_cache_page(params_of(c.params).get(), &error, &page);
    EXPECT_STREQ(error.message, c.message);
    if (*c.message == '\0') {
      EXPECT_EQ(page.uuid, kUuid);
      EXPECT_EQ(page.limit, 60u);
      EXPECT_EQ(page.offset, 5u);
      EXPECT_EQ(page.index, 2u);
    }
  }
  const ChainCase ref_cases[] = {
      {R"({"index":0})", "invalid uuid"},
      {R"({"uuid":)" + uuid + R"(,"index":0})", "invalid index"},
      {R"({"uuid":)" + uuid + R"(})", ""},
  };
  for (const ChainCase& c : ref_cases) {
    SCOPED_TRACE(c.params);
    ErrorRecord error;
    CacheRef ref;
    parse_cache_ref(params_of(c.params).get(), &error, &ref);
    EXPECT_STREQ(error.message, c.message);
  }
}

TEST(ParamsTest, PatternsCaptureTheirGroups) {
  struct PatternCase {
    ParamPattern pattern;
    std::string text;
    bool matches;
    const char* group1;
    const char* group2;
    const char* group3;  // null: the group did not take part
  };
  const PatternCase cases[] = {
      {ParamPattern::kDate, ">=1310572800", true, ">=", "1310572800", nullptr},
      {ParamPattern::kDate, "<5", true, "<", "5", nullptr},
      {ParamPattern::kDate, "!=5", false, nullptr, nullptr, nullptr},
      {ParamPattern::kDate, "=5", false, nullptr, nullptr, nullptr},
      {ParamPattern::kDate, ">-5", false, nullptr, nullptr, nullptr},
      {ParamPattern::kSize, ">=1024K", true, ">=", "1024", "K"},
      {ParamPattern::kSize, "<5P", true, "<", "5", "P"},
      {ParamPattern::kSize, "==7", true, "==", "7", nullptr},
      {ParamPattern::kSize, "1024K", false, nullptr, nullptr, nullptr},
      {ParamPattern::kSize, ">1k", false, nullptr, nullptr, nullptr},
      {ParamPattern::kType, "extname:mp3", true, "extname", ":mp3", "mp3"},
      {ParamPattern::kType, "music:abc", true, "music", ":abc", "abc"},
      {ParamPattern::kType, "extname", true, "extname", nullptr, nullptr},
      {ParamPattern::kType, "Music", false, nullptr, nullptr, nullptr},
      {ParamPattern::kType, "extname:", false, nullptr, nullptr, nullptr},
      {ParamPattern::kType, "document", false, nullptr, nullptr, nullptr},
      {ParamPattern::kOrder, "size:desc", true, "size", ":desc", "desc"},
      {ParamPattern::kOrder, "permission", true, "permission", nullptr,
       nullptr},
      {ParamPattern::kOrder, "name:", false, nullptr, nullptr, nullptr},
      {ParamPattern::kOrder, "name:ASC", false, nullptr, nullptr, nullptr},
      {ParamPattern::kOrder, std::string("name\0:desc", 10), false, nullptr,
       nullptr, nullptr},
      {ParamPattern::kUuid, kUuid, true, nullptr, nullptr, nullptr},
  };
  for (const PatternCase& c : cases) {
    SCOPED_TRACE(c.text);
    PatternMatch match;
    ASSERT_EQ(match_pattern(c.pattern, c.text, &match), c.matches);
    if (!c.matches) continue;
    EXPECT_EQ(match.group(0), c.text);
    const char* groups[] = {c.group1, c.group2, c.group3};
    for (size_t n = 1; n <= 3; ++n) {
      if (groups[n - 1] == nullptr) {
        EXPECT_FALSE(match.present(n)) << "group " << n;
        EXPECT_EQ(match.group(n), "");
      } else {
        EXPECT_TRUE(match.present(n)) << "group " << n;
        EXPECT_EQ(match.group(n), groups[n - 1]) << "group " << n;
      }
    }
  }
}

}  // namespace
}  // namespace orv
