// The life of a daemon's bus service, as orv-service and vimbrel both live
// it: the REST table of its endpoints, the stop signals, the service with its
// worker hooks, the service loop, and the shut-down in reverse order. What
// differs between the daemons is handed in.
#ifndef ORV_COMMON_BUS_SERVICE_H_
#define ORV_COMMON_BUS_SERVICE_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "common/bus/hvREST.h"
#include "common/bus/hvservice.h"

namespace orv {

// One endpoint as it is handed to hv_rest_endpoint.
struct Endpoint {
  std::string method;
  hv_handler_fn handler;
  hv_dispatcher_fn dispatcher;
  std::string usage;
};

// What differs between the daemons' services.
struct BusService {
  std::string name;                 // the bus service name
  std::vector<Endpoint> endpoints;  // registered in this order
  // Bus hooks: run once before the first request and once after the last.
  hv_worker_fn worker_start = nullptr;
  hv_worker_fn worker_stop = nullptr;
  // A caller's uid admitted besides root and the service's own.
  std::optional<uid_t> admitted_uid;
};

// Registers the endpoints on a new REST table, has SIGINT and SIGTERM stop
// the service loop, creates the service (two workers), admits the uid,
// installs the worker hooks and runs the loop until it is stopped; then frees
// the service and the table. Every request goes to the table; when its
// dispatch throws, its descriptor is closed and its io freed. Returns true
// once the loop has ended, false when the service could not be created (the
// table is freed then too; the caller logs it). For the main thread, once
// per process.
bool run_bus_service(const BusService& service);

}  // namespace orv

#endif  // ORV_COMMON_BUS_SERVICE_H_
