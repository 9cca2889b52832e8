// The four endpoints of vimbrel ("version", "add", "list", "clear"): their
// usage texts, the pools that run them, their handlers and the reply writer.
//
// The dispatchers only read the request into its parameter object and queue
// it: "version" and "list" on the read pool (four threads; the lists of one
// user run one at a time, so that no user holds more than one thread), "add"
// and "clear" on the write pool (one thread, so adds and clears of all users
// are taken one at a time in arrival order; neither waits for a database).
#ifndef ORV_RECENT_ENDPOINTS_H_
#define ORV_RECENT_ENDPOINTS_H_

#include <jansson.h>

#include <string>
#include <vector>

#include "common/bus/hvREST.h"
#include "common/bus_service.h"
#include "common/error.h"
#include "common/worker_pool.h"

namespace orv::recent {

// The endpoints in their order of registration.
std::vector<Endpoint> recent_endpoints();

// The pools the dispatchers queue to: set by the worker start hook, cleared
// (both null) by the end hook before the pools are destroyed. Read and
// written on the service loop's thread only. Without pools a request is
// dropped unanswered.
void set_request_pools(WorkerPool* read_pool, WorkerPool* write_pool);

// Answers a request with `reply` (none: a new empty object; emptied when the
// record holds an error) plus "error" and "cause", printed compactly into
// the io, and completes it. `data`, when given, is the JSON text of a member
// "data" printed first (a list's rows, printed once and kept); it is left
// out with an error. Does nothing when the caller has gone. Does not take
// ownership of `reply`.
void send_reply(hv_io_t* io, json_t* reply, const ErrorRecord& record,
                const std::string* data = nullptr);

}  // namespace orv::recent

#endif  // ORV_RECENT_ENDPOINTS_H_
