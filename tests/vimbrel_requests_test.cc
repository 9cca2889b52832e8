// vimbrel's endpoints as callers see them: version, the usage texts, the
// validation of "add", "list" and "clear" in their order, and bad input.
#include <set>
#include <string>
#include <vector>

#include "tests/vimbrel_fixture.h"

namespace orv::test {
namespace {

using VimbrelRequestTest = VimbrelTest;

TEST_F(VimbrelRequestTest, VersionAndUsageTexts) {
  start();
  EXPECT_EQ(call("version", "{}"),
            R"({"version":"1.0.0","error":0,"cause":""})");

  const std::string head = "\n\nUsage: [General]\n\n[General]:\n   vimbrel.";
  const std::string user =
      "   user=(int)              file accessed by which "
      "user id (must)\n";
  std::string bits;
  const char* names[] = {"ADDED",      "MOVED",        "COPIED",  "OPENED",
                         "SYNCED",     "DELETED",      "RENAMED", "UPLOADED",
                         "DOWNLOADED", "AUTO_UPLOADED"};
  for (int bit = 0; bit < 10; ++bit) {
    std::string name = names[bit];
    bits += "       " + name + std::string(20 - name.size(), ' ') + "= (1 << " +
            std::to_string(bit) + ")\n";
  }
  const std::pair<const char*, std::string> expected[] = {
      {"version", "version." + head + "version\n\n"},
      {"add",
       "add recent log." + head + "add [Options] [Metadata]\n\n[Options]:\n" +
           "   ip=(str)                IPv4/IPv6 address\n"
           "   app=(str)               from which application (maximum 32 "
           "bytes)\n" +
           user +
           "   path=(str)              file/folder accessed path (must)\n"
           "   action=(int)            action number (must)\n" +
           bits +
           "   client_id=(str)         client id (maximum 64 bytes)\n"
           "   client_app=(str)        client app (maximum 128 bytes)\n"
           "   client_agent=(str)      client agent (maximum 255 bytes)\n\n"
           "[Metadata]:\n"
           "   st_uid=(int)            user ID of owner\n"
           "   st_gid=(int)            group ID of owner\n"
           "   st_size=(int)           total size, in bytes\n"
           "   st_mode=(int)           protection\n"
           "   st_atime=(int)          time of last access\n"
           "   st_ctime=(int)          time of last status change\n"
           "   st_mtime=(int)          time of last modification\n"
           "   display_path=(str)      human readable path\n\n"},
      {"list", "list recent log." + head + "list [Options]\n\n[Options]:\n" +
                   user +
                   "   type=(int)              1: open, 2: delete, 3: "
                   "upload\n\n"},
      {"clear", "clear recent log." + head + "clear [Options]\n\n[Options]:\n" +
                    "   id=(int)                recent id (clear by single "
                    "recent)\n" +
                    user +
                    "   type=(int)              1: open, 2: delete, 3: upload "
                    "(clear by type)\n\n"},
  };
  Json help = call_json("help", "");
  EXPECT_EQ(json_object_size(help.get()), 4u);
  for (const auto& [method, text] : expected) {
    const char* usage = json_string_value(json_object_get(help.get(), method));
    EXPECT_EQ(usage != nullptr ? usage : "", text) << method;
  }
}

TEST_F(VimbrelRequestTest, AddValidationInOrder) {
  start();
  const std::string a = std::to_string(kAlice);
  const auto bytes = [](size_t n) { return std::string(n, 'x'); };
  struct Case {
    std::string params;  // besides "path"
    std::string cause;   // empty: accepted
  };
  const Case cases[] = {
      {R"("user":)" + a + R"(,"action":8,"ip":"192.168.0.1")", ""},
      {R"("user":)" + a + R"(,"action":8,"ip":"::1")", ""},
      {R"("user":)" + a + R"(,"action":8,"ip":"nas.example.com")",
       "nas.example.com"},
      {R"("user":)" + a + R"(,"action":8,"ip":127)", "invalid ip"},
      {R"("user":)" + a + R"(,"action":8,"app":")" + bytes(32) + "\"", ""},
      {R"("user":)" + a + R"(,"action":8,"app":")" + bytes(33) + "\"",
       "invalid app"},
      {R"("user":)" + a + R"(,"action":8,"app":5)", "invalid app"},
      {R"("user":")" + a + R"(","action":8)", ""},
      {R"("action":8)", "invalid user"},
      {R"("user":)" + std::to_string(kNoAccount) + R"(,"action":8)",
       "invalid user"},
      {R"("user":)" + std::to_string(kNoHome) + R"(,"action":8)",
       "invalid user"},
      {R"("user":)" + std::to_string(kFileHome) + R"(,"action":8)",
       "invalid user"},
      // 2^32 + 5001 is not alice.
      {R"("user":4294972297,"action":8)", "invalid user"},
      {R"("user":)" + a, "invalid action"},
      {R"("user":)" + a + R"(,"action":0)", "invalid action"},
      {R"("user":)" + a + R"(,"action":3)", "invalid action"},
      {R"("user":)" + a + R"(,"action":1024)", "invalid action"},
      {R"("user":)" + a + R"(,"action":-8)", "invalid action"},
      {R"("user":)" + a + R"(,"action":4294967304)", "invalid action"},
      {R"("user":)" + a + R"(,"action":"32")", ""},
      {R"("user":)" + a + R"(,"action":512)", ""},
      {R"("user":)" + a + R"(,"action":true)", ""},
      {R"("user":)" + a + R"(,"action":8,"client_id":")" + bytes(64) + "\"",
       ""},
      {R"("user":)" + a + R"(,"action":8,"client_id":")" + bytes(65) + "\"",
       "invalid client_id"},
      {R"("user":)" + a + R"(,"action":8,"client_app":")" + bytes(128) + "\"",
       ""},
      {R"("user":)" + a + R"(,"action":8,"client_app":")" + bytes(129) + "\"",
       "invalid client_app"},
      {R"("user":)" + a + R"(,"action":8,"client_agent":")" + bytes(255) + "\"",
       ""},
      {R"("user":)" + a + R"(,"action":8,"client_agent":")" + bytes(256) + "\"",
       "invalid client_agent"},
      {R"("user":)" + a + R"(,"action":8,"display_path":7)",
       "invalid display_path"},
      // The first failing rule answers.
      {R"("ip":"bad","app":5)", "bad"},
      {R"("app":5,"user":)" + std::to_string(kNoAccount), "invalid app"},
      {R"("user":)" + std::to_string(kNoAccount) + R"(,"action":0)",
       "invalid user"},
      {R"("user":)" + a + R"(,"action":0,"client_id":5)", "invalid action"},
      {R"("user":)" + a + R"(,"action":8,"client_agent":5,"display_path":7)",
       "invalid client_agent"},
  };
  std::vector<std::string> stored;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const std::string path = "/case/" + std::to_string(i);
    const std::string reply =
        call("add", "{\"path\":\"" + path + "\"," + cases[i].params + "}");
    if (cases[i].cause.empty()) {
      EXPECT_EQ(reply, "") << cases[i].params;
      stored.push_back(path);
    } else {
      EXPECT_EQ(reply, R"({"error":2,"cause":")" + cases[i].cause + "\"}")
          << cases[i].params;
    }
  }
  EXPECT_EQ(call("add", R"({"user":5001,"action":8})"),
            R"({"error":2,"cause":"invalid path"})");
  EXPECT_EQ(call("add", R"({"user":5001,"action":8,"path":5})"),
            R"({"error":2,"cause":"invalid path"})");
  // Exactly the accepted ones are stored, in order, under their types.
  std::vector<std::string> rows;
  for (const std::string& path : stored) rows.push_back(path);
  ASSERT_TRUE(wait_rows(kAlice, "SELECT path FROM recent ORDER BY id", rows))
      << ::testing::PrintToString(query(kAlice, "SELECT path FROM recent"));
  EXPECT_EQ(query(kAlice,
                  "SELECT path, type, action, ip FROM recent WHERE path IN "
                  "('/case/0', '/case/1', '/case/19', '/case/20', '/case/21')"),
            (std::vector<std::string>{
                "/case/0|1|8|192.168.0.1", "/case/1|1|8|::1",
                "/case/19|2|32|127.0.0.1", "/case/20|3|512|127.0.0.1",
                "/case/21|3|1|127.0.0.1"}));
}

