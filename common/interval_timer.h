// IntervalTimer: a periodic callback on a thread of its own, driven by a
// Linux timer descriptor. The daemon checks its login session with one; each
// request handler process watches its caller with another.
#ifndef ORV_COMMON_INTERVAL_TIMER_H_
#define ORV_COMMON_INTERVAL_TIMER_H_

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <mutex>

namespace orv {

// Calls `callback(argument)` every `seconds` on the timer thread, from start
// until stop. What the callback touches must be guarded by the callback's own
// lock. Start and stop may be called from any thread but the timer thread
// itself should not start it; a callback may stop its own timer.
//
// After a fork the child holds a copy without the thread: stop (and the
// destructor) in the child then only closes the child's copy of the
// descriptor.
class IntervalTimer {
 public:
  using Callback = void (*)(void* argument);

  IntervalTimer(Callback callback, void* argument);
  IntervalTimer(const IntervalTimer&) = delete;
  IntervalTimer& operator=(const IntervalTimer&) = delete;
  ~IntervalTimer();  // Stops.

  // Arms the timer: the first call comes `seconds` from now, then one every
  // `seconds`. Does nothing while the timer runs, so a running timer keeps
  // its period. Failures (descriptor, thread) are not reported: the timer
  // then simply never calls back.
  void start(int seconds);

  // Stops the timer and waits for its thread; a callback in progress
  // completes first. Does nothing when the timer is not running.
  void stop();

  bool running() const { return running_; }

 private:
  static void* thread_main(void* arg);
  void run();

  // Constant after construction.
  const Callback callback_;
  void* const argument_;

  // Read by the timer thread without the lock; stop clears it before it
  // wakes the thread.
  std::atomic<bool> running_{false};

  // Guarded by control_: start and stop of different threads.
  std::mutex control_;
  int fd_ = -1;
  pthread_t thread_{};
  bool thread_started_ = false;
  pid_t owner_ = 0;  // the process whose thread serves the timer
};

}  // namespace orv

#endif  // ORV_COMMON_INTERVAL_TIMER_H_
