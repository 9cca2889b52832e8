#include "recent/database.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "recent/log.h"

namespace orv::recent {

namespace {

constexpr char kFileName[] = ".recent";

// Filled with the rows kept per type, the rows allowed beyond them before
// the trigger runs, and the rows it then deletes.
constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS recent ( id INTEGER PRIMARY KEY AUTOINCREMENT "
    "UNIQUE, ip VARCHAR(128) NOT NULL DEFAULT '127.0.0.1', app VARCHAR(32) NOT "
    "NULL DEFAULT '---', user INTEGER DEFAULT 0, type INTEGER DEFAULT 0, path "
    "TEXT NOT NULL DEFAULT '', time BIGINT, action BIGINT DEFAULT 0, client_id "
    "VARCHAR(64) NOT NULL DEFAULT '---', client_app VARCHAR(128) NOT NULL "
    "DEFAULT '---', client_agent VARCHAR(255) NOT NULL DEFAULT '---', metadata "
    "BLOB NOT NULL DEFAULT '{}' ); CREATE INDEX IF NOT EXISTS user_path_time "
    "on recent(user, path, time); CREATE TRIGGER IF NOT EXISTS rotate AFTER "
    "INSERT ON recent WHEN (SELECT COUNT(*) FROM recent WHERE type = "
    "NEW.type) > %d + %d BEGIN DELETE FROM recent WHERE id IN ( SELECT id FROM "
    "recent WHERE type = NEW.type ORDER BY id LIMIT %d ); END;";
constexpr int kKeptRows = 100;
constexpr int kSlackRows = 10;
constexpr int kRotatedRows = 10;

constexpr char kSettings[] =
    "PRAGMA page_size = 2048; PRAGMA synchronous = OFF; PRAGMA auto_vacuum = "
    "FULL; PRAGMA journal_mode = MEMORY;";
constexpr char kHealthCheck[] = "SELECT COUNT(*) FROM recent;";
// The objects of a database, to be compared with those the schema makes.
constexpr char kObjects[] =
    "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY type, name";
constexpr char kForeignSchema[] = "not the schema of a recent log";
// How long one operation on a user's database may run. The file is its
// user's to rewrite, and a crafted one (a view, a trigger of its own, rows
// of countless types) could otherwise keep a thread that all users share
// busy for as long as it liked.
constexpr auto kOperationLimit = std::chrono::seconds(2);
// Virtual machine steps between two looks at the clock.
constexpr int kProgressSteps = 10000;
constexpr int kOpenFlags =
    SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW;

// SQLite's own open, as the unix VFS calls it: never through a link, only
// regular files and folders, new files private to their owner.
int guarded_open(const char* path, int flags, int mode) {
  // O_NONBLOCK keeps the open itself from waiting on a FIFO.
  int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK,
                static_cast<mode_t>(mode) & 0600);
  if (fd < 0) return fd;
  struct stat st;
  if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
    ::close(fd);
    errno = ENXIO;
    return -1;
  }
  if ((flags & O_NONBLOCK) == 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

// SQLite stats a path to find a descriptor it may reuse for the file; a link
// must not lead it to another file's descriptor.
int guarded_stat(const char* path, struct stat* st) { return lstat(path, st); }

void guard_sqlite_files() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The unix VFSs share one table of system calls.
    sqlite3_vfs* vfs = sqlite3_vfs_find("unix");
    if (vfs == nullptr || vfs->iVersion < 3 || vfs->xSetSystemCall == nullptr) {
      return;
    }
    vfs->xSetSystemCall(vfs, "open",
                        reinterpret_cast<sqlite3_syscall_ptr>(&guarded_open));
    vfs->xSetSystemCall(vfs, "stat",
                        reinterpret_cast<sqlite3_syscall_ptr>(&guarded_stat));
  });
}

// Where the user's database is: `shown` as the log names it, `real` the file
// in the home folder's real path, resolved with the calling thread's
// identity. False when the folder cannot be resolved, after an error line
// when `report` is set.
bool database_path(const RecentUser& user, const FsIdentity& identity,
                   std::string* shown, std::string* real, bool report = true) {
  *shown = user.home + "/" + kFileName;
  if (!identity.ok()) {
    if (report) {
      log(Level::kError, "[database] %s : cannot take the identity of uid %u",
          shown->c_str(), static_cast<unsigned>(user.uid));
    }
    return false;
  }
  char resolved[PATH_MAX];
  if (realpath(user.home.c_str(), resolved) == nullptr) {
    if (report) {
      log(Level::kError, "[database] %s : realpath: %s", shown->c_str(),
          std::strerror(errno));
    }
    return false;
  }
  *real = resolved;
  if (real->back() != '/') *real += '/';
  *real += kFileName;
  return true;
}

