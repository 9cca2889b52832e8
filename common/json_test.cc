#include "common/json.h"

#include <cstdint>
#include <limits>

#include "common/error.h"
#include "gtest/gtest.h"

namespace orv {
namespace {

TEST(JsonTest, BoolReadsEveryType) {
  struct Case {
    const char* json;  // nullptr: the parameter is absent
    bool expected;
  } cases[] = {
      {nullptr, false},   {"true", true},       {"false", false},
      {"1", true},        {"7", true},          {"0", false},
      {"-1", false},      {"1.5", false},       {"null", false},
      {"\"TRUE\"", true}, {"\"True\"", true},   {"\"true\"", true},
      {"\"yes\"", false}, {"\"1\"", false},     {"\"true \"", false},
      {"[true]", false},  {"{\"a\":1}", false}, {"\"\"", false},
  };
  for (const Case& c : cases) {
    Json value;
    if (c.json != nullptr) {
      value = Json::adopt(json_loads(c.json, JSON_DECODE_ANY, nullptr));
      ASSERT_TRUE(value) << c.json;
    }
    EXPECT_EQ(json_bool(value.get()), c.expected)
        << (c.json ? c.json : "absent");
  }
}

TEST(JsonTest, IntReadsEveryType) {
  const int64_t kMax = std::numeric_limits<int64_t>::max();
  const int64_t kMin = std::numeric_limits<int64_t>::min();
  struct Case {
    const char* json;
    int64_t expected;
  } cases[] = {
      {nullptr, 0},
      {"42", 42},
      {"-9", -9},
      {"true", 1},
      {"false", 0},
      {"2.9", 0},
      {"null", 0},
      {"[3]", 0},
      {"{}", 0},
      {"\"42abc\"", 42},
      {"\"abc\"", 0},
      {"\"-7\"", -7},
      {"\"  +15 \"", 15},
      {"\"\"", 0},
      {"\"99999999999999999999\"", kMax},
      {"\"-99999999999999999999\"", kMin},
      {"9223372036854775807", kMax},
  };
  for (const Case& c : cases) {
    Json value;
    if (c.json != nullptr) {
      value = Json::adopt(json_loads(c.json, JSON_DECODE_ANY, nullptr));
      ASSERT_TRUE(value) << c.json;
    }
    EXPECT_EQ(json_int(value.get()), c.expected)
        << (c.json ? c.json : "absent");
  }
}

TEST(JsonTest, HolderCountsReferences) {
  json_t* raw = json_object();
  {
    Json first = Json::borrow(raw);  // refcount 2
    Json copy = first;               // 3
    Json moved = std::move(copy);    // still 3
    EXPECT_FALSE(copy);
    EXPECT_EQ(raw->refcount, 3u);
    moved.reset();
    EXPECT_EQ(raw->refcount, 2u);
  }
  EXPECT_EQ(raw->refcount, 1u);
  Json owner = Json::adopt(raw);  // Dropped at the end of the test.
  json_t* given = owner.release();
  EXPECT_EQ(given, raw);
  json_decref(given);
}

TEST(JsonTest, TextIsCompactWithEscapedSlashesAndShortReals) {
  Json value = Json::adopt(
      json_pack("{s:s, s:f}", "path", "/share/a", "ratio", 0.123456));
  EXPECT_EQ(json_text(value.get()),
            "{\"path\":\"\\/share\\/a\",\"ratio\":0.12}");
  EXPECT_EQ(json_text(nullptr), "");
}

TEST(ErrorRecordTest, SetAndClear) {
  ErrorRecord record;
  clear_error(&record);
  EXPECT_EQ(set_error(&record, 0, "ignored %d", 1), 0);
  EXPECT_EQ(record.code, 0);
  EXPECT_STREQ(record.message, "");

  EXPECT_EQ(set_error(&record, 2, "invalid %s", "uuid"), 12);
  EXPECT_EQ(record.code, 2);
  EXPECT_STREQ(record.message, "invalid uuid");

  // A later error overwrites the earlier one.
  set_error(&record, 3, "uuid not found");
  EXPECT_EQ(record.code, 3);
  EXPECT_STREQ(record.message, "uuid not found");

  // Code 0 leaves an existing error as it is.
  set_error(&record, 0, "success");
  EXPECT_EQ(record.code, 3);

  clear_error(&record);
  EXPECT_EQ(record.code, 0);
  for (char byte : record.message) EXPECT_EQ(byte, '\0');
}

TEST(ErrorRecordTest, LongMessageIsCutAt255Bytes) {
  ErrorRecord record;
  std::string text(300, 'm');
  EXPECT_EQ(set_error(&record, 2, "%s", text.c_str()), 300);
  EXPECT_EQ(std::string(record.message), text.substr(0, 255));
  EXPECT_EQ(record.message[255], '\0');
}

}  // namespace
}  // namespace orv
