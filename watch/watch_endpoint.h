// The handler of "watch". It takes (endpoint context, io, parameter object,
// reply descriptor) and runs on the daemon's worker pool, where the folder
// watchers live, one request at a time; it answers first with reply_json and
// then re-arms the watcher. The io, object and descriptor stay owned by the
// dispatcher that called it.
#ifndef ORV_WATCH_WATCH_ENDPOINT_H_
#define ORV_WATCH_WATCH_ENDPOINT_H_

#include <jansson.h>

#include "common/bus/hvservice.h"

namespace orv {

// Re-arms the folder watcher of cache slot "index" from the slot's list.
void watch_handler(void* ctx, hv_io_t* io, json_t* params, int fd);

}  // namespace orv

#endif  // ORV_WATCH_WATCH_ENDPOINT_H_
