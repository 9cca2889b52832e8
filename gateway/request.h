// The pure parts of one gateway request: the session id of the cookie, the
// service name and method text it is forwarded with, the location check, and
// the parameters read from a query string or a request body. Nothing here
// touches the environment, the bus or the platform.
#ifndef ORV_GATEWAY_REQUEST_H_
#define ORV_GATEWAY_REQUEST_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "common/json.h"

namespace orv {

// The location every request of the application lies under.
constexpr std::string_view kApplicationPrefix = "/Orvane6/";

// Longest method text: "%s %s" of the request method and the location in a
// buffer of 322 bytes.
constexpr size_t kMaxMethodText = 321;

// The value of the "NAS_SID=" entry of a Cookie header: what follows
// "NAS_SID=" up to the next ";" or the end of the text. Only an entry counts:
// the name must begin the text or follow a ";" (and optional spaces), so that
// a cookie named, say, "XNAS_SID" is not taken for it. Empty when there is no
// such entry.
std::string session_id_from_cookie(std::string_view cookie);

// The bus service of session `sid`: "orv-" followed by the whole id. The id
// the daemon is started with is the same, so the two always name the same
// session.
std::string service_name_of(std::string_view sid);

// True when `location` lies under the application and carries no query
// string of its own: a "?" in it would let the caller slip parameters into
// the method text, where they override the ones the gateway sets.
bool inside_application(std::string_view location);

// "%s %s" of the request method and the location, cut to kMaxMethodText
// bytes.
std::string method_text(std::string_view method, std::string_view location);

// True when `method` is "GET" in any mix of letter case.
bool is_get(std::string_view method);

// True when `method` is an HTTP method name: one or more token characters
// (letters, digits and !#$%&'*+-.^_`|~). A "/" or "?" in it would reach the
// method text the service's endpoint is found by, as one in the location
// would.
bool is_method_token(std::string_view method);

// The body length a request announces in CONTENT_LENGTH: 0 when the variable
// is absent (a null pointer) or empty, the number when it is decimal digits
// alone, and -1 for any other text or a number beyond 2^53.
int64_t body_length(const char* content_length);

// Decodes a query-string value: "+" becomes a space, "%" and two hexadecimal
// digits (either case) the byte they give; any other "%" stays as it is.
std::string decode_value(std::string_view value);

// The parameters of a query string, as an object: pieces split at "&" (empty
// ones skipped); in each, the name ends at the first "[" or "=", and the value
// (decoded) follows the first "=" (empty when there is none); the name is
// never decoded. A name given more than once holds the array of its values.
// A decoded value is cut at a NUL byte; a piece whose name or value is not
// valid UTF-8 cannot be a JSON member and is skipped.
Json parse_query_string(std::string_view query);

// The parameters of a request body: its JSON value when the text is JSON (of
// any type), otherwise a new empty object.
Json parse_body(std::string_view body);

}  // namespace orv

#endif  // ORV_GATEWAY_REQUEST_H_