TEST_F(VimbrelRequestTest, AddStoresTheMetadataObject) {
  start();
  call(
      "add",
      R"({"user":5001,"path":"/m/1","action":8,"type":2,"st_uid":-1,)"
      R"("st_gid":100,"st_size":1000000000000,"st_mode":33188,)"
      R"("st_mtime":"1700000000abc","st_atime":1.5,"display_path":"/Home/x"})");
  call("add", R"({"user":5001,"path":"/m/2","action":8,"app":"files"})");
  ASSERT_TRUE(wait_rows(
      kAlice, "SELECT type, app, metadata FROM recent ORDER BY id",
      {"1|---|{\"st_uid\":4294967295,\"st_gid\":100,\"st_size\":1000000000000,"
       "\"st_mode\":33188,\"st_atime\":0,\"st_ctime\":0,\"st_mtime\":"
       "1700000000,\"display_path\":\"\\/Home\\/x\"}",
       "1|files|{\"st_uid\":0,\"st_gid\":0,\"st_size\":0,\"st_mode\":0,"
       "\"st_atime\":0,\"st_ctime\":0,\"st_mtime\":0}"}))
      << ::testing::PrintToString(query(kAlice, "SELECT metadata FROM recent"));
  // A list carries the metadata's members after the row's own.
  Json list = call_json("list", R"({"user":5001,"type":1})");
  json_t* newest = json_array_get(json_object_get(list.get(), "data"), 1);
  std::vector<std::string> keys;
  const char* key;
  json_t* value;
  json_object_foreach(newest, key, value) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{
                      "id", "ip", "app", "user", "type", "path", "time",
                      "action", "client_id", "client_app", "client_agent",
                      "st_uid", "st_gid", "st_size", "st_mode", "st_atime",
                      "st_ctime", "st_mtime", "display_path"}));
}

