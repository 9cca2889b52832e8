// The process model of orv-service requests: the bus's dispatch callback and
// the two endpoint dispatchers. Every endpoint but "watch" runs in a handler
// process of its own (a grandchild of the daemon, under the session user's
// identity), so handlers run in parallel and share no memory with the daemon;
// "watch" runs on the daemon's worker pool, one request at a time, because it
// changes the daemon's own state.
#ifndef ORV_SERVICE_DISPATCH_H_
#define ORV_SERVICE_DISPATCH_H_

#include <jansson.h>

#include <cstddef>

#include "common/bus/hvREST.h"
#include "common/json.h"
#include "common/worker_pool.h"

namespace orv {

// The pool that run_in_pool submits to. Set by the daemon's worker start hook
// and cleared when it stops; read on the service loop's thread only.
void set_watch_pool(WorkerPool* pool);

// The most handler processes of one daemon alive at once.
constexpr size_t kMaxHandlers = 64;

// Dispatcher of the endpoints served in a handler process: forks (through
// the fork gate) a child that forks the handler process and ends at once,
// waits for the child, and releases its own io, object and descriptor. The
// handler process switches to the session user, builds the parameter object
// (request_object), runs the handler and ends with _exit(0). When the
// identity cannot be switched it answers code 3 instead and ends with
// _exit(1); a handler that throws ends it with _exit(1) unanswered (the
// caller sees its connection end). A failed fork drops the request
// unanswered. While kMaxHandlers handler processes are alive, a call waits a
// moment for one to end and is otherwise refused with HV_UNAVAILABLE.
void run_in_child(void* ctx, hv_handler_fn handler, hv_io_t* io, json_t* params,
                  int fd);

// Dispatcher of "watch": builds the parameter object in the daemon and
// submits the request to the worker pool, which then owns io, object and
// descriptor. Without a pool the request is dropped unanswered.
void run_in_pool(void* ctx, hv_handler_fn handler, hv_io_t* io, json_t* params,
                 int fd);

// The parameter object of a request: the io's text parsed as JSON (an empty
// object when it is not JSON or not an object) with every member of the REST
// layer's `params` copied in over members of the same name. Empties the io.
Json request_object(hv_io_t* io, json_t* params);

// Closes the descriptors a handler process inherited from the daemon (pid
// file, timers, watchers, files, and the connections and reply descriptors
// of other requests), so that none of them outlives the daemon in a
// long-running handler and no other caller waits for this process to let go
// of its connection. Keeps 0, 1 and 2, the request's own connection `conn`,
// reply descriptor `reply` and `keep` (whatever they are), and descriptors
// that are not sockets whose status or link cannot be read or whose target
// is empty or deleted.
void close_inherited_descriptors(int conn, int reply, int keep = -1);

}  // namespace orv

#endif  // ORV_SERVICE_DISPATCH_H_
