// The per-user database file ".recent": its creation (db_ensure), its
// opening with the health check (db_open), and the statements around it.
//
// All file work on a ".recent" runs with its user's file-system identity on
// the calling thread, and no link is followed: the home folder is resolved
// to its real path as the user, and SQLite opens the file with
// SQLITE_OPEN_NOFOLLOW, which refuses a link anywhere in that path. Every
// file SQLite opens in this process is opened without following a link,
// must be a regular file or a folder (a FIFO or device planted at ".recent"
// could otherwise hang the thread on its first read), and is created with
// mode 0600.
#ifndef ORV_RECENT_DATABASE_H_
#define ORV_RECENT_DATABASE_H_

#include <sqlite3.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "recent/identity.h"
#include "recent/store.h"

namespace orv::recent {

// Finalizes a prepared statement.
struct StatementFree {
  void operator()(sqlite3_stmt* statement) const {
    sqlite3_finalize(statement);
  }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFree>;

// Prepares `sql` on `db`; null on failure.
Statement prepare(sqlite3* db, const char* sql);

// One user's database, open for one operation, with the user's file-system
// identity held on the creating thread until it is destroyed (the connection
// is closed first). Use and destroy it on the thread that opened it.
class UserDatabase {
 public:
  UserDatabase(const UserDatabase&) = delete;
  UserDatabase& operator=(const UserDatabase&) = delete;
  ~UserDatabase();

  sqlite3* get() const { return db_; }
  // The file as the log names it: the home folder and ".recent".
  const std::string& path() const { return shown_; }

 private:
  friend std::unique_ptr<UserDatabase> db_open(const RecentUser& user,
                                               int busy_ms, std::string* busy);
  explicit UserDatabase(const RecentUser& user);
  // Opens the connection; its statements wait up to `busy_ms` for a
  // database that another connection holds.
  bool connect(int busy_ms);
  // Runs the health check and, when it passes, the settings. Returns the
  // check's code; its message on failure.
  int check(std::string* message);
  void close();

  FsIdentity identity_;
  // When the operation's statements are stopped: the wait for a held
  // database and kOperationLimit after the open.
  std::chrono::steady_clock::time_point deadline_;
  std::string shown_;
  std::string real_;  // the home folder's real path and ".recent"
  sqlite3* db_ = nullptr;
};

// One state of a user's database file: the file itself and the change
// counter of its header, which every committed write changes (whichever
// program makes it). Two equal stamps mean the same content.
struct DbStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  uint32_t counter = 0;
  bool operator==(const DbStamp&) const = default;
};

// Reads the stamp of the user's database with the user's identity. False,
// silently, when there is no regular file holding an SQLite database in
// rollback-journal mode at the path (no counter to trust then).
bool db_stamp(const RecentUser& user, DbStamp* stamp);

// Makes sure the user's database exists: creates it with the schema when
// nothing is at the path. Returns true when a regular file is there (or was
// just made); false, after one error line, when something else is there (a
// folder, a link: left as it is) or the user's folder cannot be reached.
bool db_ensure(const RecentUser& user);

// True for the codes of a database that another connection holds.
bool db_busy(int code);

// Opens the user's database and checks it; its statements wait up to
// `busy_ms` for the database while another connection holds it, and are
// stopped when the whole operation runs 2 s past that. A file that is not a
// database, is damaged, lacks the table or holds other objects than the
// schema makes (a view, a trigger of its own) is deleted and made afresh, and
// the fresh one is opened. Null, after an error line, when the
// database cannot be used: something else than a regular file is at the
// path, the file cannot be opened, or the check failed for another reason
// (a database held past the wait, an I/O error), in which case the file is
// left as it is. When `busy` is given and the database was held past the
// wait, the error line's text is stored there instead of being logged: the
// caller may try again later.
std::unique_ptr<UserDatabase> db_open(const RecentUser& user, int busy_ms,
                                      std::string* busy = nullptr);

}  // namespace orv::recent

#endif  // ORV_RECENT_DATABASE_H_
