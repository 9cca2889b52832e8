// CacheStore: the handle on one result cache database, the SQLite file of one
// cache slot of the login session (or a private in-memory database), holding
// at most one finished result list that the web client pages through.
//
// A slot's database holds two tables: `cache`, one root row per list and then
// one row per run of consecutive entries in the same folder (uuid, folder
// path, folder alias), and `entry`, one row per entry in list order (the
// rowid of its run's `cache` row, name, raw 144-byte stat record, cluster
// key). Every reading statement joins the two, so a list is reachable only
// while its `cache` rows are there.
//
// A store is made for one request and used by that request's thread only.
// Several processes may open the same slot file at once. Writers and deletes
// of one slot take the slot's lock in turn (see SlotLock); readers take no
// lock but SQLite's own, and a locked database answers SQLITE_BUSY at once,
// without waiting. Writing a slot unlinks the old file and creates a new one,
// so a reader that still has the old file open keeps reading the old list.
#ifndef ORV_CACHE_CACHE_STORE_H_
#define ORV_CACHE_CACHE_STORE_H_

#include <sqlite3.h>
#include <sys/stat.h>
#include <unicode/translit.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cache/cache_folder.h"
#include "common/error.h"
#include "common/json.h"
#include "entry/entry.h"
#include "format/formatter.h"

namespace orv {

// The stat record is stored in the cache byte for byte as the x86-64 kernel
// hands it over.
inline constexpr size_t kStatRecordSize = 144;
static_assert(sizeof(struct stat) == kStatRecordSize,
              "the cache stores the 144-byte x86-64 stat record");

// Whether the folders of the list `uuid` in cache slot `index` (1 or 2) have
// changed since they were put under watch for it.
using ChangeProbe = bool (*)(size_t index, const std::string& uuid);
// The folder watcher's seam: the watcher installs its answer here. Until it
// does (or after null is given) every page reports "changed" false.
void set_change_probe(ChangeProbe probe);

// The statement that reads one page of a list, in list order.
inline constexpr char kPageStatement[] =
    "SELECT cache.path, entry.name, entry.stat, cache.alias FROM cache, entry "
    "WHERE uuid = @uuid AND cache.rowid = entry.path LIMIT @limit OFFSET "
    "@offset";

class CacheStore {
 public:
  // The private in-memory store of a single request: index 0, opened to be
  // written anew, no fold transliterator (DEDIACRITICAL answers NULL).
  CacheStore();
  // The store of cache slot `index` (1 or 2) of login session `sid`, in the
  // cache directory of `volume` (the default volume, default_volume()). With
  // `create` the store waits for the slot's writer lock and holds it until
  // dropped; the slot's file is then removed and made anew, readable and
  // writable by its owner only. Without a volume, a session id, a cache
  // directory of root's own or (for `create`) the lock and a fresh file, the
  // store has no connection: every operation then fails as described below
  // without reaching SQLite. Stores of different sessions may live side by
  // side in one process.
  CacheStore(const std::string& volume, const std::string& sid, size_t index,
             bool create);
  ~CacheStore();  // Closes the connection.
  CacheStore(const CacheStore&) = delete;
  CacheStore& operator=(const CacheStore&) = delete;

  // Writes `entries`, in list order, as the store's one list under a new
  // uuid, replacing whatever the database held. Returns {"cluster": the
  // cluster summary, "uuid": the new uuid, "total": entries.size()}. On
  // failure sets `error` to code 3 "cache failure" and returns an empty Json;
  // nothing of the list is kept. Rows that do not land where fresh tables put
  // them (the root row at rowid 1, each run's row at its count) fail the
  // write, since the list's entries refer to them by those numbers. Disarms the
  // client watchdog before the first entry: a list once begun is written to its
  // end.
  Json set(const std::vector<Entry>& entries, ErrorRecord* error);

  // One page of the list `uuid`: {"datas": one object per entry from
  // `offset` on, at most `limit`, "total": entries of the whole list,
  // "changed": whether its folders changed}, with the formatter's page
  // members added. Offset and limit are used as their low 32 bits; a
  // negative offset counts as 0. Entries are formatted by `formatter`; with
  // none, "datas" stays empty. When no list bears the uuid (or the database
  // cannot be read) sets `error` to code 2 "invalid uuid" and returns an
  // empty Json. The page is read in one read transaction, so it never mixes
  // two states of the database.
  Json fetch(const std::string& uuid, int64_t offset, int64_t limit,
             const std::shared_ptr<Formatter>& formatter, ErrorRecord* error);
  // fetch() of the list that set() made through this store.
  Json fetch(int64_t offset, int64_t limit,
             const std::shared_ptr<Formatter>& formatter, ErrorRecord* error);

