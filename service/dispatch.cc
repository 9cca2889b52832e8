#include "service/dispatch.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/fork_gate.h"
#include "common/log.h"
#include "common/reply.h"
#include "session/session.h"

namespace orv {

namespace {

WorkerPool* g_pool = nullptr;

// How long a call beyond the cap waits for a handler to end before it is
// refused.
constexpr int kSlotWaitMilliseconds = 200;

// The handler processes alive, each known by the read end of a pipe whose
// write end that handler alone holds: the kernel reports the read end hung up
// once the handler has ended, though the daemon is not its parent. Used on
// the service loop's thread only.
class HandlerSlots {
 public:
  // The write end for the next handler to hold, or -1 when kMaxHandlers are
  // alive for kSlotWaitMilliseconds (or no pipe can be made).
  int take() {
    reap(0);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(kSlotWaitMilliseconds);
    while (ends_.size() >= kMaxHandlers) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return -1;
      reap(static_cast<int>(left.count()));
    }
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -1;
    ends_.push_back(ends[0]);
    return ends[1];
  }

  size_t alive() const { return ends_.size(); }

 private:
  // Drops the slots of ended handlers, waiting at most `timeout` milliseconds
  // for one to end when none has.
  void reap(int timeout) {
    polled_.clear();
    for (int end : ends_) polled_.push_back({end, 0, 0});
    if (poll(polled_.data(), polled_.size(), timeout) <= 0) return;
    ends_.clear();
    for (const pollfd& slot : polled_) {
      if (slot.revents == 0) {
        ends_.push_back(slot.fd);
      } else {
        close(slot.fd);
      }
    }
  }

  std::vector<int> ends_;
  std::vector<pollfd> polled_;
};

HandlerSlots g_slots;

// The life of a handler process: take the session user's identity, build
// the parameters, serve, end. Never returns: a process forked from the
// daemon that came back into its copy of the service loop would go on
// serving from a loop whose descriptors are closed.
[[noreturn]] void serve(void* ctx, hv_handler_fn handler, hv_io_t* io,
                        json_t* params, int fd) {
  std::string failure;  // A copy: the exception goes with its catch block.
  try {
    ErrorRecord error;
    clear_error(&error);
    if (!session().seteuser(&error)) {
      // Serving with the daemon's identity would give the caller its rights.
      reply_json(io, fd, nullptr, error);
      _exit(1);
    }
    Json object = request_object(io, params);
    handler(ctx, io, object.get(), fd);
    _exit(0);
  } catch (const std::exception& exception) {
    failure = exception.what();
  } catch (...) {
    failure = "unknown exception";
  }
  log_line(LogKind::kError, "[%s] handler process ended by an exception: %s",
           session().service_name().c_str(), failure.c_str());
  _exit(1);
}

// Closes `fd` unless its status cannot be read or its target is gone. A
// socket here is the connection or reply descriptor of another request: the
// daemon's listening socket and waiting callers are closed by the bus itself.
void close_if_inherited(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0) return;
  if (!S_ISSOCK(status.st_mode)) {
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
    char target[4096];
    ssize_t length = readlink(path, target, sizeof(target) - 1);
    if (length <= 0) return;
    target[length] = '\0';
    if (std::strstr(target, "(deleted)") != nullptr) return;
  }
  close(fd);
}

}  // namespace

void set_watch_pool(WorkerPool* pool) { g_pool = pool; }

void run_in_child(void* ctx, hv_handler_fn handler, hv_io_t* io, json_t* params,
                  int fd) {
  const int slot = g_slots.take();
  if (slot < 0) {
    // Handlers are forked by root, past the session user's own limit on
    // processes: a caller that floods the daemon is told it is busy.
    log_line(LogKind::kWarning, "[%s] %zu handlers running: call refused",
             session().service_name().c_str(), g_slots.alive());
    hv_refuse(io, HV_UNAVAILABLE);
    hv_io_free(io);
    json_decref(params);
    if (fd >= 0) close(fd);
    return;
  }
  // Through the gate: no other thread of the daemon is inside a library
  // that the handler process will use.
  pid_t child = gated_fork();
  if (child == 0) {
    close_inherited_descriptors(hv_io_socket(io), fd, slot);
    // The handler process is the child's child, so that the daemon never has
    // to reap it: the child ends at once and the handler is adopted. The
    // child has a single thread, so a plain fork is safe here.
    if (fork() == 0) serve(ctx, handler, io, params, fd);
    _exit(0);
  }
  // The handler holds the slot's write end for its life.
  close(slot);
  if (child > 0) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  // The handler process holds its own copies of these and replies through
  // them; after a failed fork the request is dropped.
  hv_io_free(io);
  json_decref(params);
  if (fd >= 0) close(fd);
}

void run_in_pool(void* ctx, hv_handler_fn handler, hv_io_t* io, json_t* params,
                 int fd) {
  Json object = request_object(io, params);
  json_decref(params);
  if (g_pool == nullptr) {
    hv_io_free(io);
    if (fd >= 0) close(fd);
    return;
  }
  g_pool->submit(handler, ctx, io, object.release(), fd);
}

Json request_object(hv_io_t* io, json_t* params) {
  Json object = Json::adopt(json_loads(hv_io_read(io, 0), 0, nullptr));
  if (!json_is_object(object.get())) object = Json::adopt(json_object());
  if (json_is_object(params)) json_object_update(object.get(), params);
  hv_io_realloc(io, 0);
  return object;
}

void close_inherited_descriptors(int conn, int reply, int keep) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    // No descriptor is left for the listing (the daemon is at its limit):
    // every number below the limit is tried instead, so that the handler
    // never keeps the pid file and its lock, nor other requests.
    rlimit limit{};
    rlim_t end = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 0;
    end = std::min<rlim_t>(end, rlim_t{1} << 20);
    for (int fd = 3; fd < static_cast<int>(end); ++fd) {
      if (fd != conn && fd != reply && fd != keep) close_if_inherited(fd);
    }
    return;
  }
  int listing = dirfd(dir);
  while (struct dirent* entry = readdir(dir)) {
    char* end = nullptr;
    long number = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;  // "." and ".."
    int fd = static_cast<int>(number);
    if (fd < 3 || fd == listing || fd == conn || fd == reply || fd == keep) {
      continue;
    }
    close_if_inherited(fd);
  }
  closedir(dir);
}

}  // namespace orv
