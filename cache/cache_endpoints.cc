// The "fetch.cache" and "delete.cache" endpoints: one page of a list that
// "create.cache" stored in a cache slot of the session, formatted for the web
// client, and the removal of such a list. Each runs in a handler process of
// its own and answers exactly once.
#include "cache/cache_endpoints.h"

#include <memory>

#include "cache/cache_folder.h"
#include "cache/cache_store.h"
#include "common/client_watchdog.h"
#include "common/error.h"
#include "common/json.h"
#include "common/reply.h"
#include "format/formatter.h"
#include "query/params.h"
#include "session/session.h"

namespace orv {

void fetch_cache_handler(void*, hv_io_t* io, json_t* params, int fd) {
  ErrorRecord error;
  clear_error(&error);
  CachePage page;
  parse_cache_page(params, &error, &page);
  // The parameter object becomes the reply: nothing of the request is sent
  // back.
  json_object_clear(params);
  if (!error.ok()) {
    reply_json(io, fd, nullptr, error);
    return;
  }
  // Formatting a page may run external tools; a caller that has gone must
  // not keep them running.
  watch_client(io, 5);
  CacheStore store(default_volume(), session().sid(), page.index, false);
  auto formatter = std::make_shared<LegacyFormatter>(session().user_name(),
                                                     session().service_name());
  Json result =
      store.fetch(page.uuid, static_cast<int64_t>(page.offset),
                  static_cast<int64_t>(page.limit), formatter, &error);
  if (result) json_object_update(params, result.get());
  reply_json(io, fd, params, error);
}

void delete_cache_handler(void*, hv_io_t* io, json_t* params, int fd) {
  ErrorRecord error;
  clear_error(&error);
  CacheRef ref;
  parse_cache_ref(params, &error, &ref);
  json_object_clear(params);
  if (!error.ok()) {
    reply_json(io, fd, nullptr, error);
    return;
  }
  CacheStore store(default_volume(), session().sid(), ref.index, false);
  store.remove(ref.uuid, &error);
  reply_json(io, fd, params, error);
}

}  // namespace orv
