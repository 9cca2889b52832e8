#include "cache/cache_store.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "cache/cache_folder.h"
#include "common/client_watchdog.h"
#include "common/log.h"
#include "common/reply.h"
#include "order/collation.h"

namespace orv {

namespace {

constexpr char kSchema[] =
    "DROP TABLE IF EXISTS cache; CREATE TABLE IF NOT EXISTS cache ( uuid TEXT "
    "NOT NULL DEFAULT '', path TEXT NOT NULL DEFAULT '', alias TEXT NOT NULL "
    "DEFAULT '' ); DROP TABLE IF EXISTS entry; CREATE TABLE IF NOT EXISTS "
    "entry ( path INT NOT NULL DEFAULT 0, name TEXT NOT NULL DEFAULT '', stat "
    "BLOB NOT NULL DEFAULT '', cluster TEXT NOT NULL DEFAULT '' );";
constexpr char kWritePragmas[] =
    "PRAGMA page_size = 32768; PRAGMA temp_store = MEMORY; PRAGMA synchronous "
    "= OFF; PRAGMA auto_vacuum = FULL; PRAGMA journal_mode = OFF;";
constexpr char kMmapPragma[] = "PRAGMA mmap_size = 518348800;";
// A page is read front to back through the join, so a few cached pages hold
// all it comes back to (the upper levels of the two tables); a larger cache
// only costs a fresh handler process the memory it fills, page by page.
constexpr char kPageCache[] = "PRAGMA cache_size = 8;";
constexpr char kBegin[] = "BEGIN TRANSACTION;";
constexpr char kCommit[] = "COMMIT;";
constexpr char kRollback[] = "ROLLBACK;";
constexpr char kInsertRun[] =
    "INSERT INTO cache ( uuid, path, alias ) VALUES ( @uuid, @path, @alias );";
constexpr char kInsertEntry[] =
    "INSERT INTO entry ( path, name, stat, cluster ) VALUES ( @path, @name, "
    "@stat, @cluster );";
// A database holds one list at most: every `cache` row bears its uuid, the
// root row (rowid 1) is there exactly while any row is, and every `entry` row
// belongs to the list, numbered 1, 2, 3, ... in list order. So whether a list
// exists is a look at the root row, and its number of entries the last entry
// row id: both answers without reading the tables through, as scanning `cache`
// and counting the join would.
constexpr char kExists[] =
    "SELECT COUNT(*) FROM cache WHERE rowid = 1 AND uuid = @uuid";
constexpr char kCount[] = "SELECT MAX(rowid) FROM entry";
constexpr char kClusters[] =
    "SELECT GROUP_CONCAT(DISTINCT cluster), count(*) FROM ( SELECT rowid id, "
    "cluster FROM entry ) GROUP BY cluster ORDER BY MIN(id)";
constexpr char kPaths[] = "SELECT path FROM cache";
// The `cache` table as the schema above makes it, in the text SQLite keeps
// of it, and where that text is read.
constexpr char kCacheTable[] =
    "CREATE TABLE cache ( uuid TEXT NOT NULL DEFAULT '', path TEXT NOT NULL "
    "DEFAULT '', alias TEXT NOT NULL DEFAULT '' )";
constexpr char kCacheTableText[] =
    "SELECT type, sql FROM sqlite_master WHERE name = 'cache' COLLATE NOCASE";
constexpr char kListUuid[] = "SELECT uuid FROM cache WHERE rowid = 1;";
constexpr char kDelete[] = "DELETE FROM cache WHERE @uuid = uuid;";
constexpr char kPublish[] = "UPDATE cache SET uuid = @uuid WHERE rowid = 1;";

// How long a commit waits for readers of the same file to finish. Every
// statement otherwise meets a locked database with SQLITE_BUSY at once; a
// commit that gave up would silently lose a finished list.
constexpr auto kCommitPatience = std::chrono::milliseconds(3000);

std::atomic<ChangeProbe> g_change_probe{nullptr};

// A prepared statement, finalized when dropped. Every operation on a
// statement that failed to prepare answers SQLITE_MISUSE without reaching
// SQLite.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (db != nullptr) {
      prepared_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    }
  }
  ~Statement() { finalize(); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  void finalize() {
    if (stmt_ != nullptr) sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }
  void reset() {
    if (stmt_ != nullptr) sqlite3_reset(stmt_);
  }
  int step() { return stmt_ != nullptr ? sqlite3_step(stmt_) : SQLITE_MISUSE; }

  // SQLite's answer to the prepare: SQLITE_OK, or why there is no
  // statement (no such table, a locked or foreign file, no connection).
  int prepared() const { return prepared_; }

  // Binding by name, for the reading statements.
  int parameter(const char* name) const {
    return stmt_ != nullptr ? sqlite3_bind_parameter_index(stmt_, name) : 0;
  }
  // The text must stay unchanged until the next step has run.
  void bind_text(int position, const std::string& text) {
    if (stmt_ != nullptr) {
      sqlite3_bind_text(stmt_, position, text.c_str(), -1, SQLITE_STATIC);
    }
  }
  void bind_int(int position, int32_t value) {
    if (stmt_ != nullptr) sqlite3_bind_int(stmt_, position, value);
  }
  void bind_int64(int position, int64_t value) {
    if (stmt_ != nullptr) sqlite3_bind_int64(stmt_, position, value);
  }
  void bind_blob(int position, const void* data, int size) {
    if (stmt_ != nullptr) {
      sqlite3_bind_blob(stmt_, position, data, size, SQLITE_STATIC);
    }
  }

  std::string column_text(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    if (text == nullptr) return std::string();
    return std::string(reinterpret_cast<const char*>(text),
                       sqlite3_column_bytes(stmt_, column));
  }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int prepared_ = SQLITE_MISUSE;
};

