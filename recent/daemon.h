// The vimbrel daemon: pid file, start-up, the service loop with its worker
// hooks, and the shut-down in reverse order.
#ifndef ORV_RECENT_DAEMON_H_
#define ORV_RECENT_DAEMON_H_

namespace orv::recent {

// Runs the daemon as bus service "vimbrel" until SIGINT or SIGTERM and
// returns 0. Ends the process with status 1 when the pid file
// "/var/run/vimbrel.pid" (under the sandbox root) cannot be created or
// another instance holds its lock; returns 1 when the service cannot be
// created. Takes no options and reads no configuration.
int recent_main();

}  // namespace orv::recent

#endif  // ORV_RECENT_DAEMON_H_
