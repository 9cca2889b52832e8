// Work split into parts that run at once, one per core: the calling thread
// takes the first part and short-lived threads the others. For the handler
// processes' large lists (sort keys, page formatting); the daemon itself
// starts no threads this way, since a thread inside a library at a fork
// would leave its locks held in the child.
#ifndef ORV_COMMON_PARALLEL_H_
#define ORV_COMMON_PARALLEL_H_

#include <cstddef>
#include <functional>

namespace orv {

// How many parts `items` items make with at least `min_items` items in each:
// at most one per core the calling thread may run on (and at most 8), at
// least 1.
size_t parts_for(size_t items, size_t min_items);

// Runs work(part) for every part in [0, parts): part 0 on the calling thread,
// each other on a thread of its own, and returns when all have ended. A part
// whose thread cannot be started runs on the calling thread after part 0.
// When parts throw, the exception of the lowest such part is rethrown here
// once all have ended.
void run_parts(size_t parts, const std::function<void(size_t part)>& work);

// The items [begin, end) of part `part` of `parts` of `count` items: equal
// shares in order, the first parts one item larger when they do not divide.
struct PartRange {
  size_t begin;
  size_t end;
};
PartRange part_range(size_t count, size_t parts, size_t part);

}  // namespace orv

#endif  // ORV_COMMON_PARALLEL_H_
