// The gateway's readers of what a web client sends: the cookie, the query
// string, the body and the method text. Any bytes must give a session id
// that is a piece of its cookie entry, parameters that print as JSON and
// hold only texts or arrays of texts under names without "[" or "=", a
// method text within its bound, no method name with a separator and no body
// length but from digits.
#include <string>
#include <string_view>

#include "fuzz/fuzz_util.h"
#include "gateway/request.h"

using orv::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::string sid = orv::session_id_from_cookie(text);
  check(sid.find(';') == std::string::npos, "session id runs past its entry");
  check(text.find(sid) != std::string_view::npos, "session id not in cookie");

  orv::Json params = orv::parse_query_string(text);
  check(json_is_object(params.get()), "query string gives no object");
  check(orv::fuzz::printable(params.get()), "parameters do not print");
  const char* name;
  const json_t* value;
  json_object_foreach(params.get(), name, value) {
    const std::string_view key(name);
    check(key.find_first_of("[=&") == std::string_view::npos,
          "name with [, = or &");
    if (json_is_array(value)) {
      size_t i;
      const json_t* item;
      json_array_foreach(value, i, item) {
        check(json_is_string(item), "array item other than a text");
      }
    } else {
      check(json_is_string(value), "value other than a text or an array");
    }
  }

  orv::Json body = orv::parse_body(text);
  check(body && orv::fuzz::printable(body.get()), "body does not print");

  const std::string method = orv::method_text(text, text);
  check(method.size() <= orv::kMaxMethodText, "method text over its bound");
  if (orv::inside_application(text)) {
    check(text.substr(0, orv::kApplicationPrefix.size()) ==
                  orv::kApplicationPrefix &&
              text.find('?') == std::string_view::npos,
          "location outside the application accepted");
  }
  if (orv::is_method_token(text)) {
    check(text.find_first_of("/? ") == std::string_view::npos,
          "method with a separator accepted");
  }
  const std::string length_text(text.substr(0, text.find('\0')));
  const int64_t length = orv::body_length(length_text.c_str());
  check(length >= -1, "body length below -1");
  if (length > 0) {
    check(length_text.find_first_not_of("0123456789") == std::string::npos,
          "body length from other than digits");
  }
  check(orv::decode_value(text).size() <= size, "decoding grew the value");
  return 0;
}
