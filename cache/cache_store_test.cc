#include "cache/cache_store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "cache/test_util.h"

namespace orv::test {
namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new CacheEnvironment);

using CacheStoreTest = CacheTest;

std::string member(const Json& object, const char* key) {
  return json_text(json_object_get(object.get(), key));
}

TEST_F(CacheStoreTest, EmptyListIsAValidCache) {
  ErrorRecord error;
  CacheStore writer = slot(1, true);
  Json made = writer.set({}, &error);
  EXPECT_EQ(member(made, "cluster"), "[]");
  EXPECT_EQ(member(made, "total"), "0");
  EXPECT_EQ(member(made, "uuid"), "\"" + writer.uuid() + "\"");
  EXPECT_EQ(writer.uuid().size(), 36u);

  Json page = slot(1, false).fetch(
      writer.uuid(), 0, 500, std::make_shared<RecordingFormatter>(), &error);
  ASSERT_TRUE(error.ok()) << error.message;
  EXPECT_EQ(json_text(page.get()),
            R"({"datas":[],"total":0,"changed":false,"page_member":true})");
}

// Stores of two sessions in one process each keep to their own slot file,
// named by the session id they were given; a store without an id has none.
TEST_F(CacheStoreTest, StoresOfTwoSessionsKeepToTheirOwnSlots) {
  const std::string other = "Other42x";
  ErrorRecord error;
  CacheStore mine = slot(1, true);
  CacheStore theirs(volume_, other, 1, true);
  mine.set({entry("/s", "mine")}, &error);
  theirs.set({entry("/s", "theirs"), entry("/s", "too")}, &error);
  ASSERT_TRUE(error.ok()) << error.message;
  EXPECT_TRUE(std::filesystem::exists(cache_dir() + "/" + other + ".1"));

  auto formatter = std::make_shared<RecordingFormatter>();
  EXPECT_EQ(names(CacheStore(volume_, other, 1, false)
                      .fetch(theirs.uuid(), 0, 50, formatter, &error)),
            (std::vector<std::string>{"theirs", "too"}));
  EXPECT_EQ(names(slot(1, false).fetch(mine.uuid(), 0, 50, formatter, &error)),
            (std::vector<std::string>{"mine"}));
  ASSERT_TRUE(error.ok()) << error.message;
  EXPECT_FALSE(slot(1, false).fetch(theirs.uuid(), 0, 50, formatter, &error));
  EXPECT_STREQ(error.message, "invalid uuid");

  LogCapture log;
  EXPECT_FALSE(CacheStore(volume_, "", 1, true).connected());
  EXPECT_TRUE(log.has("[cache] no session id"));
}

// A list sorted across folders visits A, B and A again: every entry comes
// back under its own folder and alias, in list order.
TEST_F(CacheStoreTest, ListAcrossFoldersKeepsOrderFoldersAndClusters) {
  ErrorRecord error;
  CacheStore store = slot(2, true);
  Json made = store.set({entry("/share/Pub", "x", "/a", "b", "Public"),
                         entry("/share/Pub", "yy", "/b", "a", "Public"),
                         entry("/share/Pub", "z", "/a", "b", "Public"),
                         entry("/share/Other", "w", "", "c")},
                        &error);
  ASSERT_TRUE(error.ok()) << error.message;
  EXPECT_EQ(member(made, "cluster"),
            R"([{"value":"b","count":2},{"value":"a","count":1},)"
            R"({"value":"c","count":1}])");
  EXPECT_EQ(store.paths(),
            (std::vector<std::string>{"", "/share/Pub/a", "/share/Pub/b",
                                      "/share/Pub/a", "/share/Other"}));
  bool complete = false;
  EXPECT_EQ(store.folders(3, &complete),
            (std::vector<std::string>{"/share/Pub/a", "/share/Pub/b",
                                      "/share/Other"}));
  EXPECT_TRUE(complete);
  EXPECT_EQ(store.folders(2, &complete),
            (std::vector<std::string>{"/share/Pub/a", "/share/Pub/b"}));
  EXPECT_FALSE(complete);
  EXPECT_EQ(slot(2, false).list_uuid(), store.uuid());

  auto formatter = std::make_shared<RecordingFormatter>();
  Json page = store.fetch(0, 500, formatter, &error);
  EXPECT_EQ(member(page, "total"), "4");
  EXPECT_EQ(names(page), (std::vector<std::string>{"x", "yy", "z", "w"}));
  ASSERT_EQ(formatter->entries.size(), 4u);
  const char* folders[] = {"/share/Pub/a", "/share/Pub/b", "/share/Pub/a",
                           "/share/Other"};
  const char* aliases[] = {"/Public/a", "/Public/b", "/Public/a", ""};
  for (size_t i = 0; i < 4; ++i) {
    const Entry& e = formatter->entries[i];
    EXPECT_EQ(e.path, folders[i]) << i;
    EXPECT_EQ(e.alias, aliases[i]) << i;
    EXPECT_EQ(e.stat.st_size, static_cast<off_t>(e.name.size())) << i;
  }
}

