#include "common/client_watchdog.h"

#include <unistd.h>

#include <atomic>
#include <mutex>

#include "common/interval_timer.h"

namespace orv {

namespace {

std::atomic<ClientAliveProbe> g_probe{nullptr};

class ClientWatchdog {
 public:
  ClientWatchdog() : timer_(&ClientWatchdog::check, this) {}

  void watch(hv_io_t* io, int seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    io_ = io;
    timer_.start(seconds);
  }

  // Not under mutex_: stop waits for a check in progress, and the check
  // takes mutex_.
  void stop() { timer_.stop(); }

 private:
  static void check(void* argument) {
    auto* self = static_cast<ClientWatchdog*>(argument);
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (self->io_ == nullptr) return;
    ClientAliveProbe probe = g_probe.load();
    int alive = probe != nullptr ? probe(self->io_) : hv_io_alive(self->io_);
    if (!alive) _exit(1);
  }

  std::mutex mutex_;
  hv_io_t* io_ = nullptr;  // Guarded by mutex_.
  IntervalTimer timer_;
};

ClientWatchdog& watchdog() {
  // Created under the runtime's guard of function-local statics, destroyed
  // at exit (which stops its timer).
  static ClientWatchdog instance;
  return instance;
}

}  // namespace

void watch_client(hv_io_t* io, int seconds) { watchdog().watch(io, seconds); }

void stop_client_watch() { watchdog().stop(); }

void set_client_alive_probe(ClientAliveProbe probe) { g_probe = probe; }

}  // namespace orv
