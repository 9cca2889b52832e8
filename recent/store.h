// The store of vimbrel: one SQLite database per user, ".recent" in the
// user's home folder, holding a rotating log of file events. Adds and clears
// are queued and run by one writer thread, adds in batched transactions;
// lists run against the database in the thread of the request. Each user
// has a bounded share of the queue, and a user whose database another
// program holds delays only that user's own writes.
#ifndef ORV_RECENT_STORE_H_
#define ORV_RECENT_STORE_H_

#include <jansson.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace orv::recent {

// Who a database belongs to.
struct RecentUser {
  uid_t uid = 0;
  gid_t gid = 0;     // the account's primary group: the fsgid of file work
  std::string home;  // the account's home folder, an existing directory
};

// One event waiting to be written. Absent strings take the column defaults.
struct RecentItem {
  std::optional<std::string> ip;
  std::optional<std::string> app;  // at most 32 bytes
  RecentUser user;
  std::string path;
  int64_t time = 0;     // local wall-clock seconds (local_clock)
  int32_t type = 0;     // 1 open, 2 delete, 3 upload
  uint32_t action = 0;  // one bit of the action table
  std::optional<std::string> client_id;     // at most 64 bytes
  std::optional<std::string> client_app;    // at most 128 bytes
  std::optional<std::string> client_agent;  // at most 255 bytes
  std::string metadata;  // compact JSON text of the metadata object
};

struct ListRequest {
  RecentUser user;
  int32_t type = 0;  // 0 when the request gave none
  int64_t id = 0;    // read, not used
};

struct ClearRequest {
  RecentUser user;
  int64_t type = 0;  // 0 when absent
  int64_t id = 0;    // 0 when absent
  std::optional<std::string> path;
};

// The most items the queue holds; an add beyond it is dropped.
constexpr size_t kQueueLimit = 5000;
// The most items of one user the queue holds: a fifth, so that one user
// flooding it leaves room for everybody else.
constexpr size_t kUserQueueLimit = kQueueLimit / 5;
// The most inserts of one transaction.
constexpr size_t kBatchLimit = 500;
// The most paths a list answers.
constexpr int kListLimit = 100;

// Starts the writer thread; called once from the service's worker start hook.
void store_start();

// Wakes the writer, which writes out everything still queued, and waits for
// it to end; called once from the worker end hook, after the request pools
// have stopped.
void store_stop();

// Makes sure the item's database exists, then queues the item (dropping it
// with the "over queue size" warning when 5000 are pending, or 1000 of its
// user). Any thread. Nothing is reported: the caller has already answered
// the request.
void store_enqueue(RecentItem item);

// Sets "tz" and "utc" in `times` and returns the compact JSON text of the
// list's "data": the newest entry of each path of the type, newest first, at
// most 100, each with its metadata's members. A database that cannot be read
// gives "[]", and so does one that another program holds for longer than
// a second. A list is read again only when the database has changed since
// it was last read. Any thread.
std::string store_list(const ListRequest& request, json_t* times);

// Queues the deletion of the rows the request names, behind the adds of its
// user that wait (dropped like an add when the queue or the user's share of
// it is full); reports nothing. Any thread.
void store_clear(const ClearRequest& request);

// The writer writes nothing until store_stop, which then writes out the
// whole queue. Call before store_start. Used by tests.
void store_hold_writer();

}  // namespace orv::recent

#endif  // ORV_RECENT_STORE_H_