// set() tallies the summary while it writes; it must be what the stored rows
// give, keys stored up to a zero byte and counted apart from their runs.
TEST_F(CacheStoreTest, SummaryOfSetIsThatOfTheStoredRows) {
  ErrorRecord error;
  CacheStore store = slot(1, true);
  Json made = store.set({entry("/s", "1", "", "b"), entry("/s", "2", "", "a"),
                         entry("/s", "3", "", std::string("b\0z", 3)),
                         entry("/s", "4", "", ""), entry("/s", "5", "", "a")},
                        &error);
  ASSERT_TRUE(error.ok()) << error.message;
  EXPECT_EQ(member(made, "cluster"),
            R"([{"value":"b","count":2},{"value":"a","count":2},)"
            R"({"value":"","count":1}])");
  EXPECT_EQ(member(made, "cluster"), json_text(store.clusters().get()));
}

TEST_F(CacheStoreTest, PagesTakeTheLowBitsOfOffsetAndLimit) {
  std::vector<Entry> list;
  for (int i = 0; i < 10; ++i) list.push_back(entry("/s", std::to_string(i)));
  CacheStore store;
  ErrorRecord error;
  store.set(list, &error);
  const int64_t k32 = int64_t{1} << 32;
  struct {
    int64_t offset, limit;
    std::vector<std::string> names;
  } cases[] = {
      {0, 3, {"0", "1", "2"}},
      {8, 5, {"8", "9"}},
      {10, 5, {}},
      {-5, 2, {"0", "1"}},
      {k32 + 7, 50, {"7", "8", "9"}},
      {4, k32 + 1, {"4"}},
  };
  for (const auto& c : cases) {
    Json page = store.fetch(c.offset, c.limit,
                            std::make_shared<RecordingFormatter>(), &error);
    EXPECT_EQ(names(page), c.names) << c.offset << "/" << c.limit;
    EXPECT_EQ(member(page, "total"), "10");
  }
  EXPECT_EQ(json_text(store.fetch(0, 50, nullptr, &error).get()),
            R"({"datas":[],"total":10,"changed":false})");
  EXPECT_TRUE(error.ok()) << error.message;
}

// Writes `entries` into slot `index` through a store of its own (which holds
// the slot's writer lock while it lives); the list's uuid.
std::string write_list(size_t index, const std::vector<Entry>& entries) {
  ErrorRecord error;
  CacheStore writer = slot(index, true);
  writer.set(entries, &error);
  EXPECT_TRUE(error.ok()) << error.message;
  return writer.uuid();
}

