#include "cache/cache_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "cache/test_util.h"
#include "common/json.h"

namespace orv::test {
namespace {

// One sandbox and live login for every test of this binary.
const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new CacheEnvironment);

using CacheStoreTest = CacheTest;

std::string text_member(const Json& object, const char* key) {
  const char* text = json_string_value(json_object_get(object.get(), key));
  return text != nullptr ? text : "<none>";
}

json_int_t int_member(const Json& object, const char* key) {
  return json_integer_value(json_object_get(object.get(), key));
}

TEST_F(CacheStoreTest, EmptyListIsAValidCache) {
  ErrorRecord error;
  std::string uuid;
  {
    CacheStore store(1, true);
    Json made = store.set({}, &error);
    ASSERT_TRUE(error.ok()) << error.message;
    EXPECT_EQ(json_text(json_object_get(made.get(), "cluster")), "[]");
    EXPECT_EQ(int_member(made, "total"), 0);
    uuid = text_member(made, "uuid");
    EXPECT_EQ(uuid.size(), 36u);
    EXPECT_EQ(uuid, store.uuid());
  }
  CacheStore store(1, false);
  auto formatter = std::make_shared<RecordingFormatter>();
  Json page = store.fetch(uuid, 0, 500, formatter, &error);
  ASSERT_TRUE(error.ok()) << error.message;
  EXPECT_EQ(json_text(page.get()),
            R"({"datas":[],"total":0,"changed":false,"page_member":true})");
}

TEST_F(CacheStoreTest, ListWithoutGroupingKeepsListOrderAndOneEmptyCluster) {
  ErrorRecord error;
  CacheStore store(2, true);
  Json made = store.set(
      {entry("/share/A", "", "c.txt", 3), entry("/share/A", "", "a.txt", 1),
       entry("/share/A", "", "b", 2)},
      &error);
  ASSERT_TRUE(error.ok()) << error.message;
  EXPECT_EQ(json_text(json_object_get(made.get(), "cluster")),
            R"([{"value":"","count":3}])");
  EXPECT_EQ(int_member(made, "total"), 3);

  auto formatter = std::make_shared<RecordingFormatter>();
  Json page = store.fetch(0, 500, formatter, &error);
  ASSERT_TRUE(error.ok()) << error.message;
  EXPECT_EQ(names(page), (std::vector<std::string>{"c.txt", "a.txt", "b"}));
  ASSERT_EQ(formatter->entries.size(), 3u);
  EXPECT_EQ(formatter->entries[0].extension, "txt");
  EXPECT_EQ(formatter->entries[2].extension, "");
  EXPECT_EQ(formatter->entries[1].stat.st_size, 1);
}

TEST_F(CacheStoreTest, ClustersCountEachKeyInOrderOfItsFirstEntry) {
  ErrorRecord error;
  CacheStore store;
  Json made =
      store.set({entry("/s", "", "1", 0, "b"), entry("/s", "", "2", 0, "a"),
                 entry("/s", "", "3", 0, "b"), entry("/s", "", "4", 0, "c"),
                 entry("/s", "", "5", 0, "a")},
                &error);
  ASSERT_TRUE(error.ok()) << error.message;
  EXPECT_EQ(json_text(json_object_get(made.get(), "cluster")),
            R"([{"value":"b","count":2},{"value":"a","count":2},)"
            R"({"value":"c","count":1}])");
}

// A list sorted across folders visits A, B and A again: each run gets its
// own folder row and every entry comes back under its own folder and alias.
TEST_F(CacheStoreTest, RunsAcrossFoldersKeepEachEntrysFolderAndAlias) {
  ErrorRecord error;
  CacheStore store(1, true);
  store.set({entry("/share/Pub", "/a", "x", 0, "", "Public"),
             entry("/share/Pub", "/b", "y", 0, "", "Public"),
             entry("/share/Pub", "/a", "z", 0, "", "Public"),
             entry("/share/Other", "", "w")},
            &error);
  ASSERT_TRUE(error.ok()) << error.message;
  EXPECT_EQ(store.paths(),
            (std::vector<std::string>{"", "/share/Pub/a", "/share/Pub/b",
                                      "/share/Pub/a", "/share/Other"}));
  EXPECT_EQ(store.count(store.uuid()), 4);

  auto formatter = std::make_shared<RecordingFormatter>();
  Json page = store.fetch(0, 500, formatter, &error);
  EXPECT_EQ(int_member(page, "total"), 4);
  ASSERT_EQ(formatter->entries.size(), 4u);
  const char* folders[] = {"/share/Pub/a", "/share/Pub/b", "/share/Pub/a",
                           "/share/Other"};
  const char* aliases[] = {"/Public/a", "/Public/b", "/Public/a", ""};
  const char* names[] = {"x", "y", "z", "w"};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(formatter->entries[i].path, folders[i]);
    EXPECT_EQ(formatter->entries[i].alias, aliases[i]);
    EXPECT_EQ(formatter->entries[i].name, names[i]);
    EXPECT_EQ(formatter->entries[i].sub_path, "");
  }
}

