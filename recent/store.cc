#include "recent/store.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <variant>

#include "common/json.h"
#include "common/log.h"
#include "common/thread.h"
#include "recent/database.h"
#include "recent/list_cache.h"
#include "recent/log.h"

namespace orv::recent {

namespace {

constexpr char kInsert[] =
    "INSERT INTO recent ( ip, app, user, type, path, time, action, client_id, "
    "client_app, client_agent, metadata ) VALUES ( COALESCE(@ip, "
    "'127.0.0.1'), COALESCE(@app, '---'), @user, @type, COALESCE(@path, ''), "
    "@time, @action, COALESCE(@client_id, '---'), COALESCE(@client_app, "
    "'---'), COALESCE(@client_agent, '---'), COALESCE(@metadata, '{}') )";
constexpr char kList[] =
    "SELECT id, ip, app, user, type, path, time, action, client_id, "
    "client_app, client_agent, metadata FROM recent WHERE type = @type GROUP "
    "BY path ORDER BY MAX(id) DESC LIMIT @limit";
constexpr char kDelete[] =
    "DELETE FROM recent WHERE id = @id OR (type = @type AND path = "
    "IFNULL(@path, path))";

// How long one try of the writer, and a list, wait for a database that
// another connection holds. A try of the writer only needs to outlast the
// daemon's own lists, as the writer tries again later; a list has no later,
// so it waits longer before it answers with what it could read.
constexpr int kWriteBusyMs = 50;
constexpr int kListBusyMs = 1000;
// How long the writer leaves a user alone after the user's database was
// found held, and how long it goes on trying before it drops the batch.
constexpr std::chrono::milliseconds kRetryDelay(500);
constexpr std::chrono::milliseconds kBusyTimeout(10000);

using Clock = std::chrono::steady_clock;

// One write waiting in the queue: an event to insert, or a clear to run in
// its place among its user's events.
using Write = std::variant<RecentItem, ClearRequest>;

const RecentUser& user_of(const Write& write) {
  return std::visit([](const auto& w) -> const RecentUser& { return w.user; },
                    write);
}

uid_t uid_of(const Write& write) { return user_of(write).uid; }

// A user whose database another connection held: the user's writes stay
// queued until `retry`, and the batch tried is given up once the database
// has been held for the busy timeout since `since`.
struct Held {
  Clock::time_point since;
  Clock::time_point retry;
};

// The queue and the writer thread. Counts include the batch in the writer's
// hand, so that a batch put back never takes a place someone else was
// given.
std::mutex g_mutex;
std::condition_variable g_wake;
std::list<Write> g_queue;              // guarded by g_mutex
size_t g_pending = 0;                  // guarded by g_mutex
std::map<uid_t, size_t> g_pending_of;  // guarded by g_mutex; no zeros
std::map<uid_t, Held> g_held;          // guarded by g_mutex
bool g_stop = false;                   // guarded by g_mutex
bool g_hold = false;                   // set before the writer starts
pthread_t g_writer;
bool g_running = false;

ListCache g_lists;

// Texts are bound without a copy: they outlive the statement's step.
void bind_text(sqlite3_stmt* statement, const char* name,
               const std::string& text) {
  sqlite3_bind_text(statement, sqlite3_bind_parameter_index(statement, name),
                    text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

// An absent text is bound as NULL, which the statements turn into the
// column's default.
void bind_text(sqlite3_stmt* statement, const char* name,
               const std::optional<std::string>& text) {
  if (text) {
    bind_text(statement, name, *text);
  } else {
    sqlite3_bind_null(statement, sqlite3_bind_parameter_index(statement, name));
  }
}

void bind_int(sqlite3_stmt* statement, const char* name, int64_t value) {
  sqlite3_bind_int64(statement, sqlite3_bind_parameter_index(statement, name),
                     value);
}

// Takes, from the head of the queue, the first write of a user who is not
// left alone: a clear by itself, or an event with up to 499 more events of
// the same user that follow it before that user's next clear, in their
// order. Writes of other users stay queued as they were. Empty when no
// write is due; `next` is then the earliest retry (max when none). Call
// under g_mutex.
std::list<Write> take_batch(Clock::time_point now, Clock::time_point* next) {
  std::list<Write> batch;
  *next = Clock::time_point::max();
  auto first = g_queue.begin();
  for (; first != g_queue.end(); ++first) {
    auto held = g_held.find(uid_of(*first));
    if (held == g_held.end() || held->second.retry <= now) break;
    *next = std::min(*next, held->second.retry);
  }
  if (first == g_queue.end()) return batch;
  const uid_t uid = uid_of(*first);
  for (auto it = first; it != g_queue.end() && batch.size() < kBatchLimit;) {
    auto following = std::next(it);
    if (uid_of(*it) == uid) {
      const bool clear = std::holds_alternative<ClearRequest>(*it);
      if (clear && !batch.empty()) break;
      batch.splice(batch.end(), g_queue, it);
      if (clear) break;
    }
    it = following;
  }
  return batch;
}

// The text of the error line of the statement that just failed on `db`.
std::string failure(const UserDatabase& db) {
  return db.path() + " : " + sqlite3_errmsg(db.get());
}

// Deletes the rows `request` names. Returns the error line's text when the
// database was held, empty otherwise; other failures are not reported.
std::string run_clear(const UserDatabase& db, const ClearRequest& request) {
  Statement remove = prepare(db.get(), kDelete);
  int code = sqlite3_errcode(db.get());
  if (remove != nullptr) {
    bind_int(remove.get(), "@id", request.id);
    bind_int(remove.get(), "@type", request.type);
    bind_text(remove.get(), "@path", request.path);
    code = sqlite3_step(remove.get());
  }
  return db_busy(code) ? failure(db) : std::string();
}

// Writes one user's events in one transaction. Returns the error line's
// text, with nothing written, when the database was held; empty otherwise.
// Other failures lose the events not yet written (the requests were
// answered long ago, so the log is where they show).
std::string insert_events(const UserDatabase& db,
                          const std::list<Write>& batch) {
  sqlite3* handle = db.get();
  sqlite3_exec(handle, "BEGIN", nullptr, nullptr, nullptr);
  Statement insert = prepare(handle, kInsert);
  int code = insert == nullptr ? sqlite3_errcode(handle) : SQLITE_DONE;
  for (const Write& write : batch) {
    if (code != SQLITE_DONE) break;
    const RecentItem& item = std::get<RecentItem>(write);
    sqlite3_stmt* s = insert.get();
    sqlite3_reset(s);
    bind_text(s, "@ip", item.ip);
    bind_text(s, "@app", item.app);
    bind_int(s, "@user", item.user.uid);
    bind_int(s, "@type", item.type);
    bind_text(s, "@path", item.path);
    bind_int(s, "@time", item.time);
    bind_int(s, "@action", item.action);
    bind_text(s, "@client_id", item.client_id);
    bind_text(s, "@client_app", item.client_app);
    bind_text(s, "@client_agent", item.client_agent);
    bind_text(s, "@metadata", item.metadata);
    code = sqlite3_step(s);
  }
  insert.reset();
  if (!db_busy(code)) {
    // What went in before a failure is kept.
    const bool logged = code != SQLITE_DONE;
    if (logged) log(Level::kError, "[database] %s", failure(db).c_str());
    code = sqlite3_exec(handle, "COMMIT", nullptr, nullptr, nullptr);
    if (code == SQLITE_OK) return std::string();
    if (!db_busy(code) && !logged) {
      log(Level::kError, "[database] %s", failure(db).c_str());
    }
  }
  const std::string busy = db_busy(code) ? failure(db) : std::string();
  sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
  return busy;
}

// Runs one batch. Returns the error line's text, with nothing done, when
// its user's database was held; empty when the batch is done with.
std::string write_batch(const std::list<Write>& batch) {
  std::string busy;
  std::unique_ptr<UserDatabase> db =
      db_open(user_of(batch.front()), kWriteBusyMs, &busy);
  if (db == nullptr) return busy;
  if (const auto* clear = std::get_if<ClearRequest>(&batch.front())) {
    return run_clear(*db, *clear);
  }
  return insert_events(*db, batch);
}

// Settles a batch that was tried. One whose user's database was held goes
// back to the head of the queue, ahead of that user's later writes, and the
// user is left alone for a while; once the database has been held for the
// busy timeout, the batch is dropped like any write that fails (true is
// returned: the caller logs `busy`, the text of its error line). Call under
// g_mutex.
bool settle(std::list<Write> batch, const std::string& busy) {
  const uid_t uid = uid_of(batch.front());
  const Clock::time_point now = Clock::now();
  if (!busy.empty()) {
    Held& mark = g_held.try_emplace(uid, Held{now, now}).first->second;
    if (now - mark.since < kBusyTimeout) {
      mark.retry = now + kRetryDelay;
      g_queue.splice(g_queue.begin(), batch);
      return false;
    }
  }
  g_held.erase(uid);
  g_pending -= batch.size();
  if ((g_pending_of[uid] -= batch.size()) == 0) g_pending_of.erase(uid);
  return !busy.empty();
}

// Runs the queue until the stop, then writes out what is left (a user whose
// database stays held is given up after the busy timeout, as ever).
void* writer_main(void*) {
  std::unique_lock<std::mutex> lock(g_mutex);
  while (true) {
    Clock::time_point next = Clock::time_point::max();
    std::list<Write> batch;
    if (!g_hold || g_stop) batch = take_batch(Clock::now(), &next);
    if (batch.empty()) {
      if (g_stop && g_queue.empty()) return nullptr;
      if (next == Clock::time_point::max()) {
        g_wake.wait(lock);
      } else {
        g_wake.wait_until(lock, next);
      }
      continue;
    }
    lock.unlock();
    const std::string busy = write_batch(batch);
    lock.lock();
    if (settle(std::move(batch), busy)) {
      lock.unlock();
      log(Level::kError, "[database] %s", busy.c_str());
      lock.lock();
    }
  }
}

// Queues `write` unless the queue or its user's share is full.
void push(Write write) {
  const uid_t uid = uid_of(write);
  bool full;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto mine = g_pending_of.find(uid);
    full = g_pending >= kQueueLimit ||
           (mine != g_pending_of.end() && mine->second >= kUserQueueLimit);
    if (!full) {
      ++g_pending;
      ++g_pending_of[uid];
      g_queue.push_back(std::move(write));
    }
  }
  if (full) {
    log(Level::kWarn, "[database] over queue size");
    return;
  }
  g_wake.notify_one();
}

// A text cell as a JSON string; "" for NULL. Empty when it is not UTF-8
// (the file belongs to its user, who may have written anything into it).
Json text_cell(sqlite3_stmt* row, int column) {
  const char* text =
      reinterpret_cast<const char*>(sqlite3_column_text(row, column));
  if (text == nullptr) return Json::adopt(json_string(""));
  return Json::adopt(json_stringn(
      text, static_cast<size_t>(sqlite3_column_bytes(row, column))));
}

// The local form of a stored time: its fields as UTC, then `offset`, the
// "+hhmm" or "-hhmm" of the current zone.
std::string local_form(int64_t seconds, const std::string& offset) {
  time_t t = static_cast<time_t>(seconds);
  struct tm fields {};
  gmtime_r(&t, &fields);
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d%s",
                fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
                fields.tm_hour, fields.tm_min, fields.tm_sec, offset.c_str());
  return text;
}

// One list row as its reply object, with the metadata's members merged in;
// empty when a text cell is not UTF-8 (the row is then left out).
Json row_object(sqlite3_stmt* row, const std::string& offset) {
  Json texts[] = {text_cell(row, 1), text_cell(row, 2), text_cell(row, 5),
                  text_cell(row, 8), text_cell(row, 9), text_cell(row, 10)};
  for (const Json& text : texts) {
    if (!text) return Json();
  }
  const auto integer = [row](int column) {
    return static_cast<json_int_t>(sqlite3_column_int64(row, column));
  };
  Json object = Json::adopt(
      json_pack("{sI sO sO sI sI sO ss sI sO sO sO}", "id", integer(0), "ip",
                texts[0].get(), "app", texts[1].get(), "user", integer(3),
                "type", integer(4), "path", texts[2].get(), "time",
                local_form(sqlite3_column_int64(row, 6), offset).c_str(),
                "action", integer(7), "client_id", texts[3].get(), "client_app",
                texts[4].get(), "client_agent", texts[5].get()));
  if (!object) return object;
  const void* blob = sqlite3_column_blob(row, 11);
  if (blob != nullptr) {
    Json metadata = Json::adopt(json_loadb(
        static_cast<const char*>(blob),
        static_cast<size_t>(sqlite3_column_bytes(row, 11)), 0, nullptr));
    if (json_is_object(metadata.get())) {
      json_object_update(object.get(), metadata.get());
    }
  }
  return object;
}

// The current time in UTC as "YYYY-MM-DDThh:mm:ssZ".
std::string utc_now() {
  time_t now = std::time(nullptr);
  struct tm fields {};
  gmtime_r(&now, &fields);
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02dZ",
                fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
                fields.tm_hour, fields.tm_min, fields.tm_sec);
  return text;
}

}  // namespace

