// ErrorRecord: the status of one request. Every step that can fail writes it
// and returns; callers stop at the first error set.
#ifndef ORV_COMMON_ERROR_H_
#define ORV_COMMON_ERROR_H_

#include <cstdint>

namespace orv {

// Reply error codes.
enum ErrorCode : int32_t {
  kSuccess = 0,
  kInvalidParameter = 2,  // a parameter's form or value, or a missing cache
  kCacheFailure = 3,      // a cache operation failed
};

// One request's status; lives on the handler's stack and is never shared.
struct ErrorRecord {
  int32_t code = 0;        // 0 success, otherwise the reply's error code
  char message[256] = {};  // NUL-terminated, at most 255 bytes of text

  bool ok() const { return code == 0; }
};

// Sets `code` to 0 and every message byte to 0.
void clear_error(ErrorRecord* record);

// With `code` 0 changes nothing and returns 0. Otherwise formats the message
// printf-style (cut to 255 bytes), stores `code` and returns the untruncated
// formatted length.
int set_error(ErrorRecord* record, int32_t code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace orv

#endif  // ORV_COMMON_ERROR_H_