// Installed in place of the busy timeout: a connection that meets a locked
// database answers SQLITE_BUSY at once rather than stalling its request.
int never_wait(void*, int) { return 0; }

// The low 32 bits of a page parameter, as the page statement takes them.
int32_t low_bits(int64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

// A stat record read back from a BLOB. The file may be damaged or foreign,
// so at most the BLOB's own bytes are copied; the rest stays zero.
struct stat stat_from_blob(const void* blob, int size) {
  struct stat st {};
  if (blob != nullptr && size > 0) {
    std::memcpy(&st, blob, std::min<size_t>(size, sizeof(st)));
  }
  return st;
}

// The cluster summary of a list: one (key, count) per distinct key, in the
// order of the key's first entry.
class ClusterTally {
 public:
  void add(const std::string& key, int count) {
    auto [slot, fresh] = index_.try_emplace(key, groups_.size());
    if (fresh) groups_.emplace_back(key, 0);
    groups_[slot->second].second += count;
  }
  // An entry's key as the list stores it: text up to its first zero byte.
  void add_entry(const Entry& entry) {
    if (!groups_.empty() && entry.cluster == groups_.back().first) {
      ++groups_.back().second;  // Keys come in runs: grouped or all "".
      return;
    }
    add(std::string(entry.cluster.c_str()), 1);
  }
  // [{"value": key, "count": n}]; a key that is no valid text is left out.
  Json summary() const {
    Json result = Json::adopt(json_array());
    for (const auto& [key, count] : groups_) {
      json_array_append_new(
          result.get(),
          json_pack("{ss si}", "value", key.c_str(), "count", count));
    }
    return result;
  }

 private:
  std::vector<std::pair<std::string, int>> groups_;
  std::unordered_map<std::string, size_t> index_;
};

void trace_entry(const std::string& folder, const Entry& entry) {
  struct tm local {};
  time_t mtime = entry.stat.st_mtime;
  localtime_r(&mtime, &local);
  log_trace("cache", __LINE__, "set",
            "[cache] %s/%s isdir=%d, size=%jd, modify=%d-%d-%d", folder.c_str(),
            entry.name.c_str(), S_ISDIR(entry.stat.st_mode) ? 1 : 0,
            static_cast<intmax_t>(entry.stat.st_size), local.tm_year + 1900,
            local.tm_mon + 1, local.tm_mday);
}

}  // namespace

void set_change_probe(ChangeProbe probe) { g_change_probe = probe; }

CacheStore::CacheStore() { open("", "", 0, true); }

CacheStore::CacheStore(const std::string& volume, const std::string& sid,
                       size_t index, bool create)
    : wants_fold_(true) {
  open(volume, sid, index, create);
}

