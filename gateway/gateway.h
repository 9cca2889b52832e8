// orv-gateway's one request, the CGI program's whole life: check the login
// session of the cookie and the location, gather the caller's rights, read
// the parameters, and forward them to the session's orv-service over the bus,
// starting the daemon when it is not running. The service writes its reply
// straight to standard output; the gateway itself prints only its own error
// replies.
#ifndef ORV_GATEWAY_GATEWAY_H_
#define ORV_GATEWAY_GATEWAY_H_

namespace orv {

// Seconds a forwarded call may take before the caller gets "timeout".
constexpr int kCallTimeout = 300;

// Environment variable that shortens kCallTimeout to its (positive) number of
// seconds, so that a test need not wait five minutes for a silent daemon. The
// web server passes clients only HTTP_* variables, so no request can set it.
// Used by tests.
constexpr char kTestTimeoutVariable[] = "ORV_GATEWAY_TEST_TIMEOUT";

// Serves the request of this process's CGI variables and standard input.
// Every path ends with the service's reply or one error reply on standard
// output. Returns the exit status: 0.
int gateway_main();

}  // namespace orv

#endif  // ORV_GATEWAY_GATEWAY_H_
