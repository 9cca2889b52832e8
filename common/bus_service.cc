#include "common/bus_service.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace orv {

namespace {

// Set while the loop runs. The table is read on the service loop's thread
// only; the service also by the stop callback, which the bus runs on that
// thread too, but atomically all the same.
hv_rest_t* g_rest = nullptr;
std::atomic<hv_service_t*> g_service{nullptr};

void on_request(const char* method, hv_io_t* io, int fd) {
  try {
    hv_rest_dispatch(g_rest, method, io, fd);
  } catch (...) {
    if (fd >= 0) close(fd);
    if (io != nullptr) hv_io_free(io);
  }
}

void on_stop_signal(int) {
  hv_service_t* service = g_service;
  if (service != nullptr) hv_stop(service);
}

}  // namespace

bool run_bus_service(const BusService& setup) {
  hv_rest_t* rest = hv_rest_create();
  for (const Endpoint& endpoint : setup.endpoints) {
    hv_rest_endpoint(rest, endpoint.handler, endpoint.method.c_str(),
                     endpoint.dispatcher, endpoint.usage.c_str());
  }
  g_rest = rest;
  hv_signal(SIGINT, &on_stop_signal);
  hv_signal(SIGTERM, &on_stop_signal);

  hv_service_t* service = hv_create(setup.name.c_str(), 2, 1, &on_request);
  const bool created = service != nullptr;
  if (created) {
    if (setup.admitted_uid) hv_admit_uid(service, *setup.admitted_uid);
    g_service = service;
    hv_worker_init(service, setup.worker_start, nullptr);
    hv_worker_fini(service, setup.worker_stop, nullptr);
    hv_start(service);
    g_service = nullptr;
    hv_free(service);
  }
  g_rest = nullptr;
  hv_rest_destroy(rest);
  return created;
}

}  // namespace orv
