// Jansson helpers: a reference-holding wrapper so that no caller counts
// references by hand, the lenient readers of boolean and integer parameters,
// and the one set of serialiser flags used for every JSON text we print.
#ifndef ORV_COMMON_JSON_H_
#define ORV_COMMON_JSON_H_

#include <jansson.h>

#include <cstdint>
#include <string>

namespace orv {

// Compact, every slash escaped, real numbers with 2 significant digits.
constexpr size_t kJsonFlags =
    JSON_COMPACT | JSON_ESCAPE_SLASH | JSON_REAL_PRECISION(2);

// Holds one reference to a JSON value (or nothing) and drops it when
// destroyed. Movable, and copyable by taking another reference.
class Json {
 public:
  Json() = default;
  // Takes over a reference the caller owns (a "new reference" of Jansson).
  static Json adopt(json_t* value) { return Json(value); }
  // Takes a new reference to a value the caller only borrows.
  static Json borrow(json_t* value) { return Json(json_incref(value)); }

  Json(const Json& other) : value_(json_incref(other.value_)) {}
  Json(Json&& other) noexcept : value_(other.release()) {}
  Json& operator=(Json other) noexcept {
    std::swap(value_, other.value_);
    return *this;
  }
  ~Json() { json_decref(value_); }

  json_t* get() const { return value_; }
  explicit operator bool() const { return value_ != nullptr; }
  // Gives up the reference to the caller.
  json_t* release() {
    json_t* value = value_;
    value_ = nullptr;
    return value;
  }
  // Drops the reference and holds `value` (a new reference) instead.
  void reset(json_t* value = nullptr) { *this = Json(value); }

 private:
  explicit Json(json_t* value) : value_(value) {}
  json_t* value_ = nullptr;
};

// The reading of a boolean parameter: absent (null pointer) false; true/false
// as they are; an integer greater than 0; a string equal to "true" ignoring
// case; anything else false.
bool json_bool(const json_t* value);

// The reading of an integer parameter: absent 0; an integer as it is; true 1,
// false 0; a string's leading decimal integer (strtoll rules, saturating; 0
// when there is none); anything else 0.
int64_t json_int(const json_t* value);

// Serialises `value` with kJsonFlags; empty text for a null pointer.
std::string json_text(const json_t* value);

}  // namespace orv

#endif  // ORV_COMMON_JSON_H_
