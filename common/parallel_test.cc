#include "common/parallel.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace orv {
namespace {

TEST(ParallelTest, PartsCoverEveryItemOnce) {
  struct Case {
    size_t count;
    size_t parts;
  };
  for (const Case& c : {Case{0, 1}, Case{1, 1}, Case{7, 2}, Case{10, 3},
                        Case{100000, 8}, Case{3, 8}}) {
    size_t next = 0;
    for (size_t part = 0; part < c.parts; ++part) {
      const PartRange range = part_range(c.count, c.parts, part);
      EXPECT_EQ(range.begin, next) << c.count << "/" << c.parts;
      EXPECT_LE(range.end - range.begin, c.count / c.parts + 1);
      next = range.end;
    }
    EXPECT_EQ(next, c.count) << c.count << "/" << c.parts;
  }
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof(allowed), &allowed), 0);
  const size_t cores = CPU_COUNT(&allowed);
  EXPECT_EQ(parts_for(0, 100), 1u);
  EXPECT_EQ(parts_for(150, 100), 1u);
  EXPECT_EQ(parts_for(1000000, 100), std::min<size_t>(cores, 8));
}

TEST(ParallelTest, EveryPartRunsAndTheFirstFailureComesBack) {
  std::vector<std::atomic<int>> runs(5);
  EXPECT_THROW(run_parts(5,
                         [&runs](size_t part) {
                           ++runs[part];
                           if (part >= 2) {
                             throw std::runtime_error(std::to_string(part));
                           }
                         }),
               std::runtime_error);
  for (const std::atomic<int>& count : runs) EXPECT_EQ(count.load(), 1);
  try {
    run_parts(3, [](size_t part) {
      if (part > 0) throw std::runtime_error(std::to_string(part));
    });
    FAIL() << "no exception";
  } catch (const std::runtime_error& failure) {
    EXPECT_STREQ(failure.what(), "1");
  }
}

}  // namespace
}  // namespace orv
