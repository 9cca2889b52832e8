// The "watch" endpoint: re-arms the folder watcher of a cache slot from the
// slot's database. It runs on the daemon's worker pool, one request at a
// time, because the watchers live in the daemon; it answers first and then
// does the work, which nobody waits for.
#include "watch/watch_endpoint.h"

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cache/cache_folder.h"
#include "cache/cache_store.h"
#include "common/error.h"
#include "common/json.h"
#include "common/log.h"
#include "common/reply.h"
#include "query/params.h"
#include "session/session.h"
#include "watch/folder_watcher.h"

namespace orv {

namespace {

// The most heap SQLite may take in an arming's child: the slot file is the
// session user's to rewrite, and what SQLite would make of it is not ours to
// bound otherwise.
constexpr sqlite3_int64 kArmingHeap = 64 << 20;

// Replaces the folders `watcher` watches by those of the list in slot
// `index` of session `sid`. The slot file and every folder path in it are the
// session user's to write, so the watcher reads and looks them up in a
// process of the session user's, never as root.
void rearm_watcher(FolderWatcher* watcher, const std::string& sid, size_t index,
                   int64_t since) {
  const size_t watched = watcher->rearm(
      [&sid, index](size_t limit) {
        sqlite3_hard_heap_limit64(kArmingHeap);
        FolderList found;
        CacheStore store(default_volume(), sid, index, false);
        found.folders = store.folders(limit, &found.complete);
        if (found.complete) found.list = store.list_uuid();
        return found;
      },
      since);
  log_debug("watch", __LINE__, "[watch] index %d: %d folders watched",
            static_cast<int>(index), static_cast<int>(watched));
}

}  // namespace

void watch_handler(void*, hv_io_t* io, json_t* params, int fd) {
  ErrorRecord error;
  clear_error(&error);
  uint64_t index = 1;
  parse_index(params, &error, &index);
  // The moment create.cache began to walk the list's folders (nanoseconds
  // of the real-time clock); other callers send none.
  const int64_t since = json_int(json_object_get(params, "walk_start"));
  json_object_clear(params);
  reply_json(io, fd, nullptr, error);
  if (!error.ok()) return;
  rearm_watcher(folder_watcher(index), session().sid(), index, since);
}

}  // namespace orv