// True when a regular file is at `real`, or nothing; otherwise logs why the
// database cannot be used and leaves the path as it is.
bool regular_or_missing(const std::string& shown, const std::string& real) {
  struct stat st;
  if (lstat(real.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    log(Level::kError, "[database] %s : lstat: %s", shown.c_str(),
        std::strerror(errno));
    return false;
  }
  if (S_ISREG(st.st_mode)) return true;
  log(Level::kError, "[database] %s : not a regular file, left as it is",
      shown.c_str());
  return false;
}

// The check failed because the file holds no usable database, rather than
// because it could not be read just now (locked, an I/O error).
bool replaceable(int code, const std::string& message) {
  int primary = code & 0xff;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT ||
         (primary == SQLITE_ERROR &&
          (std::string_view(message).starts_with("no such table") ||
           message == kForeignSchema));
}

// The rows of kObjects on `db`, one text.
std::string objects_of(sqlite3* db) {
  std::string text;
  Statement query = prepare(db, kObjects);
  while (query && sqlite3_step(query.get()) == SQLITE_ROW) {
    for (int column = 0; column < 4; ++column) {
      const unsigned char* value = sqlite3_column_text(query.get(), column);
      text += value != nullptr ? reinterpret_cast<const char*>(value) : "-";
      text += '\n';
    }
  }
  return text;
}

// Stops a statement once the operation's deadline has passed.
int past_deadline(void* deadline) {
  return std::chrono::steady_clock::now() >
         *static_cast<std::chrono::steady_clock::time_point*>(deadline);
}

// Runs `sql`; on failure returns the code and puts the message in `message`.
int execute(sqlite3* db, const char* sql, std::string* message) {
  char* error = nullptr;
  int code = sqlite3_exec(db, sql, nullptr, nullptr, &error);
  if (code != SQLITE_OK) {
    *message = error != nullptr ? error : sqlite3_errstr(code);
  }
  sqlite3_free(error);
  return code;
}

// The schema's text, filled with the rotation's numbers.
std::string schema_text() {
  char schema[sizeof(kSchema) + 32];
  std::snprintf(schema, sizeof(schema), kSchema, kKeptRows, kSlackRows,
                kRotatedRows);
  return schema;
}

// The objects the schema makes, as objects_of() gives them.
const std::string& schema_objects() {
  static const std::string objects = [] {
    sqlite3* db = nullptr;
    std::string text;
    if (sqlite3_open(":memory:", &db) == SQLITE_OK &&
        sqlite3_exec(db, schema_text().c_str(), nullptr, nullptr, nullptr) ==
            SQLITE_OK) {
      text = objects_of(db);
    }
    sqlite3_close(db);
    return text;
  }();
  return objects;
}

// Makes a new database at `real`: the schema, run on a connection of its own
// without the settings.
void create_database(const std::string& shown, const std::string& real) {
  log(Level::kInfo, "[database] initial %s", shown.c_str());
  const std::string schema = schema_text();
  sqlite3* db = nullptr;
  std::string message;
  int code = sqlite3_open_v2(real.c_str(), &db, kOpenFlags, nullptr);
  if (code != SQLITE_OK) {
    message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  } else {
    code = execute(db, schema.c_str(), &message);
  }
  if (code != SQLITE_OK) log(Level::kError, "[database] %s", message.c_str());
  sqlite3_close(db);
}

}  // namespace

Statement prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return Statement(statement);
}

UserDatabase::UserDatabase(const RecentUser& user)
    : identity_(user.uid, user.gid) {}

UserDatabase::~UserDatabase() { close(); }

bool UserDatabase::connect(int busy_ms) {
  guard_sqlite_files();
  int code = sqlite3_open_v2(real_.c_str(), &db_, kOpenFlags, nullptr);
  if (code != SQLITE_OK) {
    log(Level::kError, "[database] %s : %s", shown_.c_str(),
        db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code));
    close();
    return false;
  }
  sqlite3_busy_timeout(db_, busy_ms);
  // The wait for a held database runs no statement step; the limit is for
  // the work that follows it.
  deadline_ = std::chrono::steady_clock::now() +
              std::chrono::milliseconds(busy_ms) + kOperationLimit;
  sqlite3_progress_handler(db_, kProgressSteps, &past_deadline, &deadline_);
  return true;
}

