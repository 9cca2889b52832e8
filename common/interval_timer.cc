#include "common/interval_timer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>

#include "common/thread.h"

namespace orv {

IntervalTimer::IntervalTimer(Callback callback, void* argument)
    : callback_(callback), argument_(argument) {}

IntervalTimer::~IntervalTimer() { stop(); }

void IntervalTimer::start(int seconds) {
  std::lock_guard<std::mutex> lock(control_);
  if (running_) return;
  int fd = timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC);
  if (fd < 0) return;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct itimerspec when {};
  when.it_value.tv_sec = now.tv_sec + seconds;
  when.it_value.tv_nsec = now.tv_nsec;
  when.it_interval.tv_sec = seconds;
  if (seconds <= 0) {
    // A zero period would disarm the descriptor; the shortest sensible
    // period is one second.
    when.it_value.tv_sec = now.tv_sec + 1;
    when.it_interval.tv_sec = 1;
  }
  if (timerfd_settime(fd, TFD_TIMER_ABSTIME, &when, nullptr) != 0) {
    close(fd);
    return;
  }
  fd_ = fd;
  running_ = true;
  thread_started_ = start_thread(&thread_, &IntervalTimer::thread_main, this);
  owner_ = getpid();
}

void IntervalTimer::stop() {
  std::lock_guard<std::mutex> lock(control_);
  if (!running_ && fd_ < 0) return;
  running_ = false;
  if (owner_ == getpid()) {
    // Wakes the thread out of its blocking read at once.
    struct itimerspec soon {};
    soon.it_value.tv_nsec = 1;
    soon.it_interval.tv_nsec = 1;
    timerfd_settime(fd_, 0, &soon, nullptr);
    if (thread_started_) {
      if (pthread_equal(thread_, pthread_self())) {
        pthread_detach(thread_);  // Stopped by its own callback.
      } else {
        pthread_join(thread_, nullptr);
      }
    }
  }
  thread_started_ = false;
  close(fd_);
  fd_ = -1;
}

void* IntervalTimer::thread_main(void* arg) {
  static_cast<IntervalTimer*>(arg)->run();
  return nullptr;
}

void IntervalTimer::run() {
  // The descriptor stays open until stop has joined this thread.
  int fd = fd_;
  while (running_) {
    uint64_t expiries = 0;
    if (read(fd, &expiries, sizeof(expiries)) != sizeof(expiries)) return;
    if (running_) callback_(argument_);
  }
}

}  // namespace orv
