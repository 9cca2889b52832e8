// The reply writer of orv-service handlers and the helpers around it: the
// serialisation sink into a bus io buffer and fresh uuids from the kernel.
#ifndef ORV_COMMON_REPLY_H_
#define ORV_COMMON_REPLY_H_

#include <jansson.h>

#include <string>

#include "common/bus/hvservice.h"
#include "common/error.h"

namespace orv {

// Jansson dump callback: appends `length` bytes of `buffer` to the io given as
// `data` with hv_io_write. Returns 0 when all bytes were written, -1 otherwise.
int io_writer(const char* buffer, size_t length, void* data);

// Sends the one reply of a request: the result's members (none when the
// record holds an error: they are removed) plus "error_code" and
// "error_message". With `fd` negative the compact JSON goes into `io`;
// otherwise "Content-Type: application/json; charset=utf-8\r\n\r\n" and the
// JSON are written to `fd`, which is then flushed and released (pointed at
// /dev/null, so the caller sees the end of the reply). Completes the request
// with hv_reply. Sends nothing when the caller has gone. Does not take
// ownership of `result`; `result` may be null.
void reply_json(hv_io_t* io, int fd, json_t* result, const ErrorRecord& record);

// The first word of "/proc/sys/kernel/random/uuid": a fresh 36-character
// lower-case uuid, or an empty text when the file cannot be read.
std::string kernel_uuid();

}  // namespace orv

#endif  // ORV_COMMON_REPLY_H_