TEST_F(VimbrelRequestTest, ListAndClearRefusals) {
  start();
  const std::pair<const char*, std::string> refused[] = {
      {"list", R"({"user":5001,"type":4})"},
      {"list", R"({"user":5001,"type":0})"},
      {"list", R"({"user":5001,"type":-1})"},
      {"list", R"({"user":5001,"type":"abc"})"},
      {"list", R"({"user":5001,"type":4294967297})"},
      {"clear", R"({"user":5001,"type":4})"},
      {"clear", R"({"user":5001,"type":null})"},
  };
  for (const auto& [method, body] : refused) {
    EXPECT_EQ(call(method, body), R"({"error":2,"cause":"invalid type"})")
        << method << " " << body;
  }
  for (const char* method : {"list", "clear"}) {
    EXPECT_EQ(call(method, R"({"type":1})"),
              R"({"error":2,"cause":"invalid user"})");
    EXPECT_EQ(call(method, R"({"user":5999,"type":1})"),
              R"({"error":2,"cause":"invalid user"})");
  }
  Json untyped = call_json("list", R"({"user":5001,"id":3})");
  EXPECT_EQ(json_text(json_object_get(untyped.get(), "data")), "[]");
  EXPECT_EQ(json_integer_value(json_object_get(untyped.get(), "error")), 0);
}

