// The local service bus: services listening on Unix sockets in the bus
// directory, io buffers, calls between services and external program runs.
//
// A service is a named Unix stream socket in "$ORV_ROOT/var/run/hvbus". Each
// call is one connection: the caller sends one request frame (method text,
// body, and optionally a reply descriptor passed with SCM_RIGHTS) and waits
// for one answer frame. The connection is the request's lifeline: the io of a
// request owns it, so the request is alive while the caller keeps it open, and
// a handler running in a forked process replies through its inherited copy.
//
// The functions are C-callable and keep the names and argument order that the
// programs of the appliance use.
#ifndef ORV_COMMON_BUS_HVSERVICE_H_
#define ORV_COMMON_BUS_HVSERVICE_H_

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// A growable byte buffer that carries a request body or a reply. An io made by
// the service loop also owns the request's connection.
typedef struct hv_io hv_io_t;

// One service: its listening socket, its loop and its callbacks.
typedef struct hv_service hv_service_t;

// Called by the service loop for each request, with the request's method
// text, its io (owned by the callee from then on: release it with hv_io_free)
// and the reply descriptor sent by the caller (-1 when none; also owned by the
// callee, which closes it).
typedef void (*hv_dispatch_fn)(const char* method, hv_io_t* io, int fd);

// Signal callback: receives the signal number.
typedef void (*hv_signal_fn)(int signo);

// Worker hook: called with the argument given at registration.
typedef void (*hv_worker_fn)(void* arg);

// hv_call results.
enum {
  HV_OK = 0,           // done
  HV_TIMEOUT = 1,      // no reply within the timeout
  HV_NO_SERVICE = 2,   // no socket, or nobody listening on it
  HV_UNAVAILABLE = 3,  // any other connect or transfer failure
  HV_NO_METHOD = 4,    // refused: the service has no such method
  HV_FORBIDDEN = 5,    // refused: the caller is not permitted
  HV_NO_ANSWER = 6,    // the service closed the call without answering
};

// Largest request or reply frame body accepted: 64 MiB.
#define HV_MAX_FRAME ((size_t)64 << 20)

// ---- io buffers ------------------------------------------------------------

// Returns a new empty buffer, or NULL when out of memory.
hv_io_t* hv_io_create(void);

// Releases the buffer and, for a request's io, closes this process's copy of
// the connection. NULL is accepted.
void hv_io_free(hv_io_t* io);

// Returns a pointer to the bytes from `offset` on; the bytes are always
// followed by a NUL. An offset past the end gives the terminating NUL.
char* hv_io_read(hv_io_t* io, size_t offset);

// Number of bytes held.
size_t hv_io_size(const hv_io_t* io);

// Appends `length` bytes; returns the count written (length, or -1 when out of
// memory, in which case nothing is appended).
ssize_t hv_io_write(hv_io_t* io, const void* bytes, size_t length);

// Sets the size to `size` bytes, cutting or zero-filling; hv_io_realloc(io, 0)
// empties the buffer. Returns 0, or -1 when out of memory.
int hv_io_realloc(hv_io_t* io, size_t size);

// For a request's io: 1 while the caller keeps the connection open and the
// request has not been answered, else 0. An io that belongs to no request
// (made by hv_io_create) is always alive.
int hv_io_alive(hv_io_t* io);

// The descriptor of the request's connection, or -1 for an io that belongs to
// no request (made by hv_io_create, or NULL). An addition of ours to the bus
// API: a process forked to serve one request tells its own connection by it
// from the copies of other requests' connections that it inherited.
int hv_io_socket(const hv_io_t* io);

// Completes the request: sends the buffer's bytes as the answer (a handler
// that wrote its reply to the reply descriptor has emptied the buffer first).
// Waits while the caller reads slowly, but gives up after 30 seconds without
// progress. A second call, or a call on an io of no request, does nothing.
// Safe from any thread. Returns 0 when the answer was sent, -1 otherwise.
int hv_reply(hv_io_t* io);

// Completes the request with the refusal `result` (HV_UNAVAILABLE, ...) and
// no body, which the caller's hv_call returns. An addition of ours to the bus
// API: a service at its limit answers a call this way. A second answer, or a
// call on an io of no request, does nothing. Returns 0 when the refusal was
// sent, -1 otherwise.
int hv_refuse(hv_io_t* io, int result);

// Runs the program argv[0] (a path; no shell, no PATH search) with the
// arguments argv (NULL-terminated). Its standard input is fed from `in` (or
// /dev/null when NULL); standard output and error are appended to `out` and
// `err` (or discarded when NULL). No descriptor of the caller other than 0, 1
// and 2 reaches the program. Waits for it and returns its exit status (128 +
// signal number when a signal ended it), or -1 when it could not be started.
int hv_io_execv(hv_io_t* in, hv_io_t* out, hv_io_t* err, char* const argv[]);

// ---- services --------------------------------------------------------------

// Registers `callback` for `signo`. SIGINT, SIGTERM and the other catchable
// non-fault signals are delivered on the service loop, outside signal context,
// so the callback may call hv_stop. SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT
// run the callback in signal context (the crash path). In a process forked from
// the one that registered them, loop signals take their default action.
// Returns 0, or -1 for a signal that cannot be caught.
int hv_signal(int signo, hv_signal_fn callback);

// Creates the service `name` and starts listening: makes the bus directory
// (mode 0711) when missing, replaces a stale socket of a dead service, and
// fails while a live service holds the name. The service admits callers whose
// peer uid is 0 or the service's own effective uid (see hv_admit_uid).
// `workers` and `flags` are accepted for compatibility and not used. Returns
// NULL on failure (invalid name, name in use, socket errors).
//
// A process with a service ignores SIGPIPE (unless it installed a handler of
// its own), so that a caller closing its reply descriptor gives its handler a
// write error instead of ending it. Processes forked from the service do not
// keep its listening socket nor the connections of callers still sending.
hv_service_t* hv_create(const char* name, int workers, int flags,
                        hv_dispatch_fn dispatch);

// Also admits callers with peer uid `uid`. Returns 0.
int hv_admit_uid(hv_service_t* service, uid_t uid);

// Hooks run on the loop's thread once before the first request (init) and once
// after the last (fini). Returns 0.
int hv_worker_init(hv_service_t* service, hv_worker_fn callback, void* arg);
int hv_worker_fini(hv_service_t* service, hv_worker_fn callback, void* arg);

// Runs the service loop until hv_stop. Returns 0, or -1 for a NULL service.
int hv_start(hv_service_t* service);

// Asks the loop to end; safe from any thread and from signal context.
void hv_stop(hv_service_t* service);

// Stops listening, removes the socket (when it is still this service's) and
// frees the service. Requests already dispatched are not affected.
void hv_free(hv_service_t* service);

// Installs a handler for fatal signals that prints a backtrace to standard
// error and ends the process.
void hv_backtrace(void);

// ---- calls -----------------------------------------------------------------

// Calls `method` of `service` with the body held in `io`. With fd -1 the
// answer replaces the content of `io`; with a descriptor, the descriptor is
// passed to the service, which writes its reply there, and `io` receives
// whatever the service answered besides (usually nothing). Waits at most
// `timeout` seconds (<= 0: no limit). On any result but HV_OK, `io` keeps the
// request. A method text over 4096 bytes or a body over HV_MAX_FRAME is not
// sent (HV_UNAVAILABLE). Returns one of the HV_* results.
int hv_call(const char* service, const char* method, hv_io_t* io, int timeout,
            int fd);

#ifdef __cplusplus
}
#endif

#endif  // ORV_COMMON_BUS_HVSERVICE_H_
