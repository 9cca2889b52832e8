// The "watch" endpoint: reads the cache index it names. The folder watchers
// it drives are not built yet, so valid requests are answered "not
// implemented".
#include "common/error.h"
#include "common/reply.h"
#include "query/params.h"
#include "service/handlers.h"

namespace orv {

void watch_handler(void*, hv_io_t* io, json_t* params, int fd) {
  ErrorRecord error;
  clear_error(&error);
  uint64_t index = 1;
  parse_index(params, &error, &index);
  set_error(&error, error.ok() ? kCacheFailure : 0, "not implemented");
  reply_json(io, fd, nullptr, error);
}

}  // namespace orv
