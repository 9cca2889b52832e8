#include "recent/store.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <list>
#include <string>

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

// The queue and the writer thread. The stop flag is set before the
// condition is signalled and read both under the mutex and outside it.
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_wake = PTHREAD_COND_INITIALIZER;
std::list<RecentItem> g_queue;  // guarded by g_mutex
std::atomic<int> g_stop{0};
bool g_hold = false;  // set before the writer starts
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

// Takes, from the head of the queue, the first item and up to 499 more of
// the same user, in their order; items of other users stay queued as they
// were.
std::list<RecentItem> take_batch() {
  std::list<RecentItem> batch;
  pthread_mutex_lock(&g_mutex);
  if (!g_queue.empty()) {
    const uid_t uid = g_queue.front().user.uid;
    for (auto it = g_queue.begin();
         it != g_queue.end() && batch.size() < kBatchLimit;) {
      auto next = std::next(it);
      if (it->user.uid == uid) batch.splice(batch.end(), g_queue, it);
      it = next;
    }
  }
  pthread_mutex_unlock(&g_mutex);
  return batch;
}

// Writes one user's items in one transaction. Failures drop the batch; the
// requests were answered long ago, so the log is where they show.
void write_batch(const std::list<RecentItem>& batch) {
  std::unique_ptr<UserDatabase> db = db_open(batch.front().user);
  if (db == nullptr) return;
  sqlite3_exec(db->get(), "BEGIN", nullptr, nullptr, nullptr);
  Statement insert = prepare(db->get(), kInsert);
  bool failed = insert == nullptr;
  for (const RecentItem& item : batch) {
    if (failed) break;
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
    failed = sqlite3_step(s) != SQLITE_DONE;
  }
  insert.reset();
  if (failed) {
    log(Level::kError, "[database] %s : %s", db->path().c_str(),
        sqlite3_errmsg(db->get()));
  }
  if (sqlite3_exec(db->get(), "COMMIT", nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    if (!failed) {
      log(Level::kError, "[database] %s : %s", db->path().c_str(),
          sqlite3_errmsg(db->get()));
    }
    sqlite3_exec(db->get(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

void drain() {
  while (true) {
    std::list<RecentItem> batch = take_batch();
    if (batch.empty()) return;
    write_batch(batch);
  }
}

void* writer_main(void*) {
  while (g_stop.load() == 0) {
    pthread_mutex_lock(&g_mutex);
    while (g_stop.load() == 0 && (g_queue.empty() || g_hold)) {
      pthread_cond_wait(&g_wake, &g_mutex);
    }
    pthread_mutex_unlock(&g_mutex);
    if (g_stop.load() == 0) drain();
  }
  drain();  // What was queued before the stop is written, not lost.
  return nullptr;
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
  pthread_mutex_lock(&g_mutex);
  g_queue.clear();
  pthread_mutex_unlock(&g_mutex);
  g_stop.store(0);
  g_running = start_thread(&g_writer, &writer_main, nullptr);
}

void store_stop() {
  log(Level::kInfo, "[database] shutdown");
  pthread_mutex_lock(&g_mutex);
  g_stop.store(1);
  pthread_cond_signal(&g_wake);
  pthread_mutex_unlock(&g_mutex);
  if (g_running) pthread_join(g_writer, nullptr);
  g_running = false;
}

void store_enqueue(RecentItem item) {
  // Also where a folder or a link at ".recent" is found and logged once:
  // the item could not be written anyway.
  if (!db_ensure(item.user)) return;
  pthread_mutex_lock(&g_mutex);
  bool full = g_queue.size() >= kQueueLimit;
  if (!full) g_queue.push_back(std::move(item));
  pthread_mutex_unlock(&g_mutex);
  if (full) {
    log(Level::kWarn, "[database] over queue size");
    return;
  }
  pthread_cond_signal(&g_wake);
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
  if (std::unique_ptr<UserDatabase> db = db_open(request.user)) {
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

void store_clear(const ClearRequest& request) {
  std::unique_ptr<UserDatabase> db = db_open(request.user);
  if (db == nullptr) return;
  Statement remove = prepare(db->get(), kDelete);
  if (remove == nullptr) return;
  bind_int(remove.get(), "@id", request.id);
  bind_int(remove.get(), "@type", request.type);
  bind_text(remove.get(), "@path", request.path);
  sqlite3_step(remove.get());
}

}  // namespace orv::recent
