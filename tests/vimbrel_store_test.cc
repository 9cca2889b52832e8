// vimbrel's store through the daemon: what a list answers, rotation, what a
// clear deletes, the times in their zone, and the write queue (order per
// user, nothing lost at SIGTERM, the limits of 5000 and of a user's share).
#include <signal.h>
#include <sqlite3.h>

#include <ctime>
#include <string>
#include <vector>

#include "tests/vimbrel_fixture.h"

namespace orv::test {
namespace {

using std::chrono::milliseconds;
using VimbrelStoreTest = VimbrelTest;

std::vector<std::string> paths_of(const Json& list) {
  std::vector<std::string> paths;
  size_t i;
  json_t* entry;
  json_array_foreach(json_object_get(list.get(), "data"), i, entry) {
    paths.push_back(json_string_value(json_object_get(entry, "path")));
  }
  return paths;
}

TEST_F(VimbrelStoreTest, ListsEachPathOnceNewestFirstAtMost100) {
  start();
  // 105 paths, then /p/7 again: 106 rows, below the rotation.
  for (int i = 0; i < 105; ++i) {
    ASSERT_EQ(post("add", add_body(kAlice, "/p/" + std::to_string(i))), HV_OK);
  }
  ASSERT_EQ(post("add", add_body(kAlice, "/p/7")), HV_OK);
  ASSERT_TRUE(wait_rows(kAlice, "SELECT COUNT(*) FROM recent", {"106"}));
  std::vector<std::string> expected{"/p/7"};
  for (int i = 104; expected.size() < 100; --i) {
    if (i != 7) expected.push_back("/p/" + std::to_string(i));
  }
  EXPECT_EQ(paths_of(call_json("list", R"({"user":5001,"type":1})")), expected);
  EXPECT_TRUE(paths_of(call_json("list", R"({"user":5001,"type":2})")).empty());
  EXPECT_TRUE(paths_of(call_json("list", R"({"user":5001})")).empty());
}

// A list read once is answered again from memory while its file stays as it
// was; every change, whoever makes it, shows in the next list.
TEST_F(VimbrelStoreTest, RepeatedListsSeeEveryChange) {
  start();
  const std::string list = R"({"user":5001,"type":1})";
  call("add", add_body(kAlice, "/first"));
  ASSERT_TRUE(wait_rows(kAlice, "SELECT COUNT(*) FROM recent", {"1"}));
  EXPECT_EQ(paths_of(call_json("list", list)),
            std::vector<std::string>{"/first"});
  EXPECT_EQ(paths_of(call_json("list", list)),
            std::vector<std::string>{"/first"});
  call("add", add_body(kAlice, "/second"));
  ASSERT_TRUE(wait_rows(kAlice, "SELECT COUNT(*) FROM recent", {"2"}));
  EXPECT_EQ(paths_of(call_json("list", list)),
            (std::vector<std::string>{"/second", "/first"}));
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(db(kAlice).c_str(), &other), SQLITE_OK);
  // Another program writes into the file, a text that is not UTF-8 too,
  // whose row a list leaves out.
  ASSERT_EQ(sqlite3_exec(other,
                         "UPDATE recent SET path = '/renamed' WHERE path = "
                         "'/first'; INSERT INTO recent (type, path) VALUES "
                         "(1, CAST(X'2FFF' AS TEXT))",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(other);
  EXPECT_EQ(paths_of(call_json("list", list)),
            (std::vector<std::string>{"/second", "/renamed"}));
  call("clear", R"({"user":5001,"type":1,"path":"/second"})");
  ASSERT_TRUE(wait_rows(kAlice, "SELECT COUNT(*) FROM recent", {"2"}));
  EXPECT_EQ(paths_of(call_json("list", list)),
            std::vector<std::string>{"/renamed"});
}

TEST_F(VimbrelStoreTest, RotationKeepsEachTypeOnItsOwn) {
  start();
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(post("add", add_body(kAlice, "/d/" + std::to_string(i), 32)),
              HV_OK);
  }
  for (int i = 0; i < 111; ++i) {
    ASSERT_EQ(post("add", add_body(kAlice, "/o/" + std::to_string(i))), HV_OK);
  }
  // The 111th open deletes the 10 oldest opens: 101 are left.
  EXPECT_TRUE(wait_rows(
      kAlice, "SELECT type, COUNT(*), MIN(path) FROM recent GROUP BY type",
      {"1|101|/o/10", "2|5|/d/0"}))
      << ::testing::PrintToString(
             query(kAlice, "SELECT type, COUNT(*) FROM recent GROUP BY type"));
}

TEST_F(VimbrelStoreTest, ClearDeletesWhatTheRequestNames) {
  start();
  struct Case {
    std::string request;  // besides "user"; $ID and $OTHER are row ids
    std::vector<std::string> left;
  };
  const Case cases[] = {
      {R"("id":$ID)", {"1|/a", "1|/a", "2|/a", "2|/c"}},
      {R"("type":1)", {"2|/a", "2|/c"}},
      {R"("type":1,"path":"/a")", {"1|/b", "2|/a", "2|/c"}},
      {R"("id":$OTHER,"type":1)", {"2|/a"}},
      {R"("path":"/a")", {"1|/a", "1|/a", "1|/b", "2|/a", "2|/c"}},
      {"", {"1|/a", "1|/a", "1|/b", "2|/a", "2|/c"}},
  };
  const std::string rows =
      "SELECT type, path FROM recent WHERE type < 3 ORDER BY type, path";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    for (const char* type : {"1", "2", "3"}) {
      call("clear", std::string(R"({"user":5001,"type":)") + type + "}");
    }
    for (const auto& [path, action] : {std::pair{"/a", 8},
                                       {"/a", 8},
                                       {"/b", 8},
                                       {"/a", 32},
                                       {"/c", 32},
                                       {"/sentinel", 128}}) {
      call("add", add_body(kAlice, path, action));
    }
    ASSERT_TRUE(wait_rows(kAlice, "SELECT COUNT(*) FROM recent", {"6"}));
    std::string request = R"({"user":5001)" +
                          std::string(c.request.empty() ? "" : ",") +
                          c.request + "}";
    const auto id_of = [&](const std::string& where) {
      return query(kAlice, "SELECT id FROM recent WHERE " + where).at(0);
    };
    for (const auto& [mark, where] :
         {std::pair{"$ID", "type = 1 AND path = '/b'"},
          {"$OTHER", "type = 2 AND path = '/c'"}}) {
      size_t at = request.find(mark);
      if (at != std::string::npos) {
        request.replace(at, std::string(mark).size(), id_of(where));
      }
    }
    EXPECT_EQ(call("clear", request), "");
    // Clears run one at a time in order: once the sentinel is gone, the
    // clear before it has run.
    call("clear", R"({"user":5001,"type":3,"path":"/sentinel"})");
    ASSERT_TRUE(
        wait_rows(kAlice, "SELECT COUNT(*) FROM recent WHERE type = 3", {"0"}));
    EXPECT_EQ(query(kAlice, rows), c.left);
  }
}

TEST_F(VimbrelStoreTest, TimesInTheDaemonsZone) {
  for (const auto& [tz, offset, hours] :
       {std::tuple{"CST-8", "+0800", 8}, {"UTC0", "-0000", 0}}) {
    SCOPED_TRACE(tz);
    Process& daemon = start("vimbrel", tz);
    std::string path = std::string("/tz/") + tz;
    call("add", add_body(kAlice, path));
    ASSERT_TRUE(wait_rows(
        kAlice, "SELECT COUNT(*) FROM recent WHERE path = '" + path + "'",
        {"1"}));
    time_t now = std::time(nullptr) + hours * 3600;
    Json list = call_json("list", R"({"user":5001,"type":1})");
    json_t* entry = json_array_get(json_object_get(list.get(), "data"), 0);
    std::string stamp = json_string_value(json_object_get(entry, "time"));
    std::string current = json_string_value(json_object_get(list.get(), "tz"));
    std::string utc = json_string_value(json_object_get(list.get(), "utc"));
    EXPECT_EQ(stamp.substr(19), offset);
    EXPECT_EQ(current.substr(19), offset);
    ASSERT_EQ(utc.size(), 20u) << utc;
    EXPECT_EQ(utc.back(), 'Z');
    // The local fields are those of UTC moved by the zone's offset.
    struct tm fields {};
    gmtime_r(&now, &fields);
    char hour[8];
    std::snprintf(hour, sizeof(hour), "T%02d:", fields.tm_hour);
    EXPECT_EQ(current.substr(10, 4), hour) << current << " " << utc;
    EXPECT_EQ(stamp.substr(10, 4), hour) << stamp;
    daemon.signal(SIGTERM);
    ASSERT_EQ(daemon.wait(milliseconds(5000)), 0);
  }
}

// With the writer held, events of two users wait in one queue; SIGTERM
// writes them all, each user's in order, into each user's own file.
TEST_F(VimbrelStoreTest, QueuedEventsOfTwoUsersAreWrittenAtStop) {
  Process& daemon = start("vimbrel-test-daemon");
  std::vector<std::string> alice;
  std::vector<std::string> bob;
  for (int i = 0; i < 40; ++i) {
    std::string name = "/q/" + std::to_string(i);
    ASSERT_EQ(post("add", add_body(i % 3 == 0 ? kBob : kAlice, name)), HV_OK);
    (i % 3 == 0 ? bob : alice).push_back(name);
  }
  EXPECT_EQ(call("version", ""), R"({"version":"1.0.0","error":0,"cause":""})");
  EXPECT_TRUE(query(kAlice, "SELECT path FROM recent").empty());
  daemon.signal(SIGTERM);
  ASSERT_EQ(daemon.wait(milliseconds(10000)), 0) << daemon.err();
  EXPECT_EQ(query(kAlice, "SELECT path FROM recent ORDER BY id"), alice);
  EXPECT_EQ(query(kBob, "SELECT path FROM recent ORDER BY id"), bob);
  std::string err = daemon.err();
  EXPECT_LT(err.find("[INFO] [database] shutdown\n"),
            err.find("shutdown service\n"));
}

// A user beyond a fifth of the queue loses that user's adds only; beyond
// 5000 in all, the queue drops everybody's. Each drop was answered as a
// success and is logged.
TEST_F(VimbrelStoreTest, FullQueueAndFullShareDropAfterAnswering) {
  Process& daemon = start("vimbrel-test-daemon");
  const auto fill = [&](int uid, int count) {
    for (int i = 0; i < count; ++i) {
      std::string reply = "?";
      ASSERT_EQ(post("add", add_body(uid, "/f/" + std::to_string(i)), &reply),
                HV_OK);
      ASSERT_EQ(reply, "");
    }
  };
  fill(kAlice, 1000);
  EXPECT_EQ(daemon.err().find("over queue size"), std::string::npos);
  EXPECT_EQ(call("add", add_body(kAlice, "/dropped")), "");
  ASSERT_TRUE(daemon.wait_for_err("[WARN] [database] over queue size\n",
                                  milliseconds(5000)));
  fill(kBob, 1);
  for (int uid : {kCarol, kDave, kErin}) fill(uid, 1000);
  fill(kFrank, 1000);  // the last one finds 5000 pending
  daemon.signal(SIGTERM);
  ASSERT_EQ(daemon.wait(milliseconds(30000)), 0);
  EXPECT_EQ(count_of(daemon.err(), "over queue size"), 2u);
  // Ids count the inserts; rotation leaves the last 101 to 110 of them.
  const std::pair<int, const char*> written[] = {
      {kAlice, "1000"}, {kBob, "1"}, {kErin, "1000"}, {kFrank, "999"}};
  for (const auto& [uid, inserts] : written) {
    EXPECT_EQ(query(uid, "SELECT MAX(id) FROM recent"),
              std::vector<std::string>{inserts})
        << uid;
  }
  EXPECT_TRUE(
      query(kAlice, "SELECT id FROM recent WHERE path = '/dropped'").empty());
}

}  // namespace
}  // namespace orv::test