CacheStore::~CacheStore() {
  if (db_ != nullptr) sqlite3_close(db_);
}

void CacheStore::open(const std::string& volume, const std::string& sid,
                      size_t index, bool create) {
  index_ = index;
  if (index != 0) {
    if (volume.empty()) {
      log_line(LogKind::kWarning, "[cache] no default volume");
      return;
    }
    if (sid.empty()) {
      // Without it every daemon would share one file name.
      log_line(LogKind::kWarning, "[cache] no session id");
      return;
    }
    folder_ = std::make_unique<CacheFolder>(volume, false);
    if (!folder_->is_open()) return;  // Logged; the session has no slots.
    slot_ = sid + "." + std::to_string(index);
    if (create) {
      const std::string file = cache_file_name(volume, sid, index);
      log_debug("cache", __LINE__, "[cache] initial db %s", file.c_str());
      // One writer at a time: another one between our making the file and
      // opening it could replace it, or open the same file.
      if (!lock_.acquire(*folder_, slot_)) {
        log_line(LogKind::kError, "[cache] lock %s: %s", file.c_str(),
                 std::strerror(errno));
        return;
      }
      // A journal left by a delete that died belongs to the file being
      // replaced; SQLite must not take it for the new file's.
      folder_->remove_file(slot_ + "-journal");
      // The file is made here rather than by SQLite so that it never exists
      // with a wider mode, and so that a file we could not unlink is not
      // written into instead.
      if (!folder_->make_file(slot_)) {
        log_line(LogKind::kError, "[cache] create %s: %s", file.c_str(),
                 std::strerror(errno));
        return;
      }
    }
  }
  connect(create);
}

void CacheStore::connect(bool create) {
  // A store is used by the one thread that made it, so its connection
  // takes no mutex around every call.
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX |
              (create ? SQLITE_OPEN_CREATE : 0);
  std::string file = ":memory:";
  const char* vfs = nullptr;
  if (index_ != 0) {
    vfs = folder_vfs();
    if (vfs == nullptr) return;
    file = folder_->sqlite_name(slot_);
    flags |= SQLITE_OPEN_NOFOLLOW;  // Nor is the slot file itself a link.
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, flags, vfs) != SQLITE_OK) {
    // A slot file that is not there when reading: keep no connection, which
    // every operation answers as it answers a missing list.
    sqlite3_close(db);
    return;
  }
  db_ = db;
  apply_settings(create);
}

void CacheStore::apply_settings(bool create) {
  sqlite3_busy_timeout(db_, 3000);
  sqlite3_busy_handler(db_, &never_wait, this);
  sqlite3_create_function(db_, "DEDIACRITICAL", 1, SQLITE_UTF8, this,
                          &CacheStore::dediacritical, nullptr, nullptr);
  if (create) sqlite3_exec(db_, kWritePragmas, nullptr, nullptr, nullptr);
}

void CacheStore::dediacritical(sqlite3_context* context, int argc,
                               sqlite3_value** argv) {
  auto* store = static_cast<CacheStore*>(sqlite3_user_data(context));
  if (store->wants_fold_ && !store->fold_) {
    ErrorRecord ignored;
    // Without the fold the store still serves every request; only
    // DEDIACRITICAL then answers NULL.
    store->fold_ = make_fold(&ignored);
    store->wants_fold_ = false;
  }
  if (argc != 1 || sqlite3_value_type(argv[0]) != SQLITE_TEXT ||
      !store->fold_) {
    sqlite3_result_null(context);
    return;
  }
  const unsigned char* text = sqlite3_value_text(argv[0]);
  if (text == nullptr) {
    sqlite3_result_null(context);
    return;
  }
  const std::string folded =
      fold(*store->fold_, std::string_view(reinterpret_cast<const char*>(text),
                                           sqlite3_value_bytes(argv[0])));
  sqlite3_result_text(context, folded.data(), static_cast<int>(folded.size()),
                      SQLITE_TRANSIENT);
}

int CacheStore::begin() {
  return db_ ? sqlite3_exec(db_, kBegin, nullptr, nullptr, nullptr)
             : SQLITE_MISUSE;
}

