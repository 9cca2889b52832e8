#include "common/parallel.h"

#include <sched.h>

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace orv {

namespace {

constexpr size_t kMostParts = 8;

}  // namespace

size_t parts_for(size_t items, size_t min_items) {
  // The cores this process may run on, which a CPU set or affinity may make
  // fewer than the machine has.
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  const size_t cores =
      sched_getaffinity(0, sizeof(allowed), &allowed) == 0
          ? std::max(CPU_COUNT(&allowed), 1)
          : std::max<size_t>(std::thread::hardware_concurrency(), 1);
  const size_t fill = min_items == 0 ? items : items / min_items;
  return std::max<size_t>(std::min({cores, kMostParts, fill}), 1);
}

void run_parts(size_t parts, const std::function<void(size_t part)>& work) {
  std::vector<std::exception_ptr> failures(parts);
  auto run = [&work, &failures](size_t part) {
    try {
      work(part);
    } catch (...) {
      failures[part] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(parts);
  std::vector<size_t> left;  // parts whose thread could not be started
  for (size_t part = 1; part < parts; ++part) {
    try {
      threads.emplace_back(run, part);
    } catch (const std::system_error&) {
      left.push_back(part);
    }
  }
  if (parts > 0) run(0);
  for (size_t part : left) run(part);
  for (std::thread& thread : threads) thread.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

PartRange part_range(size_t count, size_t parts, size_t part) {
  const size_t share = count / parts;
  const size_t extra = count % parts;
  const size_t begin = part * share + std::min(part, extra);
  return {begin, begin + share + (part < extra ? 1 : 0)};
}

}  // namespace orv
