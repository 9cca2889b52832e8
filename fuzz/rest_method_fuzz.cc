// The REST layer's reading of a method text: the endpoint it names and the
// parameter object of its query string. Any bytes must give an endpoint name
// without "/" or "?" and an object that prints as JSON.
#include <string>
#include <string_view>

#include "common/bus/rest_query.h"
#include "fuzz/fuzz_util.h"

using orv::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view method(reinterpret_cast<const char*>(data), size);
  orv::bus::MethodText parts = orv::bus::split_method(method);
  check(parts.endpoint.find('/') == std::string::npos, "endpoint with a /");
  check(parts.endpoint.find('?') == std::string::npos, "endpoint with a ?");
  check(parts.endpoint.size() + parts.query.size() <= size,
        "parts longer than the method");

  orv::Json params = orv::Json::adopt(orv::bus::query_object(parts.query));
  check(json_is_object(params.get()), "query string gives no object");
  check(orv::fuzz::printable(params.get()), "parameters do not print");

  std::string decoded = orv::bus::url_decode(parts.query);
  check(decoded.size() <= parts.query.size(), "decoding grew the text");
  return 0;
}