int CacheStore::commit() {
  if (!db_) return SQLITE_MISUSE;
  const auto deadline = std::chrono::steady_clock::now() + kCommitPatience;
  int rc = sqlite3_exec(db_, kCommit, nullptr, nullptr, nullptr);
  // A reader's shared lock keeps the writer from committing; readers hold it
  // for one statement or one page, and new readers are held off meanwhile.
  while (rc == SQLITE_BUSY && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    rc = sqlite3_exec(db_, kCommit, nullptr, nullptr, nullptr);
  }
  return rc;
}

int CacheStore::rollback() {
  return db_ ? sqlite3_exec(db_, kRollback, nullptr, nullptr, nullptr)
             : SQLITE_MISUSE;
}

void CacheStore::create_tables() {
  if (!db_) return;
  begin();
  char* message = nullptr;
  sqlite3_exec(db_, kSchema, nullptr, nullptr, &message);
  if (message != nullptr) {
    log_line(LogKind::kError, "[cache] %s", message);
    sqlite3_free(message);
  }
  commit();
}

Json CacheStore::set(const std::vector<Entry>& entries, ErrorRecord* error) {
  if (!db_) {
    set_error(error, kCacheFailure, "cache failure");
    return Json();
  }
  create_tables();
  sqlite3_exec(db_, kMmapPragma, nullptr, nullptr, nullptr);
  Statement run_insert(db_, kInsertRun);
  Statement entry_insert(db_, kInsertEntry);
  uuid_ = kernel_uuid();
  // From here on the list is written to its end even when the caller goes.
  stop_client_watch();

  begin();
  int64_t runs = 1;
  std::string previous;
  static const std::string kEmpty;
  // Until the whole list is committed its root row bears a mark of the
  // uuid's length that no request can name, so that a writer that dies or
  // fails halfway leaves nothing a reader finds by the uuid: with no journal,
  // whatever pages reached the file stay there.
  const std::string unpublished(uuid_.size(), '-');
  run_insert.bind_text(1, unpublished);
  run_insert.bind_text(2, kEmpty);
  run_insert.bind_text(3, kEmpty);
  // The entries refer to their run's row by the number a fresh table gives
  // it. A row that lands elsewhere (the tables were not dropped and made
  // anew) would join entries to the wrong rows, or hide the list from its
  // own uuid: the write fails instead.
  int64_t misplaced = 0;
  auto placed = [&](int64_t expected) {
    const int64_t rowid = sqlite3_last_insert_rowid(db_);
    if (rowid != expected) misplaced = rowid;
    return misplaced == 0;
  };
  int rc = run_insert.step();
  if (rc == SQLITE_DONE) placed(1);
  const bool trace = log_enabled(LogKind::kTrace);
  // The summary the list's rows give, tallied while they are written rather
  // than read back through the whole file afterwards.
  ClusterTally tally;
  for (size_t i = 0; rc == SQLITE_DONE && misplaced == 0 && i < entries.size();
       ++i) {
    // A sorted list's entries are in order, but their texts lie where the
    // walk made them, all over the heap: ask for them a few entries ahead.
    if (i + 8 < entries.size()) {
      const Entry& ahead = entries[i + 8];
      __builtin_prefetch(ahead.path.data());
      __builtin_prefetch(ahead.sub_path.data());
      __builtin_prefetch(ahead.name.data());
    }
    const Entry& entry = entries[i];
    tally.add_entry(entry);
    // The folder of the entry before is this one's when both have the same
    // parts, which spares the join for every entry of a run.
    const bool same_parts = i > 0 && entry.path == entries[i - 1].path &&
                            entry.sub_path == entries[i - 1].sub_path;
    std::string folder = same_parts ? std::string() : entry.folder_path();
    if (trace) trace_entry(same_parts ? previous : folder, entry);
    if (!same_parts && folder != previous) {
      const std::string alias = entry.alias_folder_path();
      run_insert.reset();
      run_insert.bind_text(1, uuid_);
      run_insert.bind_text(2, folder);
      run_insert.bind_text(3, alias);
      rc = run_insert.step();
      if (rc != SQLITE_DONE || !placed(++runs)) break;
      previous = std::move(folder);
    }
    entry_insert.reset();
    entry_insert.bind_int64(1, runs);
    entry_insert.bind_text(2, entry.name);
    entry_insert.bind_blob(3, &entry.stat, kStatRecordSize);
    entry_insert.bind_text(4, entry.cluster);
    rc = entry_insert.step();
  }

  run_insert.finalize();
  entry_insert.finalize();
  // A commit that fails loses the list as surely as a failed insert.
  if (rc == SQLITE_DONE && misplaced == 0) rc = commit();
  // The list, whole on disk now, takes its uuid in a transaction of its own.
  // The text is as long as the mark, so the root row changes in place.
  if (rc == SQLITE_OK) {
    begin();
    Statement publish(db_, kPublish);
    publish.bind_text(1, uuid_);
    rc = publish.step();
    publish.finalize();
    if (rc == SQLITE_DONE) rc = commit();
  }
  if (rc != SQLITE_OK) {
    if (misplaced != 0) {
      log_line(LogKind::kError, "[cache] uuid %s: row %lld of a stale table",
               uuid_.c_str(), static_cast<long long>(misplaced));
    } else {
      log_line(LogKind::kError, "[cache] %s", sqlite3_errstr(rc));
    }
    rollback();
    // Without a journal the rollback cannot be trusted to undo what reached
    // the file, and a list that is not whole is worth nothing: the slot's
    // file goes, and with it the room it took on the volume.
    if (folder_) folder_->remove_file(slot_);
    set_error(error, kCacheFailure, "cache failure");
    return Json();
  }
  log_line(LogKind::kInfo, "[cache] uuid %s created", uuid_.c_str());
  return Json::adopt(json_pack("{so ss si}", "cluster",
                               tally.summary().release(), "uuid", uuid_.c_str(),
                               "total", static_cast<int>(entries.size())));
}

