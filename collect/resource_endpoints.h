// The handlers of "create.cache" and "fetch.resource". Each takes (endpoint
// context, io, parameter object, reply descriptor), runs in a handler process
// of its own under the session user's identity and answers exactly once with
// reply_json; the io, object and descriptor stay owned by the dispatcher that
// called it.
#ifndef ORV_COLLECT_RESOURCE_ENDPOINTS_H_
#define ORV_COLLECT_RESOURCE_ENDPOINTS_H_

#include <jansson.h>

#include "common/bus/hvservice.h"

namespace orv {

// Searches into a cache slot of the session, then has the daemon watch the
// list's folders.
void create_cache_handler(void* ctx, hv_io_t* io, json_t* params, int fd);
// Searches and answers one page at once, from a private in-memory cache.
void fetch_resource_handler(void* ctx, hv_io_t* io, json_t* params, int fd);

}  // namespace orv

#endif  // ORV_COLLECT_RESOURCE_ENDPOINTS_H_
