// The handlers of the five endpoints of orv-service. Each takes (endpoint
// context, io, parameter object, reply descriptor), reads its parameters,
// does its work and answers exactly once with reply_json; the io, object and
// descriptor stay owned by the dispatcher that called it. Each family lives
// with the subsystem whose work it does.
#ifndef ORV_SERVICE_HANDLERS_H_
#define ORV_SERVICE_HANDLERS_H_

#include <jansson.h>

#include "common/bus/hvservice.h"

namespace orv {

// "watch" (runs on the daemon's worker pool): service/watch_endpoint.cc.
void watch_handler(void* ctx, hv_io_t* io, json_t* params, int fd);

// "fetch.cache" and "delete.cache": cache/cache_endpoints.cc.
void fetch_cache_handler(void* ctx, hv_io_t* io, json_t* params, int fd);
void delete_cache_handler(void* ctx, hv_io_t* io, json_t* params, int fd);

// "create.cache" and "fetch.resource": collect/resource_endpoints.cc.
void create_cache_handler(void* ctx, hv_io_t* io, json_t* params, int fd);
void fetch_resource_handler(void* ctx, hv_io_t* io, json_t* params, int fd);

}  // namespace orv

#endif  // ORV_SERVICE_HANDLERS_H_