TEST_F(CacheStoreTest, PagesTakeTheLowBitsOfOffsetAndLimit) {
  std::vector<Entry> list;
  for (int i = 0; i < 10; ++i)
    list.push_back(entry("/s", "", std::to_string(i)));
  CacheStore store;
  ErrorRecord error;
  store.set(list, &error);
  ASSERT_TRUE(error.ok()) << error.message;

  struct Case {
    int64_t offset;
    int64_t limit;
    std::vector<std::string> names;
  } cases[] = {
      {0, 3, {"0", "1", "2"}},
      {8, 5, {"8", "9"}},
      {10, 5, {}},
      {1000, 5, {}},
      {-5, 2, {"0", "1"}},                            // negative offset: from 0
      {(int64_t{1} << 32) + 7, 50, {"7", "8", "9"}},  // low 32 bits
      {4, (int64_t{1} << 32) + 1, {"4"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.offset << "/" << c.limit);
    Json page = store.fetch(c.offset, c.limit,
                            std::make_shared<RecordingFormatter>(), &error);
    ASSERT_TRUE(error.ok()) << error.message;
    EXPECT_EQ(names(page), c.names);
    EXPECT_EQ(int_member(page, "total"), 10);
  }

  // Without a formatter the page is read but nothing is shown.
  Json bare = store.fetch(0, 50, nullptr, &error);
  EXPECT_EQ(json_text(bare.get()),
            R"({"datas":[],"total":10,"changed":false})");
}

TEST_F(CacheStoreTest, UnknownUuidIsInvalid) {
  CacheStore store(1, true);
  ErrorRecord error;
  store.set({entry("/s", "", "a")}, &error);
  LogCapture log;
  const std::string other = "00000000-0000-0000-0000-000000000000";
  Json page = store.fetch(other, 0, 50, nullptr, &error);
  EXPECT_FALSE(page);
  EXPECT_EQ(error.code, 2);
  EXPECT_STREQ(error.message, "invalid uuid");
  EXPECT_TRUE(log.has("[W] orv-service(")) << log.text();
  EXPECT_TRUE(log.has("[cache] uuid " + other + " invalid")) << log.text();
}

TEST_F(CacheStoreTest, RemoveTwiceThenFetch) {
  ErrorRecord error;
  CacheStore store(1, true);
  store.set({entry("/s", "", "a"), entry("/s", "", "b")}, &error);
  const std::string uuid = store.uuid();

  CacheStore reader(1, false);
  {
    LogCapture log;
    reader.remove(uuid, &error);
    EXPECT_TRUE(error.ok()) << error.message;
    EXPECT_TRUE(log.has("[I] orv-service(")) << log.text();
    EXPECT_TRUE(log.has("[cache] uuid " + uuid + " deleted")) << log.text();
  }
  {
    LogCapture log;
    reader.remove(uuid, &error);
    EXPECT_EQ(error.code, 3);
    EXPECT_STREQ(error.message, "uuid not found");
    EXPECT_FALSE(log.has("deleted"));
  }
  clear_error(&error);
  EXPECT_FALSE(reader.fetch(uuid, 0, 50, nullptr, &error));
  EXPECT_STREQ(error.message, "invalid uuid");
  EXPECT_TRUE(std::filesystem::exists(slot_file(1)));  // The file stays.
}

TEST_F(CacheStoreTest, RewritingASlotInvalidatesItsOldListOnly) {
  ErrorRecord error;
  std::string first, second, third;
  {
    CacheStore one(1, true);
    one.set({entry("/s", "", "first")}, &error);
    first = one.uuid();
    CacheStore two(2, true);
    two.set({entry("/s", "", "second")}, &error);
    second = two.uuid();
  }
  // A reader that opened slot 1 before the rewrite keeps its file, and with
  // it the list it had.
  CacheStore old_reader(1, false);
  {
    CacheStore one(1, true);
    one.set({entry("/s", "", "third")}, &error);
    third = one.uuid();
  }
  ASSERT_TRUE(error.ok()) << error.message;
  auto formatter = std::make_shared<RecordingFormatter>();
  EXPECT_EQ(names(old_reader.fetch(first, 0, 50, formatter, &error)),
            std::vector<std::string>{"first"});

  CacheStore one(1, false);
  CacheStore two(2, false);
  EXPECT_EQ(names(one.fetch(third, 0, 50, formatter, &error)),
            std::vector<std::string>{"third"});
  EXPECT_EQ(names(two.fetch(second, 0, 50, formatter, &error)),
            std::vector<std::string>{"second"});
  ASSERT_TRUE(error.ok()) << error.message;
  EXPECT_FALSE(one.fetch(first, 0, 50, formatter, &error));
  EXPECT_STREQ(error.message, "invalid uuid");
  clear_error(&error);
  EXPECT_FALSE(one.fetch(second, 0, 50, formatter, &error));  // Other slot's.
  EXPECT_STREQ(error.message, "invalid uuid");
}

TEST_F(CacheStoreTest, StatRecordRoundTripsWhole) {
  const std::string file = volume_ + "/report.tar.gz";
  std::ofstream(file) << "twelve bytes";
  Entry original = Entry::from_path(volume_, "report.tar.gz");
  ASSERT_EQ(original.stat.st_size, 12);
  Entry folder = Entry::from_path(CacheEnvironment::root(), "etc");

  CacheStore store;
  ErrorRecord error;
  store.set({original, folder}, &error);
  auto formatter = std::make_shared<RecordingFormatter>();
  store.fetch(0, 50, formatter, &error);
  ASSERT_EQ(formatter->entries.size(), 2u);
  EXPECT_EQ(
      std::memcmp(&formatter->entries[0].stat, &original.stat, kStatRecordSize),
      0);
  EXPECT_EQ(formatter->entries[0].extension, "gz");
  EXPECT_EQ(formatter->entries[1].extension, "");
  EXPECT_TRUE(S_ISDIR(formatter->entries[1].stat.st_mode));
}

// A damaged file may hold stat BLOBs of any length: what is there is used,
// the rest of the record stays zero, and nothing beyond the BLOB is read.
TEST_F(CacheStoreTest, StatBlobsOfAnotherLengthAreReadWithinTheBlob) {
  CacheStore store;
  ErrorRecord error;
  store.set({entry("/s", "", "short", 99), entry("/s", "", "long", 99),
             entry("/s", "", "empty", 99)},
            &error);
  struct stat longer[2] = {};
  longer[0].st_size = 77;
  std::memset(&longer[1], 0xff, sizeof(longer[1]));
  sqlite3_stmt* update = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(store.connection(),
                               "UPDATE entry SET stat = ? WHERE rowid = ?", -1,
                               &update, nullptr),
            SQLITE_OK);
  const unsigned char bytes[] = {1, 2, 3, 4, 5};
  sqlite3_bind_blob(update, 1, bytes, sizeof(bytes), SQLITE_STATIC);
  sqlite3_bind_int(update, 2, 1);
  EXPECT_EQ(sqlite3_step(update), SQLITE_DONE);
  sqlite3_reset(update);
  sqlite3_bind_blob(update, 1, longer, 200, SQLITE_STATIC);
  sqlite3_bind_int(update, 2, 2);
  EXPECT_EQ(sqlite3_step(update), SQLITE_DONE);
  sqlite3_reset(update);
  sqlite3_bind_zeroblob(update, 1, 0);
  sqlite3_bind_int(update, 2, 3);
  EXPECT_EQ(sqlite3_step(update), SQLITE_DONE);
  sqlite3_finalize(update);

  auto formatter = std::make_shared<RecordingFormatter>();
  store.fetch(0, 50, formatter, &error);
  ASSERT_TRUE(error.ok()) << error.message;
  ASSERT_EQ(formatter->entries.size(), 3u);
  struct stat expected {};
  std::memcpy(&expected, bytes, sizeof(bytes));
  EXPECT_EQ(
      std::memcmp(&formatter->entries[0].stat, &expected, sizeof(expected)), 0);
  EXPECT_EQ(formatter->entries[1].stat.st_size, 77);
  EXPECT_EQ(formatter->entries[2].stat.st_size, 0);
}