TEST_F(VimbrelRequestTest, BadInputGetsItsReplyAndStoresNothing) {
  start();
  const char* values[] = {"null", "true",  "false", "0",     "-1", "1.5",
                          "\"\"", "\"x\"", "[]",    "[1,2]", "{}", "{\"a\":1}"};
  const char* params[] = {"ip",         "app",          "user",
                          "path",       "action",       "client_id",
                          "client_app", "client_agent", "display_path",
                          "st_uid",     "st_size",      "st_mtime"};
  std::set<std::string> refused;
  int serial = 0;
  for (const char* param : params) {
    for (const char* value : values) {
      const std::string path = "/bad/" + std::to_string(serial++);
      std::string body = "{\"user\":5001,\"action\":8,\"path\":\"" + path +
                         "\",\"" + param + "\":" + value + "}";
      std::string reply;
      ASSERT_EQ(post("add", body, &reply), HV_OK) << body;
      if (!reply.empty()) {
        Json parsed = Json::adopt(json_loads(reply.c_str(), 0, nullptr));
        EXPECT_EQ(json_integer_value(json_object_get(parsed.get(), "error")), 2)
            << body << " -> " << reply;
        refused.insert(path);
      }
      for (const char* method : {"list", "clear"}) {
        // Bob's: a clear of type 1 must not empty alice's log.
        std::string other = std::string("{\"user\":5002,\"type\":1,\"") +
                            param + "\":" + value + "}";
        ASSERT_EQ(post(method, other, &reply), HV_OK) << method << other;
      }
    }
  }
  // Not JSON, a NUL escape, bytes that are not UTF-8: an empty object.
  for (const std::string& body :
       {std::string("{{{"),
        std::string(R"({"user":5001,"action":8,"path":"a\u0000"})"),
        std::string("{\"user\":5001,\"action\":8,\"path\":\"\xff\"}")}) {
    EXPECT_EQ(call("add", body), R"({"error":2,"cause":"invalid user"})");
  }
  // Through the query string a NUL and a stray byte reach the parameters.
  EXPECT_EQ(call("add?user=5001&action=8&path=/n%00ul", ""), "");
  EXPECT_EQ(call("add?user=5001&action=8&path=/b%FFd", ""), "");
  EXPECT_EQ(call("add?user=5001&action=8&path=/x&ip=127.0.0.1%00x", ""),
            R"({"error":2,"cause":"127.0.0.1"})");
  const std::string long_path = "/" + std::string(200000, 'L');
  EXPECT_EQ(post("add", add_body(kAlice, long_path)), HV_OK);
  ASSERT_TRUE(wait_until(
      [&] {
        return query(kAlice,
                     "SELECT length(path) FROM recent ORDER BY id DESC "
                     "LIMIT 1") == std::vector<std::string>{"200001"};
      },
      std::chrono::milliseconds(10000)));
  EXPECT_EQ(query(kAlice,
                  "SELECT hex(path) FROM recent WHERE path LIKE '/n%' "
                  "OR path LIKE '/b%d' ORDER BY id"),
            (std::vector<std::string>{"2F6E00756C", "2F62EFBFBD64"}));
  for (const std::string& path : refused) {
    EXPECT_TRUE(
        query(kAlice, "SELECT id FROM recent WHERE path = '" + path + "'")
            .empty())
        << path;
  }
  Json list = call_json("list", R"({"user":5001,"type":1})");
  EXPECT_NE(json_text(list.get()).find("\"\\/n\\u0000ul\""), std::string::npos);
  EXPECT_EQ(call("version", ""), R"({"version":"1.0.0","error":0,"cause":""})");
}

TEST_F(VimbrelRequestTest, BusParametersOverrideTheBody) {
  start();
  EXPECT_EQ(call("add?user=5002&path=/from-bus",
                 R"({"user":5999,"path":"/from-body","action":8})"),
            "");
  EXPECT_TRUE(wait_rows(kBob, "SELECT path FROM recent", {"/from-bus"}));
}

}  // namespace
}  // namespace orv::test
