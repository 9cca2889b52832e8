// orv-gateway's one request, the CGI program's whole life: check the login
// session of the cookie and the location, gather the caller's rights, read
// the parameters, and forward them to the session's orv-service over the bus,
// starting the daemon when it is not running. The service writes its reply
// straight to standard output; the gateway itself prints its own error
// replies and a reply that comes back over the bus instead (the bus's own
// "help").
#ifndef ORV_GATEWAY_GATEWAY_H_
#define ORV_GATEWAY_GATEWAY_H_

#include <cstdint>

namespace orv {

// Seconds a forwarded call may take before the caller gets "timeout".
constexpr int kCallTimeout = 300;

// Largest request body read: the web server's own limit (client_max_body_size
// in tools/nginx.conf.in). A request that announces more is refused before
// any of its body is read.
constexpr int64_t kMaxBody = int64_t{1} << 20;

// Serves the request of this process's CGI variables and standard input,
// giving the forwarded call `call_timeout` seconds (kCallTimeout for
// orv-gateway; a build for tests passes less). Every path ends with the
// service's reply or one error reply on standard output. Returns the exit
// status: 0.
int gateway_main(int call_timeout);

}  // namespace orv

#endif  // ORV_GATEWAY_GATEWAY_H_