TEST_F(CacheStoreTest, DediacriticalFoldsTextAndNothingElse) {
  CacheStore store(1, true);
  sqlite3_stmt* query = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(store.connection(),
                               "SELECT DEDIACRITICAL('Évènement'), "
                               "DEDIACRITICAL(5), DEDIACRITICAL(NULL), "
                               "DEDIACRITICAL('ÅNGSTRÖM 東京')",
                               -1, &query, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(query, 0)),
               "evenement");
  EXPECT_EQ(sqlite3_column_type(query, 1), SQLITE_NULL);
  EXPECT_EQ(sqlite3_column_type(query, 2), SQLITE_NULL);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(query, 3)),
               "angstrom 東京");
  sqlite3_finalize(query);
}

bool slot_two_changed(size_t index) { return index == 2; }

TEST_F(CacheStoreTest, ChangedComesFromTheWatcherOfTheSlot) {
  ErrorRecord error;
  CacheStore one(1, true), two(2, true), memory;
  for (CacheStore* store : {&one, &two, &memory}) store->set({}, &error);
  auto changed = [&](CacheStore& store) {
    return json_is_true(
        json_object_get(store.fetch(0, 50, nullptr, &error).get(), "changed"));
  };
  EXPECT_FALSE(changed(two));  // No watcher has answered yet.
  set_change_probe(&slot_two_changed);
  EXPECT_FALSE(changed(one));
  EXPECT_TRUE(changed(two));
  EXPECT_FALSE(changed(memory));  // The in-memory list has no watcher.
  set_change_probe(nullptr);
  EXPECT_FALSE(changed(two));
}