TEST_F(CacheStoreTest, RemoveTwiceThenFetchIsInvalid) {
  ErrorRecord error;
  const std::string uuid = write_list(1, {entry("/s", "a")});
  CacheStore store = slot(1, false);
  {
    LogCapture log;
    store.remove(uuid, &error);
    EXPECT_TRUE(error.ok()) << error.message;
    EXPECT_TRUE(log.has("[I] orv-service("));
    EXPECT_TRUE(log.has("[cache] uuid " + uuid + " deleted"));
  }
  store.remove(uuid, &error);
  EXPECT_EQ(error.code, 3);
  EXPECT_STREQ(error.message, "uuid not found");

  clear_error(&error);
  LogCapture log;
  EXPECT_FALSE(store.fetch(uuid, 0, 50, nullptr, &error));
  EXPECT_EQ(error.code, 2);
  EXPECT_STREQ(error.message, "invalid uuid");
  EXPECT_TRUE(log.has("[W] orv-service("));
  EXPECT_TRUE(log.has("[cache] uuid " + uuid + " invalid"));
  EXPECT_TRUE(std::filesystem::exists(slot_file(1)));  // The file stays.
}

// A delete that was not committed is a failure, not a missing list: with a
// reader holding the file past the commit's patience the list stays, and the
// reply says so.
TEST_F(CacheStoreTest, DeleteThatCannotCommitFailsAndKeepsTheList) {
  const std::string uuid = write_list(1, {entry("/s", "a")});
  sqlite3* reader = nullptr;
  sqlite3_open(slot_file(1).c_str(), &reader);
  ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT COUNT(*) FROM cache;", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  ErrorRecord error;
  slot(1, false).remove(uuid, &error);
  EXPECT_EQ(error.code, 3);
  EXPECT_STREQ(error.message, "cache failure");
  sqlite3_exec(reader, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(reader);

  clear_error(&error);
  EXPECT_TRUE(slot(1, false).fetch(uuid, 0, 50, nullptr, &error));
  slot(1, false).remove(uuid, &error);
  EXPECT_TRUE(error.ok()) << error.message;
}

// One list per slot, and only whole ones. A delete works on the slot as it
// is when the delete runs, not on a file that a rewrite has replaced since
// the store was opened. A write whose rows do not land in fresh tables (here
// the old ones could not be dropped) fails and adds nothing.
TEST_F(CacheStoreTest, DeletesAndWritesWorkOnTheCurrentSlotOnly) {
  ErrorRecord error;
  const std::string first = write_list(1, {entry("/s", "a")});
  CacheStore deleter = slot(1, false);
  const std::string second = write_list(1, {entry("/s", "b")});
  deleter.remove(first, &error);
  EXPECT_STREQ(error.message, "uuid not found");
  clear_error(&error);
  deleter.remove(second, &error);
  EXPECT_TRUE(error.ok()) << error.message;
  EXPECT_FALSE(slot(1, false).exists(second));

  CacheStore store = slot(2, true);
  store.create_tables();
  sqlite3* db = store.connection();
  ASSERT_EQ(sqlite3_exec(db, "INSERT INTO cache VALUES ( 'other', '', '' );",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_set_authorizer(
      db,
      [](void*, int action, const char*, const char*, const char*,
         const char*) {
        return action == SQLITE_DROP_TABLE ? SQLITE_DENY : SQLITE_OK;
      },
      nullptr);
  EXPECT_FALSE(store.set({entry("/s", "c")}, &error));
  EXPECT_EQ(error.code, 3);
  EXPECT_STREQ(error.message, "cache failure");
  sqlite3_set_authorizer(db, nullptr, nullptr);
  sqlite3_stmt* rows = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT (SELECT COUNT(*) FROM cache), (SELECT COUNT(*) "
                     "FROM entry)",
                     -1, &rows, nullptr);
  ASSERT_EQ(sqlite3_step(rows), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(rows, 0), 1);  // Only the other list's row.
  EXPECT_EQ(sqlite3_column_int(rows, 1), 0);
  sqlite3_finalize(rows);
}

TEST_F(CacheStoreTest, RewritingASlotInvalidatesItsOldListOnly) {
  ErrorRecord error;
  const std::string first = write_list(1, {entry("/s", "first")});
  const std::string second = write_list(2, {entry("/s", "second")});
  // A reader that opened the slot before the rewrite keeps the old file.
  CacheStore old_reader = slot(1, false);
  const std::string third = write_list(1, {entry("/s", "third")});

  auto format = std::make_shared<RecordingFormatter>();
  CacheStore one = slot(1, false), two = slot(2, false);
  EXPECT_EQ(names(old_reader.fetch(first, 0, 50, format, &error)),
            std::vector<std::string>{"first"});
  EXPECT_EQ(names(one.fetch(third, 0, 50, format, &error)),
            std::vector<std::string>{"third"});
  EXPECT_EQ(names(two.fetch(second, 0, 50, format, &error)),
            std::vector<std::string>{"second"});
  ASSERT_TRUE(error.ok()) << error.message;
  for (const std::string& gone : {first, second}) {
    clear_error(&error);
    EXPECT_FALSE(one.fetch(gone, 0, 50, format, &error));
    EXPECT_STREQ(error.message, "invalid uuid");
  }
}

// The existence check and the count look at the root row and the last entry
// row only. They must answer what scanning `cache` and counting the join
// answers, in every state a slot can be in.
TEST_F(CacheStoreTest, ExistsAndCountAgreeWithScanningTheTables) {
  auto scanned = [](CacheStore& store, const char* sql,
                    const std::string& uuid) {
    sqlite3_stmt* statement = nullptr;
    int64_t value = 0;
    if (store.connection() != nullptr &&
        sqlite3_prepare_v2(store.connection(), sql, -1, &statement, nullptr) ==
            SQLITE_OK) {
      sqlite3_bind_text(statement, 1, uuid.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(statement) == SQLITE_ROW) {
        value = sqlite3_column_int64(statement, 0);
      }
    }
    sqlite3_finalize(statement);
    return value;
  };
  auto check = [&](const char* state, const std::string& uuid) {
    SCOPED_TRACE(state);
    CacheStore store = slot(1, false);
    for (const std::string& asked : {uuid, std::string(kOtherUuid)}) {
      EXPECT_EQ(store.exists(asked),
                scanned(store, "SELECT COUNT(*) FROM cache WHERE uuid = ?",
                        asked) > 0);
      EXPECT_EQ(store.count(asked),
                scanned(store,
                        "SELECT COUNT(*) FROM cache, entry WHERE uuid = ? AND "
                        "cache.rowid = entry.path",
                        asked));
    }
  };

  ErrorRecord error;
  std::string uuid = kOtherUuid;
  check("missing file", uuid);
  {
    CacheStore writer = slot(1, true);
    writer.set({}, &error);
    uuid = writer.uuid();
  }
  check("empty list", uuid);
  {
    CacheStore writer = slot(1, true);
    writer.set({entry("/s", "a", "/x"), entry("/s", "b", "/y"),
                entry("/s", "c", "/x")},
               &error);
    uuid = writer.uuid();
  }
  check("list", uuid);
  slot(1, true).create_tables();
  check("tables made anew", uuid);
  {
    CacheStore writer = slot(1, true);
    writer.set({entry("/s", "a"), entry("/s", "b")}, &error);
    uuid = writer.uuid();
    writer.remove(uuid, &error);
  }
  check("removed list", uuid);
  ASSERT_TRUE(error.ok()) << error.message;
  std::ofstream(slot_file(1), std::ios::trunc) << "not a database";
  check("file of another kind", uuid);
  std::filesystem::remove(slot_file(1));
  {
    sqlite3* db = nullptr;
    sqlite3_open(slot_file(1).c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE other ( x );", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  check("database of another kind", uuid);
}

// A damaged file may hold stat BLOBs of any length: what is there is used,
// the rest of the record stays zero, nothing beyond the BLOB is read.
TEST_F(CacheStoreTest, StatBlobsOfAnotherLengthAreReadWithinTheBlob) {
  CacheStore store;
  ErrorRecord error;
  store.set({entry("/s", "short"), entry("/s", "long")}, &error);
  struct stat longer[2] = {};
  longer[0].st_size = 77;
  std::memset(&longer[1], 0xff, sizeof(longer[1]));
  const unsigned char bytes[] = {1, 2, 3, 4, 5};
  sqlite3_stmt* update = nullptr;
  sqlite3_prepare_v2(store.connection(),
                     "UPDATE entry SET stat = ?2 WHERE rowid = ?1", -1, &update,
                     nullptr);
  for (int row = 1; row <= 2; ++row) {
    sqlite3_reset(update);
    sqlite3_bind_int(update, 1, row);
    sqlite3_bind_blob(update, 2,
                      row == 1 ? static_cast<const void*>(bytes) : longer,
                      row == 1 ? 5 : 200, SQLITE_STATIC);
    EXPECT_EQ(sqlite3_step(update), SQLITE_DONE);
  }
  sqlite3_finalize(update);

  auto formatter = std::make_shared<RecordingFormatter>();
  store.fetch(0, 50, formatter, &error);
  ASSERT_EQ(formatter->entries.size(), 2u);
  struct stat expected {};
  std::memcpy(&expected, bytes, sizeof(bytes));
  EXPECT_EQ(std::memcmp(&formatter->entries[0].stat, &expected, 144), 0);
  EXPECT_EQ(formatter->entries[1].stat.st_size, 77);
}

// A slot file is its user's to rewrite: folders are read only from the
// table the writer makes, never from whatever else bears its name.
TEST_F(CacheStoreTest, FoldersAreReadOnlyFromTheWritersOwnTable) {
  const char* const foreign[] = {
      "DROP TABLE cache; CREATE VIEW cache AS SELECT 'x' uuid, '/a' path, "
      "'' alias",
      "DROP TABLE cache; CREATE VIEW CACHE AS SELECT 'x' uuid, '/a' path, "
      "'' alias",
      "ALTER TABLE cache ADD COLUMN extra TEXT",
  };
  for (const char* change : foreign) {
    SCOPED_TRACE(change);
    ErrorRecord error;
    CacheStore store = slot(1, true);
    store.set({entry("/share/Pub", "x", "/a")}, &error);
    bool complete = false;
    ASSERT_EQ(store.folders(10, &complete).size(), 1u);
    ASSERT_TRUE(complete);
    ASSERT_EQ(
        sqlite3_exec(store.connection(), change, nullptr, nullptr, nullptr),
        SQLITE_OK);
    EXPECT_TRUE(store.folders(10, &complete).empty());
    EXPECT_FALSE(complete);
  }
}

TEST_F(CacheStoreTest, DediacriticalFoldsTextOnly) {
  CacheStore store = slot(1, true);
  sqlite3_stmt* query = nullptr;
  sqlite3_prepare_v2(store.connection(),
                     "SELECT DEDIACRITICAL('Évènement'), DEDIACRITICAL(5), "
                     "DEDIACRITICAL(NULL), DEDIACRITICAL('ÅNGSTRÖM 東京')",
                     -1, &query, nullptr);
  ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(query, 0)),
               "evenement");
  EXPECT_EQ(sqlite3_column_type(query, 1), SQLITE_NULL);
  EXPECT_EQ(sqlite3_column_type(query, 2), SQLITE_NULL);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(query, 3)),
               "angstrom 東京");
  sqlite3_finalize(query);
}

// A reader in the middle of a page holds the file for a moment; the writer's
// commit waits for it instead of losing a finished list.
TEST_F(CacheStoreTest, CommitWaitsForAReaderToFinish) {
  CacheStore store = slot(1, true);
  store.create_tables();
  sqlite3* reader = nullptr;
  sqlite3_open(slot_file(1).c_str(), &reader);
  ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT COUNT(*) FROM cache;", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  store.begin();
  sqlite3_exec(store.connection(), "INSERT INTO cache VALUES ('u', '', '')",
               nullptr, nullptr, nullptr);
  std::thread finish([reader] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    sqlite3_exec(reader, "COMMIT;", nullptr, nullptr, nullptr);
  });
  EXPECT_EQ(store.commit(), SQLITE_OK);
  finish.join();
  sqlite3_close(reader);
  EXPECT_TRUE(slot(1, false).exists("u"));
}

}  // namespace
}  // namespace orv::test
