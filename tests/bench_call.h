// A call of a daemon's endpoint as the benchmarks make it: over the bus from
// this process, timed.
#ifndef ORV_TESTS_BENCH_CALL_H_
#define ORV_TESTS_BENCH_CALL_H_

#include <jansson.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "common/bus/hvservice.h"
#include "common/json.h"

namespace orv::bench {

// The reply of `method` of `service` to `body`; an empty Json (and a line
// on standard error) when the call or the request failed. `seconds`, when
// given, receives the time of the call alone: what the gateway waits for,
// without this end's reading of the reply.
inline Json call_service(const std::string& service, const std::string& method,
                         const std::string& body, double* seconds = nullptr) {
  hv_io_t* io = hv_io_create();
  hv_io_write(io, body.data(), body.size());
  const auto start = std::chrono::steady_clock::now();
  const int result = hv_call(service.c_str(), method.c_str(), io, 300, -1);
  if (seconds != nullptr) {
    *seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
  }
  Json reply;
  if (result == HV_OK) {
    reply.reset(json_loadb(hv_io_read(io, 0), hv_io_size(io), 0, nullptr));
  }
  hv_io_free(io);
  if (!reply ||
      json_integer_value(json_object_get(reply.get(), "error_code")) != 0) {
    std::fprintf(stderr, "%s: call %d, reply %s\n", method.c_str(), result,
                 reply ? json_text(reply.get()).c_str() : "none");
    return Json();
  }
  return reply;
}

}  // namespace orv::bench

#endif  // ORV_TESTS_BENCH_CALL_H_