void store_hold_writer() { g_hold = true; }

void store_start() {
  log(Level::kInfo, "[database] startup");
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_queue.clear();
    g_pending = 0;
    g_pending_of.clear();
    g_held.clear();
    g_stop = false;
  }
  g_running = start_thread(&g_writer, &writer_main, nullptr);
}

void store_stop() {
  log(Level::kInfo, "[database] shutdown");
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_stop = true;
  }
  g_wake.notify_one();
  if (g_running) pthread_join(g_writer, nullptr);
  g_running = false;
}

void store_enqueue(RecentItem item) {
  // Also where a folder or a link at ".recent" is found and logged once:
  // the item could not be written anyway.
  if (!db_ensure(item.user)) return;
  push(std::move(item));
}

std::string store_list(const ListRequest& request, json_t* times) {
  // The zone is read once per list: every reading of it stats the zone file.
  const std::string now = iso_timestamp(local_clock());
  json_object_set_new(times, "tz", json_string(now.c_str()));
  json_object_set_new(times, "utc", json_string(utc_now().c_str()));
  const ListKey key{request.user.uid, request.type, timezone};
  DbStamp stamp;
  // Taken before the rows are read, so that a change made meanwhile can
  // only make the entry look older than it is.
  const bool stamped = db_stamp(request.user, &stamp);
  if (stamped) {
    if (std::optional<std::string> text = g_lists.find(key, stamp)) {
      return *text;
    }
  }
  Json data = Json::adopt(json_array());
  bool complete = false;
  if (std::unique_ptr<UserDatabase> db = db_open(request.user, kListBusyMs)) {
    Statement list = prepare(db->get(), kList);
    if (list != nullptr) {
      bind_int(list.get(), "@type", request.type);
      bind_int(list.get(), "@limit", kListLimit);
      const std::string offset = now.substr(now.size() - 5);
      int code;
      while ((code = sqlite3_step(list.get())) == SQLITE_ROW) {
        Json object = row_object(list.get(), offset);
        if (object) json_array_append(data.get(), object.get());
      }
      complete = code == SQLITE_DONE;
    }
  }
  std::string text = json_text(data.get());
  if (stamped && complete) g_lists.put(key, stamp, text);
  return text;
}

void store_clear(const ClearRequest& request) { push(request); }

}  // namespace orv::recent
