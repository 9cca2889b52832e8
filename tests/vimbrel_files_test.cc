// What vimbrel does to the files in its users' home folders: new databases
// belong to their users, a damaged one is replaced without losing the event
// in hand, a locked one is kept and delays no other user, and anything but a
// regular file at ".recent" (a link, a folder, a FIFO) is left as it is and
// never followed.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/vimbrel_fixture.h"

namespace orv::test {
namespace {

using std::chrono::milliseconds;
using VimbrelFilesTest = VimbrelTest;

TEST_F(VimbrelFilesTest, NewAndDamagedDatabasesBelongToTheirUsers) {
  Process& daemon = start();
  // Bob's file holds no database: it is replaced, and the add that found
  // it is stored in the fresh one.
  sandbox_.write_file(home_name(kBob) + "/.recent", "not a database", 0600);
  ASSERT_EQ(chown(db(kBob).c_str(), kBob, kBob), 0);
  call("add", add_body(kAlice, "/new"));
  call("add", add_body(kBob, "/after-damage"));
  EXPECT_TRUE(wait_rows(kAlice, "SELECT path FROM recent", {"/new"}));
  EXPECT_TRUE(wait_rows(kBob, "SELECT path FROM recent", {"/after-damage"}));
  for (int uid : {kAlice, kBob}) {
    struct stat st {};
    ASSERT_EQ(lstat(db(uid).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, static_cast<uid_t>(uid));
    EXPECT_EQ(st.st_gid, static_cast<gid_t>(uid));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(
        count_of(daemon.err(), "[INFO] [database] initial " + db(uid) + "\n"),
        1u);
  }
  EXPECT_NE(daemon.err().find("[ERROR] [database] " + db(kBob) +
                              " : file is not a database\n"),
            std::string::npos)
      << daemon.err();
  // A list for a user who never added anything leaves a fresh database.
  EXPECT_EQ(json_text(json_object_get(
                call_json("list", R"({"user":5003,"type":1})").get(), "data")),
            "[]");
  EXPECT_NE(daemon.err().find(db(kCarol) + " : no such table: recent\n"),
            std::string::npos);
  EXPECT_EQ(query(kCarol, "SELECT COUNT(*) FROM recent"),
            std::vector<std::string>{"0"});
}

// A user may rewrite their own log with objects that would keep the writer,
// which every user shares, busy without end: a trigger of their own, a view
// in the table's place. Such a file is not the log's and is made afresh.
TEST_F(VimbrelFilesTest, DatabaseWithObjectsOfTheUsersOwnIsMadeAfresh) {
  Process& daemon = start();
  call("add", add_body(kDave, "/first"));
  call("add", add_body(kErin, "/first"));
  ASSERT_TRUE(wait_rows(kDave, "SELECT path FROM recent", {"/first"}));
  ASSERT_TRUE(wait_rows(kErin, "SELECT path FROM recent", {"/first"}));
  const std::pair<int, const char*> rewrites[] = {
      {kDave,
       "CREATE TRIGGER endless AFTER INSERT ON recent BEGIN SELECT count(*) "
       "FROM (WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) "
       "SELECT i FROM n); END;"},
      {kErin,
       "DROP TABLE recent; CREATE VIEW recent AS WITH RECURSIVE n(i) AS "
       "(SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT i id, '' ip, '' app, "
       "0 user, 1 type, 'p' || i path, 0 time, 0 action, '' client_id, '' "
       "client_app, '' client_agent, '{}' metadata FROM n;"},
  };
  for (const auto& [uid, sql] : rewrites) {
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db(uid).c_str(), &handle), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(handle, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(handle);
  }
  for (int uid : {kDave, kErin, kAlice}) call("add", add_body(uid, "/next"));
  // Not a query of the user's file before it is replaced: the view is endless.
  ASSERT_TRUE(wait_until(
      [&] {
        return count_of(daemon.err(), " : not the schema of a recent log\n") ==
               2;
      },
      milliseconds(10000)))
      << daemon.err();
  for (int uid : {kAlice, kDave, kErin}) {
    EXPECT_TRUE(wait_rows(uid, "SELECT path FROM recent", {"/next"}))
        << daemon.err();
  }
}

TEST_F(VimbrelFilesTest, LockedDatabaseIsKept) {
  Process& daemon = start();
  for (const char* path : {"/one", "/two", "/three"}) {
    call("add", add_body(kAlice, path));
  }
  ASSERT_TRUE(wait_rows(kAlice, "SELECT COUNT(*) FROM recent", {"3"}));
  struct stat before {};
  ASSERT_EQ(stat(db(kAlice).c_str(), &before), 0);
  // Another program holds the database past the daemon's busy timeout.
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(db(kAlice).c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr),
            SQLITE_OK);
  Json locked = call_json("list", R"({"user":5001,"type":1})");
  EXPECT_EQ(json_text(json_object_get(locked.get(), "data")), "[]");
  const std::string line =
      "[ERROR] [database] " + db(kAlice) + " : database is locked\n";
  EXPECT_EQ(count_of(daemon.err(), line), 1u) << daemon.err();
  // An add is kept while the database stays held, but not for longer than
  // the busy timeout: then it is dropped with the same line.
  call("add", add_body(kAlice, "/lost"));
  EXPECT_TRUE(wait_until([&] { return count_of(daemon.err(), line) == 2; },
                         milliseconds(20000)))
      << daemon.err();
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  struct stat after {};
  ASSERT_EQ(stat(db(kAlice).c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(count_of(daemon.err(), "initial " + db(kAlice)), 1u);
  Json list = call_json("list", R"({"user":5001,"type":1})");
  EXPECT_EQ(json_array_size(json_object_get(list.get(), "data")), 3u);
}

// While another program holds alice's database, only alice waits: version,
// bob's list and bob's adds are served while the lock is held (they used to
// wait out the busy timeout behind her), and her adds are written once the
// database is free.
TEST_F(VimbrelFilesTest, LockedDatabaseDelaysOnlyItsUser) {
  start();
  for (int uid : {kAlice, kBob}) {
    call("add", add_body(uid, "/before"));
    ASSERT_TRUE(wait_rows(uid, "SELECT path FROM recent", {"/before"}));
  }
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(db(kAlice).c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr),
            SQLITE_OK);
  constexpr int kSoon = 5;  // seconds; the busy timeout is 10
  // Ten times as many lists of alice's as the daemon has threads for lists:
  // if she could take them all, their waits would add up past kSoon.
  constexpr int kLists = 40;
  std::atomic<int> answered{0};
  std::vector<std::thread> lists;
  for (int i = 0; i < kLists; ++i) {
    lists.emplace_back([&] {
      if (post("list", R"({"user":5001,"type":2})") == HV_OK) ++answered;
    });
  }
  call("add", add_body(kAlice, "/during"));
  std::this_thread::sleep_for(milliseconds(200));  // her lists come first

  std::string reply;
  EXPECT_EQ(post("version", "", &reply, kSoon), HV_OK);
  EXPECT_EQ(reply, R"({"version":"1.0.0","error":0,"cause":""})");
  EXPECT_EQ(post("list", R"({"user":5002,"type":1})", &reply, kSoon), HV_OK);
  EXPECT_NE(reply.find(R"("path":"\/before")"), std::string::npos) << reply;
  call("add", add_body(kBob, "/during"));
  EXPECT_TRUE(wait_rows(kBob, "SELECT COUNT(*) FROM recent", {"2"},
                        milliseconds(kSoon * 1000)));

  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  for (std::thread& list : lists) list.join();
  EXPECT_EQ(answered, kLists);
  EXPECT_TRUE(wait_rows(kAlice, "SELECT path FROM recent ORDER BY id",
                        {"/before", "/during"}));
}

// Each kind of thing a user may put at ".recent" in place of a database.
struct Planted {
  const char* kind;
  std::function<void(const std::string&)> plant;
};

TEST_F(VimbrelFilesTest, AnythingButARegularFileIsLeftAsItIs) {
  Process& daemon = start();
  sandbox_.write_file("secret", "root's own\n", 0644);
  const std::string secret = sandbox_.path("secret");
  // Bob's database, with one event, as the target of a link.
  call("add", add_body(kBob, "/bobs"));
  ASSERT_TRUE(wait_rows(kBob, "SELECT path FROM recent", {"/bobs"}));
  const std::string bobs = sandbox_.read_file(home_name(kBob) + "/.recent");

  const Planted planted[] = {
      {"link to a file of root's",
       [&](const std::string& at) {
         ASSERT_EQ(symlink(secret.c_str(), at.c_str()), 0);
       }},
      {"link to another user's database",
       [&](const std::string& at) {
         ASSERT_EQ(symlink(db(kBob).c_str(), at.c_str()), 0);
       }},
      {"folder",
       [&](const std::string& at) {
         ASSERT_EQ(mkdir(at.c_str(), 0700), 0);
         sandbox_.write_file(home_name(kAlice) + "/.recent/kept", "mine");
       }},
      {"fifo",
       [&](const std::string& at) { ASSERT_EQ(mkfifo(at.c_str(), 0600), 0); }},
  };
  const std::string at = db(kAlice);
  for (const Planted& p : planted) {
    SCOPED_TRACE(p.kind);
    std::filesystem::remove_all(at);
    p.plant(at);
    struct stat before {};
    ASSERT_EQ(lstat(at.c_str(), &before), 0);
    size_t logged = count_of(daemon.err(), at + " : not a regular file");
    // add, list and clear are answered; none of them touches the thing.
    EXPECT_EQ(call("add", add_body(kAlice, "/lost")), "");
    Json list = call_json("list", R"({"user":5001,"type":1})");
    EXPECT_EQ(json_text(json_object_get(list.get(), "data")), "[]");
    EXPECT_EQ(call("clear", R"({"user":5001,"type":1})"), "");
    // Handled after alice's clear, on the same thread: once it is stored,
    // alice's requests have all run.
    const std::string barrier = "/after/" + std::to_string(&p - planted);
    call("add", add_body(kCarol, barrier));
    ASSERT_TRUE(wait_rows(
        kCarol, "SELECT COUNT(*) FROM recent WHERE path = '" + barrier + "'",
        {"1"}));
    EXPECT_EQ(count_of(daemon.err(), at + " : not a regular file"),
              logged + 3);  // once per operation
    struct stat now {};
    ASSERT_EQ(lstat(at.c_str(), &now), 0);
    EXPECT_EQ(now.st_mode, before.st_mode);
    EXPECT_EQ(now.st_ino, before.st_ino);
    EXPECT_EQ(sandbox_.read_file("secret"), "root's own\n");
    EXPECT_EQ(sandbox_.read_file(home_name(kBob) + "/.recent"), bobs);
    EXPECT_EQ(sandbox_.read_file(home_name(kAlice) + "/.recent/kept"),
              S_ISDIR(now.st_mode) ? "mine" : "");
  }
  EXPECT_TRUE(daemon.running());
}

}  // namespace
}  // namespace orv::test
