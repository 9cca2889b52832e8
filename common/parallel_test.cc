#include "common/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

namespace orv {
namespace {

TEST(ParallelTest, PartsCoverEveryItemOnceInNearlyEqualShares) {
  for (const auto& [count, parts] : {std::pair<size_t, size_t>{0, 1},
                                     {7, 2},
                                     {10, 3},
                                     {3, 8},
                                     {100000, 8}}) {
    size_t next = 0;
    for (size_t part = 0; part < parts; ++part) {
      const PartRange range = part_range(count, parts, part);
      EXPECT_EQ(range.begin, next) << count << "/" << parts;
      EXPECT_LE(range.end - range.begin, count / parts + 1);
      next = range.end;
    }
    EXPECT_EQ(next, count) << count << "/" << parts;
  }
  EXPECT_EQ(parts_for(150, 100), 1u);  // too few items for a second part
}

// Every part runs even when some throw; the lowest failing part's exception
// comes back.
TEST(ParallelTest, EveryPartRunsAndTheFirstFailureComesBack) {
  std::vector<std::atomic<int>> runs(5);
  try {
    run_parts(5, [&runs](size_t part) {
      ++runs[part];
      if (part >= 2) throw std::runtime_error(std::to_string(part));
    });
    FAIL() << "no exception";
  } catch (const std::runtime_error& failure) {
    EXPECT_STREQ(failure.what(), "2");
  }
  for (const std::atomic<int>& count : runs) EXPECT_EQ(count.load(), 1);
}

}  // namespace
}  // namespace orv
