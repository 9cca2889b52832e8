// gateway-peer: a bus service that stands in for orv-service in the gateway's
// tests and shows what the gateway sent.
//
//   gateway-peer SERVICE
//
// Every request is answered on its reply descriptor (as orv-service answers
// the gateway) with {"method": the method text, "body": the request body as
// text}. A method ending in "/test.silent" is never answered, as a daemon
// that does not answer in time. Writes "ready" to standard error once it
// listens.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/bus/hvservice.h"
#include "common/error.h"
#include "common/json.h"
#include "common/reply.h"

namespace {

hv_service_t* g_service = nullptr;
std::vector<hv_io_t*> g_unanswered;

void on_request(const char* method, hv_io_t* io, int fd) {
  const std::string text = method != nullptr ? method : "";
  const std::string silent = "/test.silent";
  if (text.size() >= silent.size() &&
      text.compare(text.size() - silent.size(), silent.size(), silent) == 0) {
    g_unanswered.push_back(io);  // Held open, never answered.
    return;
  }
  orv::Json result = orv::Json::adopt(
      json_pack("{s:s, s:s#}", "method", text.c_str(), "body",
                hv_io_read(io, 0), static_cast<int>(hv_io_size(io))));
  orv::ErrorRecord record;
  orv::clear_error(&record);
  orv::reply_json(io, fd, result.get(), record);
  hv_io_free(io);
  if (fd >= 0) close(fd);
}

void on_stop(int) { hv_stop(g_service); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: gateway-peer SERVICE\n");
    return 64;
  }
  hv_signal(SIGINT, on_stop);
  hv_signal(SIGTERM, on_stop);
  g_service = hv_create(argv[1], 2, 1, on_request);
  if (g_service == nullptr) {
    std::fprintf(stderr, "gateway-peer: cannot serve %s\n", argv[1]);
    return 1;
  }
  std::fprintf(stderr, "ready\n");
  hv_start(g_service);
  hv_free(g_service);
  for (hv_io_t* io : g_unanswered) hv_io_free(io);
  return 0;
}
