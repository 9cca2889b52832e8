// Pieces of the bus library shared between its own files: the io buffer's
// layout, the answer frames, and the signal pipe the service loop watches.
// Not for use outside common/bus.
#ifndef ORV_COMMON_BUS_IO_INTERNAL_H_
#define ORV_COMMON_BUS_IO_INTERNAL_H_

#include <sys/types.h>

#include <cstddef>

#include "common/bus/hvservice.h"

// A growable byte buffer; for a request, also the owner of the connection.
struct hv_io {
  char* data = nullptr;  // `capacity` bytes; data[size] is always NUL
  size_t size = 0;
  size_t capacity = 0;    // > size
  int conn = -1;          // the request's connection, -1 for a plain buffer
  bool answered = false;  // an answer frame went out (or could not)
};

namespace orv::bus {

// Makes room for `size` content bytes plus the NUL without changing the
// content. Returns false when out of memory.
bool io_reserve(hv_io_t* io, size_t size);

// Makes `io` the io of a request arriving on connection `conn`, which it owns
// from then on (hv_io_free closes it).
void io_attach(hv_io_t* io, int conn);

// Sends a refusal (HV_NO_METHOD, HV_FORBIDDEN, ...) as the request's answer
// with an empty body, in place of hv_reply. Returns 0 when sent, -1 otherwise
// (no request, already answered, caller gone).
int io_refuse(hv_io_t* io, int result);

// Sends one answer frame with `result` and the given body on `conn`. Waits
// while the caller reads slowly, but gives up when it stops reading for good.
bool send_answer(int conn, int result, const char* body, size_t length);

// Milliseconds on the monotonic clock.
int64_t now_ms();

// The read end of the pipe that the signal handlers of hv_signal write to, or
// -1 before any loop signal was registered.
int signal_pipe();

// Reads the signals queued on the pipe and runs their callbacks. Called by
// the service loop when the pipe is readable.
void run_queued_signals();

}  // namespace orv::bus

#endif  // ORV_COMMON_BUS_IO_INTERNAL_H_