Json CacheStore::fetch(const std::string& uuid, int64_t offset, int64_t limit,
                       const std::shared_ptr<Formatter>& formatter,
                       ErrorRecord* error) {
  // The existence check, the count and the page form one read transaction,
  // so that a list deleted in between never shows a total without rows.
  // The rows are formatted after it ends: formatting may run external tools,
  // and writers of the file must not wait for them.
  if (index_ != 0 && db_ != nullptr) {
    sqlite3_exec(db_, kPageCache, nullptr, nullptr, nullptr);
  }
  begin();
  if (!exists(uuid)) {
    commit();
    log_line(LogKind::kWarning, "[cache] uuid %s invalid", uuid.c_str());
    set_error(error, kInvalidParameter, "invalid uuid");
    return Json();
  }
  const int32_t total = count(uuid);
  std::vector<Entry> rows;
  {
    Statement page(db_, kPageStatement);
    page.bind_text(page.parameter("@uuid"), uuid);
    page.bind_int(page.parameter("@limit"), low_bits(limit));
    page.bind_int(page.parameter("@offset"), low_bits(offset));
    while (page.step() == SQLITE_ROW) {
      if (!formatter) continue;
      sqlite3_stmt* row = page.get();
      const void* blob = sqlite3_column_blob(row, 2);
      const int size = sqlite3_column_bytes(row, 2);
      rows.push_back(Entry::from_cache(page.column_text(0), page.column_text(1),
                                       stat_from_blob(blob, size),
                                       page.column_text(3)));
    }
  }
  commit();

  Json datas = Json::adopt(json_array());
  for (const Entry& entry : rows) {
    json_array_append_new(datas.get(),
                          formatter->format_entry(entry).release());
  }
  const ChangeProbe probe = g_change_probe.load();
  const bool changed = index_ != 0 && probe != nullptr && probe(index_, uuid);
  Json result = Json::adopt(json_pack("{so si sb}", "datas", datas.release(),
                                      "total", static_cast<int>(total),
                                      "changed", changed ? 1 : 0));
  if (formatter) formatter->add_page_members(result.get());
  return result;
}

Json CacheStore::fetch(int64_t offset, int64_t limit,
                       const std::shared_ptr<Formatter>& formatter,
                       ErrorRecord* error) {
  return fetch(uuid_, offset, limit, formatter, error);
}

