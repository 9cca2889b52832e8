// orv-gateway: the CGI program the web server runs for each request of the
// file manager.
#include "gateway/gateway.h"

int main() { return orv::gateway_main(orv::kCallTimeout); }
