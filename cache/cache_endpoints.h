// The handlers of "fetch.cache" and "delete.cache". Each takes (endpoint
// context, io, parameter object, reply descriptor), runs in a handler process
// of its own under the session user's identity and answers exactly once with
// reply_json; the io, object and descriptor stay owned by the dispatcher that
// called it.
#ifndef ORV_CACHE_CACHE_ENDPOINTS_H_
#define ORV_CACHE_CACHE_ENDPOINTS_H_

#include <jansson.h>

#include "common/bus/hvservice.h"

namespace orv {

// One page of a cached list, formatted for the web client.
void fetch_cache_handler(void* ctx, hv_io_t* io, json_t* params, int fd);
// Drops a cached list.
void delete_cache_handler(void* ctx, hv_io_t* io, json_t* params, int fd);

}  // namespace orv

#endif  // ORV_CACHE_CACHE_ENDPOINTS_H_
