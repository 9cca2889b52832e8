// The "create.cache" and "fetch.resource" endpoints: read the cache index
// (create.cache), the page and the language. The search itself is not built
// yet, so valid requests are answered "not implemented".
#include "common/error.h"
#include "common/reply.h"
#include "query/params.h"
#include "service/handlers.h"

namespace orv {

void create_cache_handler(void*, hv_io_t* io, json_t* params, int fd) {
  ErrorRecord error;
  clear_error(&error);
  uint64_t index = 1;
  uint64_t limit = 500;
  uint64_t offset = 0;
  parse_index(params, &error, &index);
  parse_page(params, &error, &limit, &offset);
  parse_lang(params, &error);
  set_error(&error, error.ok() ? kCacheFailure : 0, "not implemented");
  reply_json(io, fd, nullptr, error);
}

void fetch_resource_handler(void*, hv_io_t* io, json_t* params, int fd) {
  ErrorRecord error;
  clear_error(&error);
  uint64_t limit = 500;
  uint64_t offset = 0;
  parse_page(params, &error, &limit, &offset);
  parse_lang(params, &error);
  set_error(&error, error.ok() ? kCacheFailure : 0, "not implemented");
  reply_json(io, fd, nullptr, error);
}

}  // namespace orv