void CacheStore::remove(const std::string& uuid, ErrorRecord* error) {
  if (!db_) {
    set_error(error, kCacheFailure, "uuid not found");
    return;
  }
  if (folder_ && !lock_.held()) {
    // With the lock no writer is at work on the slot, and the file opened
    // now is the slot's current one.
    if (!lock_.acquire(*folder_, slot_)) {
      log_line(LogKind::kError, "[cache] lock %s/%s: %s",
               folder_->path().c_str(), slot_.c_str(), std::strerror(errno));
      set_error(error, kCacheFailure, "cache failure");
      return;
    }
    sqlite3_close(db_);
    db_ = nullptr;
    connect(false);
    if (!db_) {
      set_error(error, kCacheFailure, "uuid not found");
      return;
    }
  }
  Statement remove(db_, kDelete);
  // A file without the tables, or not a database at all, holds no list; one
  // that is locked may well hold it.
  const int prepared = remove.prepared();
  if (prepared != SQLITE_OK && prepared != SQLITE_BUSY &&
      prepared != SQLITE_LOCKED) {
    set_error(error, kCacheFailure, "uuid not found");
    return;
  }
  begin();
  remove.bind_text(1, uuid);
  int rc = remove.step();
  const int changes = rc == SQLITE_DONE ? sqlite3_changes(db_) : 0;
  remove.finalize();
  if (rc == SQLITE_DONE) rc = commit();
  if (rc != SQLITE_OK) {
    // The rows, if any, were never deleted: the list is still there.
    log_line(LogKind::kError, "[cache] %s", sqlite3_errstr(rc));
    rollback();
    set_error(error, kCacheFailure, "cache failure");
    return;
  }
  if (changes == 0) {
    set_error(error, kCacheFailure, "uuid not found");
    return;
  }
  log_line(LogKind::kInfo, "[cache] uuid %s deleted", uuid.c_str());
}

bool CacheStore::exists(const std::string& uuid) {
  if (!db_) return false;
  Statement query(db_, kExists);
  query.bind_text(query.parameter("@uuid"), uuid);
  return query.step() == SQLITE_ROW && sqlite3_column_int64(query.get(), 0) > 0;
}

int32_t CacheStore::count(const std::string& uuid) {
  if (!exists(uuid)) return 0;  // The entry rows of a removed list remain.
  Statement query(db_, kCount);
  if (query.step() != SQLITE_ROW) return 0;
  return sqlite3_column_int(query.get(), 0);  // NULL for no entries reads 0.
}

std::vector<std::string> CacheStore::paths() {
  std::vector<std::string> result;
  if (!db_) return result;
  Statement query(db_, kPaths);
  while (query.step() == SQLITE_ROW) result.push_back(query.column_text(0));
  return result;
}

std::vector<std::string> CacheStore::folders(size_t limit, bool* complete) {
  // Looked up by the statement's own text, copied only when new.
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>()(text);
    }
  };
  std::vector<std::string> result;
  *complete = true;
  if (!db_) return result;
  {
    // Exactly one object of the name, and the writer's own table.
    Statement table(db_, kCacheTableText);
    const bool ours =
        table.step() == SQLITE_ROW && table.column_text(0) == "table" &&
        table.column_text(1) == kCacheTable && table.step() == SQLITE_DONE;
    if (!ours) {
      *complete = false;
      return result;
    }
  }
  std::unordered_set<std::string, TextHash, std::equal_to<>> seen;
  Statement query(db_, kPaths);
  while (query.step() == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(query.get(), 0);
    if (text == nullptr) continue;
    const std::string_view path(reinterpret_cast<const char*>(text),
                                sqlite3_column_bytes(query.get(), 0));
    if (path.empty() || seen.find(path) != seen.end()) continue;
    if (result.size() == limit) {
      *complete = false;
      break;
    }
    seen.emplace(path);
    result.emplace_back(path);
  }
  return result;
}

std::string CacheStore::list_uuid() {
  if (!db_) return std::string();
  Statement query(db_, kListUuid);
  return query.step() == SQLITE_ROW ? query.column_text(0) : std::string();
}

Json CacheStore::clusters() {
  ClusterTally tally;
  if (!db_) return tally.summary();
  Statement query(db_, kClusters);
  while (query.step() == SQLITE_ROW) {
    tally.add(query.column_text(0), sqlite3_column_int(query.get(), 1));
  }
  return tally.summary();
}

}  // namespace orv
