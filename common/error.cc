#include "common/error.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace orv {

void clear_error(ErrorRecord* record) {
  record->code = 0;
  std::memset(record->message, 0, sizeof(record->message));
}

int set_error(ErrorRecord* record, int32_t code, const char* format, ...) {
  if (code == 0) return 0;
  va_list args;
  va_start(args, format);
  int length =
      std::vsnprintf(record->message, sizeof(record->message), format, args);
  va_end(args);
  if (length < 0) record->message[0] = '\0';
  record->code = code;
  return length;
}

}  // namespace orv
