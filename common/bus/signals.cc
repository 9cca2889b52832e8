// Signal callbacks: stop requests are carried from the signal handler to the
// service loop through a pipe, so their callbacks run as ordinary code; fault
// signals run their callback at once, in signal context, since the process
// cannot go on.

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "common/bus/io_internal.h"

namespace orv::bus {

namespace {

std::atomic<hv_signal_fn> g_callbacks[NSIG];
// The process that registered the loop signals; processes forked from it do
// not run its service loop.
std::atomic<pid_t> g_owner_pid{0};
std::atomic<int> g_pipe_read{-1};
std::atomic<int> g_pipe_write{-1};
std::mutex g_pipe_mutex;

bool is_fault_signal(int signo) {
  return signo == SIGSEGV || signo == SIGBUS || signo == SIGFPE ||
         signo == SIGILL || signo == SIGABRT;
}

// Ends the process the way `signo` would have without our handler.
void die_by_default(int signo) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signo, &action, nullptr);
  // The signal stays blocked while its handler runs; it takes effect as soon
  // as the handler returns.
  raise(signo);
}

void on_loop_signal(int signo) {
  if (getpid() != g_owner_pid.load(std::memory_order_relaxed)) {
    // A request handler forked from the service: it has no loop to carry
    // the signal to, and must stay killable.
    die_by_default(signo);
    return;
  }
  int saved = errno;
  unsigned char byte = static_cast<unsigned char>(signo);
  ssize_t ignored =
      write(g_pipe_write.load(std::memory_order_relaxed), &byte, 1);
  (void)ignored;  // A full pipe already holds plenty of wake-ups.
  errno = saved;
}

void on_fault_signal(int signo) {
  hv_signal_fn callback = g_callbacks[signo].load();
  if (callback != nullptr) callback(signo);
  die_by_default(signo);
}

// Async-signal-safe decimal formatting for the crash line.
char* append_number(char* out, long value) {
  char digits[24];
  int count = 0;
  bool negative = value < 0;
  unsigned long magnitude = negative ? 0UL - static_cast<unsigned long>(value)
                                     : static_cast<unsigned long>(value);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude > 0);
  if (negative) *out++ = '-';
  while (count > 0) *out++ = digits[--count];
  return out;
}

char* append_text(char* out, const char* text) {
  while (*text != '\0') *out++ = *text++;
  return out;
}

void on_crash(int signo) {
  char line[128];
  char* end = append_text(line, "hv_backtrace: signal ");
  end = append_number(end, signo);
  end = append_text(end, " in pid ");
  end = append_number(end, getpid());
  *end++ = '\n';
  ssize_t ignored = write(STDERR_FILENO, line, end - line);
  (void)ignored;
  void* frames[64];
  int count = backtrace(frames, 64);
  backtrace_symbols_fd(frames, count, STDERR_FILENO);
  die_by_default(signo);
}

bool open_pipe() {
  std::lock_guard<std::mutex> lock(g_pipe_mutex);
  if (g_pipe_read.load() >= 0) return true;
  int ends[2];
  if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  g_pipe_write.store(ends[1]);
  g_pipe_read.store(ends[0]);
  return true;
}

}  // namespace

int signal_pipe() { return g_pipe_read.load(); }

void run_queued_signals() {
  int fd = g_pipe_read.load();
  if (fd < 0) return;
  unsigned char queued[64];
  while (true) {
    ssize_t count = read(fd, queued, sizeof(queued));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;
    for (ssize_t i = 0; i < count; ++i) {
      int signo = queued[i];
      hv_signal_fn callback =
          signo < NSIG ? g_callbacks[signo].load() : nullptr;
      if (callback != nullptr) callback(signo);
    }
  }
}

}  // namespace orv::bus

extern "C" {

int hv_signal(int signo, hv_signal_fn callback) {
  using namespace orv::bus;
  if (signo <= 0 || signo >= NSIG || signo == SIGKILL || signo == SIGSTOP) {
    return -1;
  }
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  if (callback == nullptr) {
    action.sa_handler = SIG_DFL;
  } else if (is_fault_signal(signo)) {
    action.sa_handler = on_fault_signal;
  } else {
    if (!open_pipe()) return -1;
    g_owner_pid.store(getpid());
    action.sa_handler = on_loop_signal;
    action.sa_flags = SA_RESTART;
  }
  g_callbacks[signo].store(callback);
  return sigaction(signo, &action, nullptr) == 0 ? 0 : -1;
}

void hv_backtrace(void) {
  // The first backtrace() loads the unwinder, which allocates; do it now and
  // not in the crash handler.
  void* frame[1];
  backtrace(frame, 1);
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = orv::bus::on_crash;
  for (int signo : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
    sigaction(signo, &action, nullptr);
  }
}

}  // extern "C"
