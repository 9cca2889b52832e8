// Small helpers shared by the fuzz targets: an invariant check that reports
// what broke and aborts (so libFuzzer keeps the input), and the parameter
// object of an input.
#ifndef ORV_FUZZ_FUZZ_UTIL_H_
#define ORV_FUZZ_FUZZ_UTIL_H_

#include <jansson.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/json.h"

namespace orv::fuzz {

// Aborts with `what` on standard error when `condition` is false.
inline void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

// The input parsed as JSON text, NUL bytes inside strings allowed, as the
// request readers of the daemons accept it; empty when it is not JSON.
inline Json json_of(const uint8_t* data, size_t size) {
  return Json::adopt(json_loadb(reinterpret_cast<const char*>(data), size,
                                JSON_ALLOW_NUL | JSON_DECODE_ANY, nullptr));
}

// The input as a request's parameter object; empty when it is not one.
inline Json params_of(const uint8_t* data, size_t size) {
  Json value = json_of(data, size);
  return json_is_object(value.get()) ? value : Json();
}

// Whether `value` prints as the daemons print their replies; a value holding
// text that is not UTF-8 would make the whole reply fail.
inline bool printable(const json_t* value) {
  char* text = json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY);
  if (text == nullptr) return false;
  std::free(text);
  return true;
}

}  // namespace orv::fuzz

#endif  // ORV_FUZZ_FUZZ_UTIL_H_
