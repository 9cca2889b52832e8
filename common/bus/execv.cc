// hv_io_execv: runs an external program with its standard streams connected
// to io buffers. Callers are multi-threaded, so the child does nothing but
// async-signal-safe calls between fork and exec, and everything it needs is
// prepared before the fork.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/bus/io_internal.h"
#include "common/platform/fd.h"

namespace orv::bus {

namespace {

// Moves `fd` above the standard descriptors, so that installing the child's
// standard streams with dup2 cannot overwrite another of its pipe ends (a
// caller may run with 0, 1 or 2 closed).
bool lift(UniqueFd& fd) {
  if (fd.get() > STDERR_FILENO) return true;
  int high = fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (high < 0) return false;
  fd.reset(high);
  return true;
}

// A pipe with both ends close-on-exec and above the standard descriptors.
bool make_pipe(UniqueFd& read_end, UniqueFd& write_end) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  read_end.reset(ends[0]);
  write_end.reset(ends[1]);
  return lift(read_end) && lift(write_end);
}

// Marks every descriptor above 2 close-on-exec, so that only the standard
// streams reach the program; the report pipe then closes exactly when the
// exec succeeds.
void seal_descriptors() {
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  rlimit limit{};
  int top = getrlimit(RLIMIT_NOFILE, &limit) == 0 &&
                    limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < 65536
                ? static_cast<int>(limit.rlim_cur)
                : 65536;
  for (int fd = 3; fd < top; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// The child: standard streams, signal state, exec. On failure the errno goes
// to the report pipe.
[[noreturn]] void run_child(int in, int out, int err, int report,
                            const sigset_t* mask, char* const argv[]) {
  if (dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
      dup2(err, STDERR_FILENO) < 0) {
    int error = errno;
    ssize_t ignored = write(report, &error, sizeof(error));
    (void)ignored;
    _exit(127);
  }
  seal_descriptors();
  // The program starts with ordinary signal handling: a service ignores
  // SIGPIPE, which programs do not expect to inherit.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
  pthread_sigmask(SIG_SETMASK, mask, nullptr);
  execv(argv[0], argv);
  int error = errno;
  ssize_t ignored = write(report, &error, sizeof(error));
  (void)ignored;
  _exit(127);
}

// Reads what is there from `fd` into `io` (or nowhere). Returns false at the
// end of the stream.
bool collect(int fd, hv_io_t* io) {
  char chunk[65536];
  while (true) {
    ssize_t count = read(fd, chunk, sizeof(chunk));
    if (count > 0) {
      // Out of memory: the output is lost, the program is still waited for.
      if (io != nullptr) hv_io_write(io, chunk, static_cast<size_t>(count));
      return true;
    }
    if (count < 0 && errno == EINTR) continue;
    return false;
  }
}

int decode_status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

int run(hv_io_t* in, hv_io_t* out, hv_io_t* err, char* const argv[]) {
  if (argv == nullptr || argv[0] == nullptr) return -1;
  UniqueFd null_fd;
  null_fd.reset(open("/dev/null", O_RDWR | O_CLOEXEC));
  UniqueFd in_read, in_write, out_read, out_write, err_read, err_write;
  UniqueFd report_read, report_write;
  if (null_fd.get() < 0 || !lift(null_fd) ||
      !make_pipe(report_read, report_write)) {
    return -1;
  }
  if (in != nullptr && !make_pipe(in_read, in_write)) return -1;
  if (out != nullptr && !make_pipe(out_read, out_write)) return -1;
  if (err != nullptr && !make_pipe(err_read, err_write)) return -1;

  // Writing to a program that stopped reading its input must give EPIPE
  // here, not a SIGPIPE that ends the caller: block it on this thread while
  // the program runs, and pass the caller's own mask on to the program.
  sigset_t pipe_only, caller_mask;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &caller_mask);
  sigset_t pending_before;
  sigpending(&pending_before);
  bool pipe_was_pending = sigismember(&pending_before, SIGPIPE);

  pid_t pid = fork();
  if (pid == 0) {
    run_child(in != nullptr ? in_read.get() : null_fd.get(),
              out != nullptr ? out_write.get() : null_fd.get(),
              err != nullptr ? err_write.get() : null_fd.get(),
              report_write.get(), &caller_mask, argv);
  }
  in_read.reset();
  out_write.reset();
  err_write.reset();
  report_write.reset();
  null_fd.reset();

  int status = -1;
  if (pid > 0) {
    // The report pipe closes at the exec, or brings the exec's errno.
    int error = 0;
    ssize_t got;
    do {
      got = read(report_read.get(), &error, sizeof(error));
    } while (got < 0 && errno == EINTR);
    bool started = got == 0;
    if (started) {
      const char* input = hv_io_read(in, 0);
      size_t input_left = in != nullptr ? hv_io_size(in) : 0;
      if (input_left == 0) in_write.reset();
      if (in_write.get() >= 0) {
        fcntl(in_write.get(), F_SETFL, O_NONBLOCK);
      }
      while (in_write.get() >= 0 || out_read.get() >= 0 ||
             err_read.get() >= 0) {
        pollfd fds[3] = {{in_write.get(), POLLOUT, 0},
                         {out_read.get(), POLLIN, 0},
                         {err_read.get(), POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
          if (errno == EINTR) continue;
          break;
        }
        if (fds[0].revents != 0) {
          ssize_t sent = write(in_write.get(), input, input_left);
          if (sent > 0) {
            input += sent;
            input_left -= static_cast<size_t>(sent);
          }
          // All fed, or the program closed its input: it gets end of file.
          if (input_left == 0 ||
              (sent < 0 && errno != EAGAIN && errno != EINTR)) {
            in_write.reset();
          }
        }
        if (fds[1].revents != 0 && !collect(out_read.get(), out)) {
          out_read.reset();
        }
        if (fds[2].revents != 0 && !collect(err_read.get(), err)) {
          err_read.reset();
        }
      }
    }
    // A program may keep running after closing its output: wait for it.
    in_write.reset();
    int raw = 0;
    pid_t done;
    do {
      done = waitpid(pid, &raw, 0);
    } while (done < 0 && errno == EINTR);
    if (started && done == pid) status = decode_status(raw);
  }

  if (!pipe_was_pending) {
    // Discard the SIGPIPE our own writes raised before unblocking it.
    timespec zero{0, 0};
    while (sigtimedwait(&pipe_only, nullptr, &zero) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &caller_mask, nullptr);
  return status;
}

}  // namespace

}  // namespace orv::bus

extern "C" int hv_io_execv(hv_io_t* in, hv_io_t* out, hv_io_t* err,
                           char* const argv[]) {
  return orv::bus::run(in, out, err, argv);
}
