// The "fetch.cache" and "delete.cache" endpoints: read the cache they name
// (and the page, for fetch.cache). The result cache is not built yet, so
// valid requests are answered "not implemented".
#include "common/error.h"
#include "common/reply.h"
#include "query/params.h"
#include "service/handlers.h"

namespace orv {

void fetch_cache_handler(void*, hv_io_t* io, json_t* params, int fd) {
  ErrorRecord error;
  clear_error(&error);
  CachePage page;
  parse_cache_page(params, &error, &page);
  set_error(&error, error.ok() ? kCacheFailure : 0, "not implemented");
  reply_json(io, fd, nullptr, error);
}

void delete_cache_handler(void*, hv_io_t* io, json_t* params, int fd) {
  ErrorRecord error;
  clear_error(&error);
  CacheRef ref;
  parse_cache_ref(params, &error, &ref);
  set_error(&error, error.ok() ? kCacheFailure : 0, "not implemented");
  reply_json(io, fd, nullptr, error);
}

}  // namespace orv
