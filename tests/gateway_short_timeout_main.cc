// gateway-short-timeout: orv-gateway with a forwarded call of 2 seconds
// rather than 300, so that a test reaches the "timeout" reply of a daemon
// that does not answer. The shipped program reads no setting that could
// shorten its own.
#include "gateway/gateway.h"

int main() { return orv::gateway_main(2); }