int UserDatabase::check(std::string* message) {
  // The check comes before the settings: on a database locked by another
  // program each of them would wait out the busy timeout again.
  // Only the objects the schema makes, before anything of them is read: no
  // view in the table's place, no trigger or index of the user's own for the
  // writer to run. A file without any is judged by the health check.
  const std::string objects = objects_of(db_);
  if (!objects.empty() && objects != schema_objects()) {
    *message = kForeignSchema;
    return SQLITE_ERROR;
  }
  int code = execute(db_, kHealthCheck, message);
  if (code == SQLITE_OK)
    sqlite3_exec(db_, kSettings, nullptr, nullptr, nullptr);
  return code;
}

void UserDatabase::close() {
  sqlite3_close(db_);
  db_ = nullptr;
}

bool db_stamp(const RecentUser& user, DbStamp* stamp) {
  FsIdentity identity(user.uid, user.gid);
  std::string shown;
  std::string real;
  if (!database_path(user, identity, &shown, &real, false)) return false;
  int fd = open(real.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // The header: the magic text, the read and write versions (1 and 1 for a
  // rollback journal; a WAL database keeps no counter) and the counter.
  unsigned char header[28];
  struct stat st;
  bool read = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              pread(fd, header, sizeof(header), 0) ==
                  static_cast<ssize_t>(sizeof(header));
  ::close(fd);
  if (!read || std::memcmp(header, "SQLite format 3", 16) != 0 ||
      header[18] != 1 || header[19] != 1) {
    return false;
  }
  stamp->dev = st.st_dev;
  stamp->ino = st.st_ino;
  stamp->counter = static_cast<uint32_t>(header[24]) << 24 |
                   static_cast<uint32_t>(header[25]) << 16 |
                   static_cast<uint32_t>(header[26]) << 8 | header[27];
  return true;
}

bool db_ensure(const RecentUser& user) {
  guard_sqlite_files();
  FsIdentity identity(user.uid, user.gid);
  std::string shown;
  std::string real;
  // Every add comes here: a database that is there already needs no
  // resolving of the folder (the writer opens it by its real path).
  struct stat st;
  if (identity.ok() && lstat((user.home + "/" + kFileName).c_str(), &st) == 0 &&
      S_ISREG(st.st_mode)) {
    return true;
  }
  if (!database_path(user, identity, &shown, &real)) return false;
  if (lstat(real.c_str(), &st) == 0 || errno != ENOENT) {
    return regular_or_missing(shown, real);
  }
  create_database(shown, real);
  return true;
}

bool db_busy(int code) {
  return (code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED;
}

std::unique_ptr<UserDatabase> db_open(const RecentUser& user, int busy_ms,
                                      std::string* busy) {
  std::unique_ptr<UserDatabase> db(new UserDatabase(user));
  if (!database_path(user, db->identity_, &db->shown_, &db->real_) ||
      !regular_or_missing(db->shown_, db->real_) || !db->connect(busy_ms)) {
    return nullptr;
  }
  std::string message;
  int code = db->check(&message);
  if (code == SQLITE_OK) return db;
  if (busy != nullptr && db_busy(code)) {
    *busy = db->shown_ + " : " + message;
    return nullptr;
  }
  log(Level::kError, "[database] %s : %s", db->shown_.c_str(), message.c_str());
  if (!replaceable(code, message)) return nullptr;
  // The file holds nothing worth keeping: start afresh, and let the
  // operation in hand work on the fresh file rather than on the old one.
  db->close();
  if (unlink(db->real_.c_str()) != 0 && errno != ENOENT) {
    log(Level::kError, "[database] %s : unlink: %s", db->shown_.c_str(),
        std::strerror(errno));
    return nullptr;
  }
  if (!db_ensure(user) || !db->connect(busy_ms)) return nullptr;
  code = db->check(&message);
  if (code == SQLITE_OK) return db;
  log(Level::kError, "[database] %s : %s", db->shown_.c_str(), message.c_str());
  return nullptr;
}

}  // namespace orv::recent
