#include "recent/daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/bus/hvREST.h"
#include "common/bus/hvservice.h"
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
hv_rest_t* g_rest = nullptr;
std::atomic<hv_service_t*> g_service{nullptr};
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

void on_request(const char* method, hv_io_t* io, int fd) {
  hv_rest_dispatch(g_rest, method, io, fd);
}

void on_stop_signal(int) {
  hv_service_t* service = g_service;
  if (service != nullptr) hv_stop(service);
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
  g_rest = hv_rest_create();
  log(Level::kInfo, "(PID %d) startup service", static_cast<int>(getpid()));
  // Before any thread starts: file work for a user is then checked against
  // that user's ids alone.
  if (!drop_supplementary_groups()) {
    log(Level::kWarn, "vimbrel cannot drop its supplementary groups");
  }
  for (const RecentEndpoint& endpoint : recent_endpoints()) {
    hv_rest_endpoint(g_rest, endpoint.handler, endpoint.method,
                     endpoint.dispatcher, endpoint.usage.c_str());
  }
  hv_signal(SIGINT, &on_stop_signal);
  hv_signal(SIGTERM, &on_stop_signal);
  hv_service_t* service = hv_create(kServiceName, 2, 1, &on_request);
  int status = 0;
  if (service == nullptr) {
    log(Level::kError, "vimbrel create service %s fail.", kServiceName);
    status = 1;
  } else {
    g_service = service;
    hv_worker_init(service, &worker_start, nullptr);
    hv_worker_fini(service, &worker_stop, nullptr);
    hv_start(service);
    g_service = nullptr;
    hv_free(service);
  }
  hv_rest_destroy(g_rest);
  g_rest = nullptr;
  release_pid_file();
  log(Level::kInfo, "(PID %d) shutdown service", static_cast<int>(getpid()));
  return status;
}

}  // namespace orv::recent