  // Drops the list `uuid` (its `cache` rows; its entries become
  // unreachable). Works on the slot as it is now: takes the slot's writer
  // lock and opens the slot's current file again, as a writer may have
  // replaced it since the store was made. When the slot holds no list of that
  // uuid sets `error` to code 3 "uuid not found"; when the delete could not be
  // made or committed (a reader kept the file locked, say), code 3 "cache
  // failure", and the list stays. The file itself stays.
  void remove(const std::string& uuid, ErrorRecord* error);

  // Whether a list bears `uuid`; false without a connection.
  bool exists(const std::string& uuid);
  // Number of entries of the list `uuid`; 0 when there is none.
  int32_t count(const std::string& uuid);
  // Every folder path of the database's `cache` table in table order, the
  // root row's "" included; empty without a connection.
  std::vector<std::string> paths();
  // Every distinct folder path of the `cache` table, in the order of its
  // first row, without the root row's "": the folders a list covers, read
  // without keeping the many repeats a list sorted across folders holds. At
  // most `limit` of them: `*complete` is false when there are more, and when
  // the slot's `cache` is not the table the writer makes (a view, say, whose
  // rows could be made without end), which is then not read at all. Empty
  // without a connection.
  std::vector<std::string> folders(size_t limit, bool* complete);
  // The uuid the slot's list bears; empty without a connection or a list.
  std::string list_uuid();
  // [{"value": cluster key, "count": entries}], one element per distinct key
  // in the order of the key's first entry. Empty array without a connection.
  Json clusters();

  // Drops and re-creates both tables in a transaction of their own; an
  // error of the schema statement is logged.
  void create_tables();
  // Transaction statements; each returns SQLite's result code. commit()
  // retries for a while when readers still hold the database.
  int begin();
  int commit();
  int rollback();

  // Makes the cache directory of `volume`: every account may add its own
  // files, none may list it or remove another account's file. One found
  // there is never changed (CacheFolder). Without a volume only warns.
  static void prepare_directory(const std::string& volume);
  // Whether login session `sid` is live.
  using LivenessCheck = bool (*)(const std::string& sid);
  // Removes from the cache directory of `volume` the slot, lock and SQLite
  // side files (parse_cache_file_name) of the sessions that `is_live` finds
  // ended. Every other name is kept. Without a volume only warns.
  static void purge(const std::string& volume, LivenessCheck is_live);

  size_t index() const { return index_; }
  // The uuid of the list set() wrote; empty before.
  const std::string& uuid() const { return uuid_; }
  // Whether the store has a connection.
  bool connected() const { return db_ != nullptr; }
  // The connection, or null. Used by tests.
  sqlite3* connection() const { return db_; }

 private:
  void open(const std::string& volume, const std::string& sid, size_t index,
            bool create);
  // Opens the slot file (the in-memory database for index 0) and applies the
  // connection settings; no connection when it cannot be opened.
  void connect(bool create);
  void apply_settings(bool create);
  // The SQL function DEDIACRITICAL(text): the text without accents, in lower
  // case; NULL for any other argument or without a transliterator.
  static void dediacritical(sqlite3_context* context, int argc,
                            sqlite3_value** argv);

  size_t index_ = 0;
  std::string uuid_;
  // The cache directory and the slot's file name in it ("<sid>.<index>");
  // null and empty for the in-memory store or when the directory is unfit.
  // The connection reaches its file through the directory's descriptor; the
  // destructor closes the connection before the lock and the directory go.
  std::unique_ptr<CacheFolder> folder_;
  std::string slot_;
  // The slot's writer lock: taken by a writer when it is made and by
  // remove() when it runs, held until the store is dropped.
  SlotLock lock_;
  sqlite3* db_ = nullptr;  // Owned; null when no database could be opened.
  // The fold of DEDIACRITICAL, made on the function's first call: no
  // statement of the system calls it, and making it costs more than most
  // requests do. Never made in the in-memory store.
  bool wants_fold_ = false;
  std::shared_ptr<icu::Transliterator> fold_;
};

}  // namespace orv

#endif  // ORV_CACHE_CACHE_STORE_H_
