#include "gateway/request.h"

#include <gtest/gtest.h>

#include <string>

namespace orv {
namespace {

TEST(GatewayRequestTest, SessionIdIsTheValueOfTheCookieEntry) {
  struct Case {
    const char* cookie;
    const char* sid;
  };
  const Case cases[] = {
      {"NAS_SID=abc123", "abc123"},
      {"lang=ENG; NAS_SID=abc123; theme=dark", "abc123"},
      {"lang=ENG;NAS_SID=abc123;theme=dark", "abc123"},
      {"NAS_SID=abc123; NAS_SID=second", "abc123"},
      {"XNAS_SID=forged; NAS_SID=real", "real"},
      {"XNAS_SID=forged", ""},
      {"NAS_SID=", ""},
      {"NAS_SID=a=b; c", "a=b"},
      {"lang=ENG", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(session_id_from_cookie(c.cookie), c.sid) << c.cookie;
  }
  // The service and the daemon name the whole id, however long.
  const std::string long_id(64, 'A');
  EXPECT_EQ(service_name_of(long_id), "orv-" + long_id);
}

TEST(GatewayRequestTest, QueryStringGivesOneMemberPerName) {
  struct Case {
    const char* query;
    const char* object;
  };
  const Case cases[] = {
      {"name=a+b%2Fc%zz", R"({"name":"a b\/c%zz"})"},
      {"name%2F=x", R"({"name%2F":"x"})"},
      {"a[]=1&a[]=2", R"({"a":["1","2"]})"},
      {"a=1&a=2&a=3", R"({"a":["1","2","3"]})"},
      {"a[x]=1&b=%41%6a", R"({"a":"1","b":"Aj"})"},
      {"flag&x=", R"({"flag":"","x":""})"},
      {"&&x=1&&", R"({"x":"1"})"},
      {"x=a=b&y=c[d", R"({"x":"a=b","y":"c[d"})"},
      {"x=%", R"({"x":"%"})"},
      {"x=%4", R"({"x":"%4"})"},
      {"x=ab%00cd", R"({"x":"ab"})"},
      {"x=%FF&y=%C3%A9", R"({"y":"é"})"},
      {"", "{}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(json_text(parse_query_string(c.query).get()), c.object)
        << c.query;
  }
}

TEST(GatewayRequestTest, BodyIsAnyJsonValueOrAnEmptyObject) {
  struct Case {
    const char* body;
    const char* value;
  };
  const Case cases[] = {
      {R"({"index":1})", R"({"index":1})"},
      {"[1,2]", "[1,2]"},
      {R"("text")", R"("text")"},
      {"not json", "{}"},
      {"", "{}"},
      {R"({"a":1} trailing)", "{}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(json_text(parse_body(c.body).get()), c.value) << c.body;
  }
}

TEST(GatewayRequestTest, MethodAndLocation) {
  for (const char* get : {"GET", "get", "Get", "gEt"}) {
    EXPECT_TRUE(is_get(get)) << get;
  }
  for (const char* other : {"POST", "GETS", "GE", "", "get "}) {
    EXPECT_FALSE(is_get(other)) << other;
  }

  EXPECT_EQ(method_text("GET", "/Orvane6/fetch.resource"),
            "GET /Orvane6/fetch.resource");
  const std::string long_location = "/Orvane6/" + std::string(400, 'x');
  EXPECT_EQ(method_text("POST", long_location),
            ("POST " + long_location).substr(0, 321));

  for (const char* token : {"GET", "post", "M-SEARCH", "X_1~!"}) {
    EXPECT_TRUE(is_method_token(token)) << token;
  }
  for (const char* other : {"", "GET?x=1", "GET /Orvane6/x", "G/T", "GET\t"}) {
    EXPECT_FALSE(is_method_token(other)) << other;
  }

  struct Case {
    const char* location;
    bool inside;
  };
  const Case cases[] = {
      {"/Orvane6/fetch.cache", true},
      {"/Orvane6/", true},
      {"/Orvane6", false},
      {"/orvane6/fetch.cache", false},
      {"/Other/fetch.cache", false},
      {"/Orvane6/fetch.cache?__SESSION__=x", false},
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(inside_application(c.location), c.inside) << c.location;
  }
}

TEST(GatewayRequestTest, BodyLengthIsDecimalDigitsAlone) {
  struct Case {
    const char* text;  // CONTENT_LENGTH, or nullptr when unset
    int64_t length;
  };
  const Case cases[] = {
      {nullptr, 0},
      {"", 0},
      {"0", 0},
      {"11", 11},
      {"0012", 12},
      {"1048577", 1048577},
      {"9007199254740992", 9007199254740992},
      {"9007199254740993", -1},
      {"99999999999999999999999", -1},
      {"-1", -1},
      {"+5", -1},
      {" 5", -1},
      {"5 ", -1},
      {"0x10", -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(body_length(c.text), c.length) << (c.text ? c.text : "unset");
  }
}

}  // namespace
}  // namespace orv
