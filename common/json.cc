#include "common/json.h"

#include <strings.h>

#include <cstdlib>

namespace orv {

bool json_bool(const json_t* value) {
  if (value == nullptr) return false;
  switch (json_typeof(value)) {
    case JSON_TRUE:
      return true;
    case JSON_INTEGER:
      return json_integer_value(value) > 0;
    case JSON_STRING:
      return strcasecmp(json_string_value(value), "true") == 0;
    default:
      return false;
  }
}

int64_t json_int(const json_t* value) {
  if (value == nullptr) return 0;
  switch (json_typeof(value)) {
    case JSON_INTEGER:
      return json_integer_value(value);
    case JSON_TRUE:
      return 1;
    case JSON_STRING:
      // strtoll saturates at the 64-bit limits and gives 0 without digits.
      return std::strtoll(json_string_value(value), nullptr, 10);
    default:
      return 0;
  }
}

std::string json_text(const json_t* value) {
  if (value == nullptr) return std::string();
  char* text = json_dumps(value, kJsonFlags | JSON_ENCODE_ANY);
  if (text == nullptr) return std::string();
  std::string result(text);
  std::free(text);
  return result;
}

}  // namespace orv
