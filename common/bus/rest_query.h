// Reading a request's method text: which endpoint it names and the parameters
// of its query string.
#ifndef ORV_COMMON_BUS_REST_QUERY_H_
#define ORV_COMMON_BUS_REST_QUERY_H_

#include <jansson.h>

#include <string>
#include <string_view>

namespace orv::bus {

// The parts of a method text such as "GET /Orvane6/fetch.cache?index=1".
struct MethodText {
  std::string endpoint;  // "fetch.cache"
  std::string query;     // "index=1"; empty when there is no "?"
};

// Skips a leading request-method word (upper-case letters and the spaces
// after them), cuts the query string at the first "?", and takes the
// endpoint name from what follows the last "/" before it.
MethodText split_method(std::string_view method);

// Decodes "+" as a space and "%XX" (either case) as the byte; a "%" not
// followed by two hexadecimal digits stays as it is.
std::string url_decode(std::string_view text);

// The parameter object of a query string: "name=value" pairs separated by
// "&", names and values decoded, every value a JSON string (a pair without
// "=" has an empty value; empty pieces are skipped). A name given more than
// once holds the array of its values in order. Bytes that are not UTF-8 are
// replaced by U+FFFD, since JSON strings cannot carry them. Returns a new
// reference, or NULL when out of memory.
json_t* query_object(std::string_view query);

}  // namespace orv::bus

#endif  // ORV_COMMON_BUS_REST_QUERY_H_
