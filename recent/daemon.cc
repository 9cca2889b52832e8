#include "recent/daemon.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "common/bus/hvservice.h"
#include "common/bus_service.h"
#include "common/platform/root.h"
#include "common/worker_pool.h"
#include "recent/endpoints.h"
#include "recent/identity.h"
#include "recent/log.h"
#include "recent/store.h"

namespace orv::recent {

namespace {

constexpr char kServiceName[] = "vimbrel";
constexpr int kReadThreads = 4;
constexpr int kWriteThreads = 1;

int g_pid_fd = -1;
std::unique_ptr<WorkerPool> g_read_pool;
std::unique_ptr<WorkerPool> g_write_pool;

// Takes the pid file: created with mode 0644, locked, holding the process
// id. The file is never removed; the lock is what tells a second instance.
void acquire_pid_file() {
  const std::string path = root_path("/var/run/vimbrel.pid");
  g_pid_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (g_pid_fd < 0) {
    log(Level::kError, "vimbrel create pid file %s fail.", path.c_str());
    std::exit(1);
  }
  if (flock(g_pid_fd, LOCK_EX | LOCK_NB) != 0) {
    char running[33] = {};
    ssize_t n = pread(g_pid_fd, running, sizeof(running) - 1, 0);
    running[n > 0 ? n : 0] = '\0';
    log(Level::kError, "vimbrel daemon is running (%s).", running);
    std::exit(1);
  }
  const std::string pid = std::to_string(getpid());
  if (ftruncate(g_pid_fd, 0) != 0 ||
      pwrite(g_pid_fd, pid.data(), pid.size(), 0) !=
          static_cast<ssize_t>(pid.size())) {
    log(Level::kWarn, "vimbrel write pid file %s fail.", path.c_str());
  }
}

void release_pid_file() {
  flock(g_pid_fd, LOCK_UN);
  close(g_pid_fd);
  g_pid_fd = -1;
}

void worker_start(void*) {
  store_start();
  g_read_pool = std::make_unique<WorkerPool>(kReadThreads);
  g_write_pool = std::make_unique<WorkerPool>(kWriteThreads);
  set_request_pools(g_read_pool.get(), g_write_pool.get());
}

// Requests still queued in the pools are dropped unanswered; events and
// clears already queued in the store are written out.
void worker_stop(void*) {
  set_request_pools(nullptr, nullptr);
  g_read_pool.reset();
  g_write_pool.reset();
  store_stop();
}

}  // namespace

int recent_main() {
  acquire_pid_file();
  hv_backtrace();
  log(Level::kInfo, "(PID %d) startup service", static_cast<int>(getpid()));
  // Before any thread starts: file work for a user is then checked against
  // that user's ids alone.
  if (!drop_supplementary_groups()) {
    log(Level::kWarn, "vimbrel cannot drop its supplementary groups");
  }
  int status = 0;
  if (!run_bus_service({kServiceName, recent_endpoints(), &worker_start,
                        &worker_stop, std::nullopt})) {
    log(Level::kError, "vimbrel create service %s fail.", kServiceName);
    status = 1;
  }
  release_pid_file();
  log(Level::kInfo, "(PID %d) shutdown service", static_cast<int>(getpid()));
  return status;
}

}  // namespace orv::recent
