// A page of a cache whose rows hold any bytes: a damaged or foreign slot
// file. The rows are written straight into an in-memory store (stat column
// of any length and SQL type, names, folders, aliases and cluster keys of
// any bytes) and read back through fetch with the real entry formatter. The
// page must hold one object per row and print as JSON, and so must the
// cluster summary.
//
// Every folder lies inside an empty folder of the fuzzer's own, and ".." is
// taken out of folders and names, so the formatter's file probes look at
// nothing outside it.
#include <fuzzer/FuzzedDataProvider.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cache/cache_store.h"
#include "common/log.h"
#include "format/formatter.h"
#include "fuzz/fuzz_util.h"

namespace {

using orv::fuzz::check;

std::string g_folder;

std::string without_parent_steps(std::string text) {
  for (size_t at = text.find(".."); at != std::string::npos;
       at = text.find("..", at)) {
    text.replace(at, 2, "._");
  }
  return text;
}

void exec(sqlite3* db, const char* sql) {
  check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK, sql);
}

// Binds `bytes` to `position` as the SQL type `kind` picks: BLOB, TEXT (any
// bytes, as a foreign writer may store them) or INTEGER.
void bind_any(sqlite3_stmt* statement, int position, const std::string& bytes,
              int kind) {
  switch (kind) {
    case 0:
      sqlite3_bind_blob(statement, position, bytes.data(),
                        static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
      break;
    case 1:
      sqlite3_bind_text(statement, position, bytes.data(),
                        static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
      break;
    default:
      sqlite3_bind_int64(statement, position,
                         static_cast<sqlite3_int64>(bytes.size()) * 977);
      break;
  }
}

void insert(sqlite3* db, const char* sql, const std::vector<std::string>& cells,
            const std::vector<int>& kinds) {
  sqlite3_stmt* statement = nullptr;
  check(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK, sql);
  for (size_t i = 0; i < cells.size(); ++i) {
    bind_any(statement, static_cast<int>(i) + 1, cells[i], kinds[i]);
  }
  check(sqlite3_step(statement) == SQLITE_DONE, sql);
  sqlite3_finalize(statement);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orv::log_level = 0;
  char folder[] = "/tmp/orv-cache-fuzz-XXXXXX";
  check(mkdtemp(folder) != nullptr, "mkdtemp");
  g_folder = folder;
  // Nothing is ever made in it, so it goes as it came.
  std::atexit([] { rmdir(g_folder.c_str()); });
  // The platform's files and tools are looked up in the same empty folder.
  setenv("ORV_ROOT", folder, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  // One store for every input: making the tables costs more than a run.
  static orv::CacheStore* const store = [] {
    auto* made = new orv::CacheStore;
    made->create_tables();
    return made;
  }();
  sqlite3* db = store->connection();
  // Emptied tables number their rows from 1 again, as fresh ones do.
  exec(db, "DELETE FROM cache; DELETE FROM entry;");

  exec(db, "INSERT INTO cache (uuid, path, alias) VALUES ('u', '', '')");
  const int runs = input.ConsumeIntegralInRange(1, 3);
  for (int run = 0; run < runs; ++run) {
    std::string folder =
        g_folder + "/" +
        without_parent_steps(input.ConsumeRandomLengthString(64));
    std::string alias = input.ConsumeRandomLengthString(64);
    insert(db, "INSERT INTO cache (uuid, path, alias) VALUES ('u', ?, ?)",
           {folder, alias}, {1, 1});
  }
  const int rows = input.ConsumeIntegralInRange(0, 4);
  int reachable = 0;
  for (int row = 0; row < rows; ++row) {
    // A run's rowid, or one that no run has.
    const int run = input.ConsumeIntegralInRange(2, 5);
    if (run <= runs + 1) ++reachable;
    std::string name =
        without_parent_steps(input.ConsumeRandomLengthString(64));
    std::string stat = input.ConsumeRandomLengthString(300);
    std::string cluster = input.ConsumeRandomLengthString(16);
    const int stat_kind = input.ConsumeIntegralInRange(0, 2);
    sqlite3_stmt* statement = nullptr;
    check(sqlite3_prepare_v2(db,
                             "INSERT INTO entry (path, name, stat, cluster) "
                             "VALUES (?, ?, ?, ?)",
                             -1, &statement, nullptr) == SQLITE_OK,
          "prepare entry");
    sqlite3_bind_int(statement, 1, run);
    bind_any(statement, 2, name, 1);
    bind_any(statement, 3, stat, stat_kind);
    bind_any(statement, 4, cluster, 1);
    check(sqlite3_step(statement) == SQLITE_DONE, "insert entry");
    sqlite3_finalize(statement);
  }

  const int64_t offset = input.ConsumeIntegral<int64_t>();
  auto formatter = std::make_shared<orv::LegacyFormatter>("nobody", "orv-fuzz");
  orv::ErrorRecord error;
  orv::Json page = store->fetch("u", offset, 2000, formatter, &error);
  check(error.ok() && page, "no page of an existing list");
  const json_t* datas = json_object_get(page.get(), "datas");
  const json_int_t total =
      json_integer_value(json_object_get(page.get(), "total"));
  // The total is the list's last entry; the page reaches the rows whose run
  // exists, from the low 32 bits of the offset on (a negative one counting
  // as 0).
  check(total == rows, "total other than the entry rows");
  const int32_t first = static_cast<int32_t>(static_cast<uint32_t>(offset));
  const int64_t skipped = first < 0 ? 0 : first;
  const size_t expected = reachable > skipped ? reachable - skipped : 0;
  check(json_array_size(datas) == expected, "page of another length");
  size_t i;
  const json_t* item;
  json_array_foreach(datas, i, item) {
    check(json_is_string(json_object_get(item, "filename")), "no filename");
    check(json_is_string(json_object_get(item, "mt")), "no mt");
  }
  check(orv::fuzz::printable(page.get()), "page does not print");

  orv::Json summary = store->clusters();
  check(json_is_array(summary.get()), "no cluster summary");
  check(orv::fuzz::printable(summary.get()), "cluster summary does not print");
  check(store->paths().size() == static_cast<size_t>(runs) + 1,
        "folders other than the runs");
  return 0;
}
