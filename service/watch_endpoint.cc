// The "watch" endpoint: re-arms the folder watcher of a cache slot from the
// slot's database. It runs on the daemon's worker pool, one request at a
// time, because the watchers live in the daemon; it answers first and then
// does the work, which nobody waits for.
#include <malloc.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cache/cache_store.h"
#include "common/error.h"
#include "common/fork_gate.h"
#include "common/json.h"
#include "common/log.h"
#include "common/reply.h"
#include "query/params.h"
#include "service/handlers.h"
#include "service/session.h"
#include "watch/folder_watcher.h"
#include "watch/thread_identity.h"

namespace orv {

namespace {

// Replaces the folders `watcher` watches by those of the lists in slot
// `index`. The slot file and every folder path in it are the session user's
// to write, so all of it is read and looked up with the session user's
// permissions, never root's: a folder the user may not read is not watched,
// and no link the user placed is followed by root.
void rearm_watcher(FolderWatcher* watcher, size_t index, int64_t since) {
  const Session& current = session();
  ThreadIdentity as_user(current.uid(), current.gid(), current.groups());
  std::vector<std::string> folders;
  std::string list;
  if (as_user.ok()) {
    // The read under the fork gate, and only the read: the watches are
    // added once it is open again, as they need no library.
    ForkGuard guard;
    CacheStore store(index, false);
    folders = store.folders();
    list = store.list_uuid();
  }
  const size_t watched = watcher->rearm(folders, since, list);
  folders = std::vector<std::string>();
  {
    // Reading a large list leaves this thread's heap with many free pages.
    // They go back to the system: every handler process forked later would
    // otherwise start with its copy of them, paying for the copy at fork and
    // counting it as its own memory.
    ForkGuard guard;
    malloc_trim(0);
  }
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
  rearm_watcher(folder_watcher(index), index, since);
}

}  // namespace orv
