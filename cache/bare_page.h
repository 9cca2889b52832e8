// The page statement alone, on a fresh connection to a slot file, every
// column of every row touched: the yardstick the benchmarks hold a formatted
// page read against. Used by benchmarks.
#ifndef ORV_CACHE_BARE_PAGE_H_
#define ORV_CACHE_BARE_PAGE_H_

#include <sqlite3.h>

#include <cstddef>
#include <string>

#include "cache/cache_store.h"

namespace orv::bench {

// Reads the page of `limit` rows at `offset` of list `uuid` in `file`;
// returns the number of rows and adds the bytes read to `*bytes`.
inline int read_bare_page(const std::string& file, const std::string& uuid,
                          int limit, int offset, size_t* bytes) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_stmt* page = nullptr;
  sqlite3_prepare_v2(db, kPageStatement, -1, &page, nullptr);
  sqlite3_bind_text(page, 1, uuid.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_int(page, 2, limit);
  sqlite3_bind_int(page, 3, offset);
  int rows = 0;
  while (sqlite3_step(page) == SQLITE_ROW) {
    for (int column = 0; column < 4; ++column) {
      sqlite3_column_blob(page, column);
      *bytes += static_cast<size_t>(sqlite3_column_bytes(page, column));
    }
    ++rows;
  }
  sqlite3_finalize(page);
  sqlite3_close(db);
  return rows;
}

}  // namespace orv::bench

#endif  // ORV_CACHE_BARE_PAGE_H_
