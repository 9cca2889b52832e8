// The folder walker: reads the folders of a query breadth first, turns every
// directory entry into an Entry, keeps those that pass the query's filters,
// stamps each with its cluster key, stops at the count and time limits, and
// sorts what it kept with the query's sort chain.
#ifndef ORV_COLLECT_WALKER_H_
#define ORV_COLLECT_WALKER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "entry/entry.h"
#include "order/cluster.h"
#include "order/sorter.h"
#include "query/filter.h"

namespace orv {

// Walks the folder items of `queue` (consumed: callers pass a copy of the
// query's roots) and appends to `output` every entry found that all of
// `filters` accept, then sorts the whole of `output` with `sorter` when one
// is given. Returns the size of `output`.
//
// - Breadth first: folder by folder in queue order, each folder's entries in
//   the order the directory returns them; with `recursive`, every sub-folder
//   found is queued, whether or not it passed the filters, so the contents
//   of a hidden or filtered-out folder are still searched. Symbolic links
//   are listed by their own stat record and never entered; a root folder
//   may itself be reached through a link. A queued sub-folder is opened
//   relative to its root with no link allowed anywhere below the root, so a
//   folder replaced by a link meanwhile is skipped, not read through it.
// - Names of the veto list, "." and ".." are never looked at.
// - With `cluster`, each entry's `cluster` is set to its key.
// - Stops reading once `output` holds `reach_limit` entries, or, when
//   `reach_time` is above 0, once more than `reach_time` seconds have passed
//   since the start (tested before every folder and every entry).
// - A folder that cannot be opened (missing, denied, not a folder) and a
//   name whose stat record cannot be taken are skipped; the walk goes on
//   with the rest. Nothing is reported.
//
// Runs in the calling thread; a second thread makes the ordering keys of a
// long list while the walk goes on, and ends with the walk. At most one
// folder and one root are open at a time.
size_t walk(std::vector<Entry>* output, std::vector<Entry> queue,
            const FilterList& filters, std::shared_ptr<const Sorter> sorter,
            std::shared_ptr<const Cluster> cluster, uint64_t reach_limit,
            bool recursive, int64_t reach_time);

// The clock the reach time is measured with: nanoseconds from any fixed
// point, never going back. nullptr restores the system's monotonic clock.
// Used by tests.
using WalkClock = int64_t (*)();
void set_walk_clock(WalkClock clock);

// Called with each folder item just before the walk opens it; nullptr for
// none. Used by tests.
using WalkFolderHook = void (*)(const Entry& item);
void set_walk_folder_hook(WalkFolderHook hook);

}  // namespace orv

#endif  // ORV_COLLECT_WALKER_H_
