// The endpoint table of a service and the dispatch of requests to it.

#include <unistd.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/bus/hvREST.h"
#include "common/bus/io_internal.h"
#include "common/bus/rest_query.h"

namespace orv::bus {

// One registered endpoint; its address is the context handed to dispatchers
// and handlers.
struct Endpoint {
  std::string name;
  std::string usage;
  hv_handler_fn handler = nullptr;
  hv_dispatcher_fn dispatcher = nullptr;
};

namespace {

// JSON text as every program of the system prints it: compact, slashes
// escaped, reals with 2 significant digits.
constexpr size_t kDumpFlags =
    JSON_COMPACT | JSON_ESCAPE_SLASH | JSON_REAL_PRECISION(2);

int dump_to_io(const char* buffer, size_t length, void* data) {
  ssize_t written = hv_io_write(static_cast<hv_io_t*>(data), buffer, length);
  return written == static_cast<ssize_t>(length) ? 0 : -1;
}

void release(hv_io_t* io, int fd) {
  hv_io_free(io);
  if (fd >= 0) close(fd);
}

}  // namespace

}  // namespace orv::bus

struct hv_rest {
  // Owned endpoints, in registration order; their addresses stay put.
  std::vector<std::unique_ptr<orv::bus::Endpoint>> endpoints;
};

namespace orv::bus {

namespace {

const Endpoint* find(const hv_rest* rest, const std::string& name) {
  for (const auto& endpoint : rest->endpoints) {
    if (endpoint->name == name) return endpoint.get();
  }
  return nullptr;
}

// Answers "help" with {"endpoint": "usage text", ...} in the answer body.
void answer_help(const hv_rest* rest, hv_io_t* io) {
  json_t* usages = json_object();
  for (const auto& endpoint : rest->endpoints) {
    json_t* usage = json_string(endpoint->usage.c_str());
    if (usage == nullptr) {
      // Not UTF-8: still list the endpoint rather than hide it.
      usage = json_string("");
    }
    json_object_set_new(usages, endpoint->name.c_str(), usage);
  }
  hv_io_realloc(io, 0);
  if (usages == nullptr ||
      json_dump_callback(usages, dump_to_io, io, kDumpFlags) != 0) {
    hv_io_realloc(io, 0);
    io_refuse(io, HV_UNAVAILABLE);
  } else {
    hv_reply(io);
  }
  json_decref(usages);
}

}  // namespace

}  // namespace orv::bus

extern "C" {

hv_rest_t* hv_rest_create(void) { return new (std::nothrow) hv_rest; }

int hv_rest_endpoint(hv_rest_t* rest, hv_handler_fn handler, const char* method,
                     hv_dispatcher_fn dispatcher, const char* usage) {
  if (rest == nullptr || method == nullptr || method[0] == '\0' ||
      orv::bus::find(rest, method) != nullptr) {
    return -1;
  }
  auto endpoint = std::make_unique<orv::bus::Endpoint>();
  endpoint->name = method;
  endpoint->usage = usage != nullptr ? usage : "";
  endpoint->handler = handler;
  endpoint->dispatcher = dispatcher;
  rest->endpoints.push_back(std::move(endpoint));
  return 0;
}

int hv_rest_dispatch(hv_rest_t* rest, const char* method, hv_io_t* io, int fd) {
  using namespace orv::bus;
  if (rest == nullptr || method == nullptr) {
    io_refuse(io, HV_NO_METHOD);
    release(io, fd);
    return -1;
  }
  MethodText parts = split_method(method);
  const Endpoint* endpoint = find(rest, parts.endpoint);
  if (endpoint == nullptr && parts.endpoint == "help") {
    answer_help(rest, io);
    release(io, fd);
    return 0;
  }
  json_t* params = endpoint != nullptr ? query_object(parts.query) : nullptr;
  if (endpoint == nullptr || params == nullptr) {
    io_refuse(io, endpoint == nullptr ? HV_NO_METHOD : HV_UNAVAILABLE);
    release(io, fd);
    return -1;
  }
  void* context = const_cast<Endpoint*>(endpoint);
  if (endpoint->dispatcher != nullptr) {
    endpoint->dispatcher(context, endpoint->handler, io, params, fd);
    return 0;
  }
  // No dispatcher: run the handler here and release what it was given.
  if (endpoint->handler != nullptr) endpoint->handler(context, io, params, fd);
  json_decref(params);
  release(io, fd);
  return 0;
}

void hv_rest_destroy(hv_rest_t* rest) { delete rest; }

const char* hv_rest_endpoint_name(const void* ctx) {
  if (ctx == nullptr) return "";
  return static_cast<const orv::bus::Endpoint*>(ctx)->name.c_str();
}

const char* hv_rest_endpoint_usage(const void* ctx) {
  if (ctx == nullptr) return "";
  return static_cast<const orv::bus::Endpoint*>(ctx)->usage.c_str();
}

}  // extern "C"