TEST_F(CacheStoreTest, TraceLinePerEntry) {
  setenv("TZ", "UTC", 1);
  tzset();
  Entry file = entry("/share/A", "/sub", "x.txt", 12);
  file.stat.st_mtime = 1714564800;  // 2024-05-01 12:00 UTC
  Entry folder = entry("/share/A", "", "dir", 4096);
  folder.stat.st_mode = S_IFDIR | 0755;
  folder.stat.st_mtime = 1704110400;  // 2024-01-01 12:00 UTC
  CacheStore store;
  ErrorRecord error;
  LogCapture log(8);
  store.set({file, folder}, &error);
  EXPECT_TRUE(log.has("[T] orv-service("));
  EXPECT_TRUE(
      log.has("set() [cache] /share/A/sub/x.txt isdir=0, size=12, "
              "modify=2024-5-1\n"))
      << log.text();
  EXPECT_TRUE(
      log.has("[cache] /share/A/dir isdir=1, size=4096, "
              "modify=2024-1-1\n"))
      << log.text();
  EXPECT_TRUE(log.has("[cache] uuid " + store.uuid() + " created"));
}

// A database locked by another process fails the write at once: the error
// is logged and reported, and no part of the list is kept.
TEST_F(CacheStoreTest, LockedDatabaseFailsTheWrite) {
  CacheStore store(1, true);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(slot_file(1).c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr),
            SQLITE_OK);
  ErrorRecord error;
  {
    LogCapture log;
    EXPECT_FALSE(store.set({entry("/s", "", "a")}, &error));
    EXPECT_EQ(error.code, 3);
    EXPECT_STREQ(error.message, "cache failure");
    EXPECT_TRUE(log.has("[E] orv-service(")) << log.text();
    EXPECT_TRUE(log.has("[cache] database is locked")) << log.text();
    EXPECT_FALSE(log.has("created"));
  }
  sqlite3_exec(other, "ROLLBACK;", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  clear_error(&error);
  CacheStore reader(1, false);
  EXPECT_FALSE(reader.fetch(store.uuid(), 0, 50, nullptr, &error));
  EXPECT_STREQ(error.message, "invalid uuid");
}

// A reader in the middle of a page holds the file for a moment; the writer's
// commit waits for it rather than dropping a finished list.
TEST_F(CacheStoreTest, CommitWaitsForAReaderToFinish) {
  CacheStore store(1, true);
  store.create_tables();
  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open(slot_file(1).c_str(), &reader), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT COUNT(*) FROM cache;", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  ASSERT_EQ(store.begin(), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(store.connection(),
                         "INSERT INTO cache VALUES ('u', '', '');", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  std::thread finish([reader] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    sqlite3_exec(reader, "COMMIT;", nullptr, nullptr, nullptr);
  });
  EXPECT_EQ(store.commit(), SQLITE_OK);
  finish.join();
  sqlite3_close(reader);
  EXPECT_TRUE(CacheStore(1, false).exists("u"));
}

}  // namespace
}  // namespace orv::test
