#include "common/interval_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace orv {
namespace {

using std::chrono::milliseconds;

bool eventually(const std::function<bool()>& condition, milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return condition();
}

struct Counter {
  std::atomic<int> calls{0};
  static void tick(void* argument) { ++static_cast<Counter*>(argument)->calls; }
};

TEST(IntervalTimerTest, CallsBackEachPeriodUntilStopped) {
  Counter counter;
  IntervalTimer timer(&Counter::tick, &counter);
  EXPECT_FALSE(timer.running());
  timer.start(1);
  EXPECT_TRUE(timer.running());
  ASSERT_TRUE(
      eventually([&] { return counter.calls >= 2; }, milliseconds(3500)));
  timer.stop();
  EXPECT_FALSE(timer.running());
  int after_stop = counter.calls;
  std::this_thread::sleep_for(milliseconds(1300));
  EXPECT_EQ(counter.calls, after_stop);
}

TEST(IntervalTimerTest, StartingAgainKeepsTheFirstPeriod) {
  Counter counter;
  IntervalTimer timer(&Counter::tick, &counter);
  timer.start(1);
  timer.start(30);  // Ignored: a 30-second period would give no call below.
  EXPECT_TRUE(
      eventually([&] { return counter.calls >= 2; }, milliseconds(3500)));
}

TEST(IntervalTimerTest, StopIsHarmlessWhenStoppedAndTimerRestarts) {
  Counter counter;
  IntervalTimer timer(&Counter::tick, &counter);
  timer.stop();  // Never started.
  timer.start(1);
  timer.stop();
  timer.stop();
  EXPECT_EQ(counter.calls, 0);
  timer.start(1);
  EXPECT_TRUE(
      eventually([&] { return counter.calls >= 1; }, milliseconds(2500)));
}

// A callback that takes a while: stop must wait for it to complete.
struct SlowCallback {
  std::atomic<bool> entered{false};
  std::atomic<bool> finished{false};
  static void run(void* argument) {
    auto* self = static_cast<SlowCallback*>(argument);
    self->entered = true;
    std::this_thread::sleep_for(milliseconds(400));
    self->finished = true;
  }
};

TEST(IntervalTimerTest, StopWaitsForTheCallbackInProgress) {
  SlowCallback slow;
  IntervalTimer timer(&SlowCallback::run, &slow);
  timer.start(1);
  ASSERT_TRUE(
      eventually([&] { return slow.entered.load(); }, milliseconds(2500)));
  timer.stop();
  EXPECT_TRUE(slow.finished);
}

}  // namespace
}  // namespace orv
