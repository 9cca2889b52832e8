// The "fetch.resource" and "create.cache" endpoints: both walk the folders of
// a search into a sorted, grouped list and write it into a cache store.
// "fetch.resource" uses a private in-memory store and answers with one page
// of it at once; "create.cache" keeps the list in a cache slot of the session
// for later paging and then has the daemon watch the list's folders.
#include "collect/resource_endpoints.h"

#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cache/cache_folder.h"
#include "cache/cache_store.h"
#include "collect/walker.h"
#include "common/bus/hvservice.h"
#include "common/client_watchdog.h"
#include "common/error.h"
#include "common/json.h"
#include "common/log.h"
#include "common/reply.h"
#include "format/formatter.h"
#include "query/query.h"
#include "session/session.h"

namespace orv {

namespace {

// Seconds the handler waits for the daemon to take the watch request.
constexpr int kWatchTimeout = 5;

constexpr uintptr_t kHugePageBytes = uintptr_t{2} << 20;

// The sorted, grouped list of the query's search.
std::vector<Entry> collect(const Query& query) {
  std::vector<Entry> entries;
  // Room for as many entries as the walk may keep (it then reserves no more).
  // A large list is one array filled front to back: backed by huge pages,
  // its first touch costs one page fault per 2 MiB rather than one per 4 KiB,
  // which on a large search is a good part of the walk's time. Pages are
  // still only taken as the list grows.
  const uint64_t room = std::min<uint64_t>(
      static_cast<uint64_t>(std::max<int64_t>(query.reach_limit, 0)),
      kDefaultReachLimit);
  entries.reserve(room);
  const size_t bytes = entries.capacity() * sizeof(Entry);
  if (bytes >= kHugePageBytes) {
    const auto start = reinterpret_cast<uintptr_t>(entries.data());
    const uintptr_t first =
        (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
    const uintptr_t end = (start + bytes) & ~(kHugePageBytes - 1);
    if (end > first) {
      madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
    }
  }
  // The walk consumes its queue and holds the strategies while it runs; the
  // query keeps its own.
  walk(&entries, query.roots, query.filters, query.sorter, query.cluster,
       static_cast<uint64_t>(query.reach_limit), query.recursive,
       query.reach_time);
  return entries;
}

// The moment a walk begins, as the "walk_start" of its watch request:
// nanoseconds of the coarse real-time clock, the clock the kernel stamps
// file changes with, so that a change made after this moment never bears an
// earlier stamp.
int64_t walk_start() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Asks the daemon to watch the folders of the list just written into slot
// `index`, whose walk began at `started` (walk_start). The watchers live in
// the daemon, not in this process, so the request goes over the bus to the
// session's own service. The outcome is ignored: the caller has its answer
// already, and a list that is not watched only misses its change marks.
void request_watch(uint64_t index, int64_t started) {
  hv_io_t* io = hv_io_create();
  if (io == nullptr) return;
  // The watcher is armed only after the list is written; with the start of
  // the walk it also reports the folders that changed while it ran.
  Json body =
      Json::adopt(json_pack("{si sI}", "index", static_cast<int>(index),
                            "walk_start", static_cast<json_int_t>(started)));
  if (body && json_dump_callback(body.get(), io_writer, io, kJsonFlags) == 0) {
    const int result = hv_call(session().service_name().c_str(), "watch", io,
                               kWatchTimeout, -1);
    log_debug("resource", __LINE__, "[resource] watch index %d: %d",
              static_cast<int>(index), result);
  }
  hv_io_free(io);
}

}  // namespace

void fetch_resource_handler(void*, hv_io_t* io, json_t* params, int fd) {
  ErrorRecord error;
  clear_error(&error);
  Query query;
  parse_query(params, &error, &query);
  json_object_clear(params);
  if (!error.ok()) {
    reply_json(io, fd, nullptr, error);
    return;
  }
  // A search whose caller has gone stops; writing the list disarms this.
  watch_client(io, 5);
  const std::vector<Entry> entries = collect(query);

  CacheStore store;
  Json made = store.set(entries, &error);
  if (made) json_object_update(params, made.get());
  auto formatter = std::make_shared<LegacyFormatter>(session().user_name(),
                                                     session().service_name());
  // Runs even when the write failed: it then finds no list and answers
  // "invalid uuid", which is what the client can act on.
  Json page = store.fetch(static_cast<int64_t>(query.offset),
                          static_cast<int64_t>(query.limit), formatter, &error);
  if (page) json_object_update(params, page.get());
  reply_json(io, fd, params, error);
}

void create_cache_handler(void*, hv_io_t* io, json_t* params, int fd) {
  ErrorRecord error;
  clear_error(&error);
  CreateRequest request;
  parse_create_request(params, &error, &request);
  json_object_clear(params);
  if (!error.ok()) {
    reply_json(io, fd, nullptr, error);
    return;
  }
  watch_client(io, 5);
  const int64_t started = walk_start();
  const std::vector<Entry> entries = collect(request.query);

  {
    CacheStore store(default_volume(), session().sid(), request.index, true);
    Json made = store.set(entries, &error);
    if (made) json_object_update(params, made.get());
  }  // Closed before the watcher reads the slot.
  reply_json(io, fd, params, error);
  // The caller may leave once it has the answer; the watch request must
  // still reach the daemon.
  stop_client_watch();
  request_watch(request.index, started);
}

}  // namespace orv
