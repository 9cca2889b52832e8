#include "common/bus/rest_query.h"

#include <gtest/gtest.h>

#include <string>

namespace orv::bus {
namespace {

std::string dump(json_t* value) {
  char* text = json_dumps(value, JSON_COMPACT | JSON_SORT_KEYS);
  std::string result = text != nullptr ? text : "(null)";
  free(text);
  return result;
}

TEST(RestQueryTest, SplitMethod) {
  struct Case {
    const char* method;
    const char* endpoint;
    const char* query;
  } cases[] = {
      {"watch", "watch", ""},
      {"fetch.cache?index=1", "fetch.cache", "index=1"},
      {"GET /Orvane6/fetch.resource", "fetch.resource", ""},
      {"POST /Orvane6/create.cache?lang=ENG&x=1", "create.cache",
       "lang=ENG&x=1"},
      {"DELETE  a/b/delete.cache", "delete.cache", ""},
      // Slashes after the "?" belong to the query.
      {"echo?path=/share/a/b", "echo", "path=/share/a/b"},
      {"a/b/?x=1", "", "x=1"},
      {"", "", ""},
      // Only an upper-case word followed by a space is a request method.
      {"Get /x/echo", "echo", ""},
      {"GET", "GET", ""},
      {"help", "help", ""},
  };
  for (const Case& c : cases) {
    MethodText parts = split_method(c.method);
    EXPECT_EQ(parts.endpoint, c.endpoint) << c.method;
    EXPECT_EQ(parts.query, c.query) << c.method;
  }
}

TEST(RestQueryTest, UrlDecode) {
  struct Case {
    const char* text;
    std::string decoded;
  } cases[] = {
      {"plain", "plain"},   {"a+b", "a b"},
      {"%41%2f%2F", "A//"}, {"%e4%b8%ad", "\xe4\xb8\xad"},
      {"100%", "100%"},     {"%4", "%4"},
      {"%zz%4g", "%zz%4g"}, {"%00x", std::string("\0x", 2)},
      {"%2B+", "+ "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(url_decode(c.text), c.decoded) << c.text;
  }
}

TEST(RestQueryTest, QueryObject) {
  struct Case {
    const char* query;
    const char* json;
  } cases[] = {
      {"", "{}"},
      {"a=1&b=x+y", R"({"a":"1","b":"x y"})"},
      {"&&a=1&", R"({"a":"1"})"},
      {"flag", R"({"flag":""})"},
      {"e=", R"({"e":""})"},
      {"k=a=b", R"({"k":"a=b"})"},
      {"na%6De=v", R"({"name":"v"})"},
      {"path=/a&path=/b&path=/c", R"({"path":["/a","/b","/c"]})"},
      {"v=%ff", R"({"v":"\ufffd"})"},
      {"v=%c3%a9", R"({"v":"\u00e9"})"},
  };
  for (const Case& c : cases) {
    json_t* object = query_object(c.query);
    ASSERT_NE(object, nullptr) << c.query;
    json_t* expected = json_loads(c.json, 0, nullptr);
    ASSERT_NE(expected, nullptr) << c.json;
    EXPECT_EQ(dump(object), dump(expected)) << c.query;
    json_decref(expected);
    json_decref(object);
  }
}

}  // namespace
}  // namespace orv::bus
