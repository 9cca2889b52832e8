// ClientWatchdog: ends a request handler process as soon as the request's
// caller has gone, so that abandoned searches stop consuming the appliance.
//
// One per process, created on first use. A handler arms it once its
// parameters are valid; a timer thread then checks the caller every period
// and ends the process with _exit(1) when the caller has disconnected (no
// reply, no clean-up: nobody is left to read either). Work that must finish
// even without a caller, such as writing a cache, disarms it first.
#ifndef ORV_COMMON_CLIENT_WATCHDOG_H_
#define ORV_COMMON_CLIENT_WATCHDOG_H_

#include "common/bus/hvservice.h"

namespace orv {

// Arms the watchdog on the request `io`, checked every `seconds`. A watchdog
// already running keeps its period and watches the new io. Call from the
// handler's own thread.
void watch_client(hv_io_t* io, int seconds);

// Disarms the watchdog: the process is no longer ended when its caller goes.
// Call from the handler's own thread.
void stop_client_watch();

// Replaces the question "is the caller still connected" (hv_io_alive by
// default); null restores the default. Used by tests.
using ClientAliveProbe = int (*)(hv_io_t* io);
void set_client_alive_probe(ClientAliveProbe probe);

}  // namespace orv

#endif  // ORV_COMMON_CLIENT_WATCHDOG_H_
