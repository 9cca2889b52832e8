// The entry of orv-service: options, session check, pid file, endpoint
// registration, signal callbacks, the service loop, and the shut-down in
// reverse order.
#ifndef ORV_SERVICE_DAEMON_H_
#define ORV_SERVICE_DAEMON_H_

#include <span>

#include "service/endpoints.h"

namespace orv {

// Runs the daemon and returns its exit status: 0 after a normal shut-down or
// after -c, 1 when the session is not live, its user cannot be resolved or
// the service cannot be created. Ends the process with status 1 itself when
// the pid file cannot be taken.
//
// Options (":cs:l:"): -c/--clear removes the cache files of ended sessions
// and returns 0 at once; -s/--sid SID serves login session SID as service
// "orv-SID"; -l/--level N sets the log level (at most 8; 8 also installs the
// crash backtrace). Unknown options and missing arguments are ignored.
//
// `extra` endpoints are registered after the five of the table. Used by
// tests.
int service_main(int argc, char** argv, std::span<const Endpoint> extra = {});

// The pid file "/var/run/<service name>.pid" under the sandbox root: created
// with mode 0644, locked, holding the daemon's process id. When it cannot be
// created, or another daemon holds its lock, logs why and ends the process
// with status 1.
void acquire_pid_file();
// Removes the pid file, unlocks and closes it.
void release_pid_file();

// Bus hooks: run once before the first request and once after the last.
void worker_start(void* ignored);
void worker_stop(void* ignored);

// Signal callback of SIGSEGV (at log level 8): logs a backtrace and ends the
// process with status 1. SIGINT and SIGTERM stop the service loop
// (run_bus_service).
void on_crash_signal(int signo);

}  // namespace orv

#endif  // ORV_SERVICE_DAEMON_H_
