// The endpoint table of orv-service: method, handler, dispatcher and usage
// text of each endpoint, in the order they are registered on the bus.
#ifndef ORV_SERVICE_ENDPOINTS_H_
#define ORV_SERVICE_ENDPOINTS_H_

#include <string>
#include <vector>

#include "common/bus_service.h"

namespace orv {

// The five endpoints: "watch", "fetch.cache", "delete.cache", "create.cache",
// "fetch.resource".
std::vector<Endpoint> endpoint_table();

// One option of a usage text: its field ("uuid=(str)"), description and
// continuation lines.
struct UsageOption {
  const char* field;
  const char* description;
  std::vector<const char*> more;
};

// A usage text: the first line, the general part naming
// "orv-service.<method>", and one line per option (continuation lines
// indented under the description), ending with an empty line.
std::string usage_text(const std::string& first_line, const std::string& method,
                       const std::vector<UsageOption>& options);

}  // namespace orv

#endif  // ORV_SERVICE_ENDPOINTS_H_
