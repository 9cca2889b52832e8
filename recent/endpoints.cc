#include "recent/endpoints.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "common/json.h"
#include "recent/requests.h"
#include "recent/store.h"

namespace orv::recent {

namespace {

WorkerPool* g_read_pool = nullptr;
WorkerPool* g_write_pool = nullptr;

// ---- usage texts ------------------------------------------------------------

struct UsageLine {
  const char* parameter;
  const char* description;
};

constexpr const char* kActionNames[] = {
    "ADDED",   "MOVED",   "COPIED",   "OPENED",     "SYNCED",
    "DELETED", "RENAMED", "UPLOADED", "DOWNLOADED", "AUTO_UPLOADED"};
constexpr char kUserLine[] = "file accessed by which user id (must)";

std::string format_line(const char* format, const char* text,
                        const char* rest) {
  char line[256];
  std::snprintf(line, sizeof(line), format, text, rest);
  return line;
}

// The section `heading` with its parameter lines; the action bits follow the
// action line.
std::string section(const char* heading,
                    std::initializer_list<UsageLine> lines) {
  std::string text = std::string(heading) + "\n";
  for (const UsageLine& line : lines) {
    text += format_line("   %-24s%s\n", line.parameter, line.description);
    if (std::strcmp(line.parameter, "action=(int)") != 0) continue;
    for (int bit = 0; bit < 10; ++bit) {
      text += format_line("       %-20s= (1 << %s)\n", kActionNames[bit],
                          std::to_string(bit).c_str());
    }
  }
  return text + "\n";
}

std::string usage(const char* first, const char* call,
                  const std::string& sections = "") {
  return std::string(first) + "\n\nUsage: [General]\n\n[General]:\n   " + call +
         "\n\n" + sections;
}

// ---- replies and handlers ---------------------------------------------------

// A JSON string of `message`. The record cuts a long message at 255 bytes,
// possibly inside a character: the cut character is left out.
json_t* cause_string(const char* message) {
  size_t length = std::strlen(message);
  for (size_t cut = 0; cut < 4 && cut <= length; ++cut) {
    if (json_t* text = json_stringn(message, length - cut)) return text;
  }
  return json_string("");
}

// The empty answer of a successful "add" or "clear".
void send_empty(hv_io_t* io) {
  if (hv_io_alive(io) != 1) return;
  hv_io_realloc(io, 0);
  hv_reply(io);
}

void version_handler(void*, hv_io_t* io, json_t* params, int) {
  ErrorRecord record;
  clear_error(&record);
  json_object_clear(params);
  json_object_set_new(params, "version", json_string("1.0.0"));
  send_reply(io, params, record);
}

// Reads a request with `read`. When it is valid, empties the parameter
// object and returns true; otherwise answers the error and returns false.
template <typename Request>
bool read_request(hv_io_t* io, json_t* params,
                  bool (*read)(const json_t*, ErrorRecord*, Request*),
                  Request* request) {
  ErrorRecord record;
  clear_error(&record);
  if (!read(params, &record, request)) {
    send_reply(io, params, record);
    return false;
  }
  json_object_clear(params);
  return true;
}

void add_handler(void*, hv_io_t* io, json_t* params, int) {
  RecentItem item;
  if (!read_request(io, params, &read_add, &item)) return;
  // Answered first: the caller never waits for the disk.
  send_empty(io);
  store_enqueue(std::move(item));
}

void list_handler(void*, hv_io_t* io, json_t* params, int) {
  ListRequest request;
  if (!read_request(io, params, &read_list, &request)) return;
  ErrorRecord record;
  clear_error(&record);
  const std::string data = store_list(request, params);
  send_reply(io, params, record, &data);
}

void clear_handler(void*, hv_io_t* io, json_t* params, int) {
  ClearRequest request;
  if (!read_request(io, params, &read_clear, &request)) return;
  send_empty(io);
  store_clear(request);
}

// ---- dispatchers ------------------------------------------------------------

// Reads the request into its parameter object (the body when it is a JSON
// object, else an empty one, with the bus's members over it), empties the
// io and queues the request on `pool`, which then owns io, object and
// descriptor. With `by_user`, the requests that name one user run one at a
// time, so that a user whose database another program holds keeps at most
// one of the pool's threads waiting.
void queue(WorkerPool* pool, bool by_user, void* ctx, hv_handler_fn handler,
           hv_io_t* io, json_t* bus_params, int fd) {
  Json params = Json::adopt(json_loads(hv_io_read(io, 0), 0, nullptr));
  if (!json_is_object(params.get())) params = Json::adopt(json_object());
  if (json_is_object(bus_params)) json_object_update(params.get(), bus_params);
  json_decref(bus_params);
  hv_io_realloc(io, 0);
  if (pool == nullptr || !params) {
    hv_io_free(io);
    if (fd >= 0) close(fd);
    return;
  }
  int64_t key = WorkerPool::kNoKey;
  if (by_user &&
      (!user_number(json_object_get(params.get(), "user"), &key) || key < 0)) {
    key = WorkerPool::kNoKey;  // refused at once by the handler
  }
  pool->submit(handler, ctx, io, params.release(), fd, key);
}

void queue_read(void* ctx, hv_handler_fn handler, hv_io_t* io, json_t* params,
                int fd) {
  queue(g_read_pool, false, ctx, handler, io, params, fd);
}

void queue_list(void* ctx, hv_handler_fn handler, hv_io_t* io, json_t* params,
                int fd) {
  queue(g_read_pool, true, ctx, handler, io, params, fd);
}

void queue_write(void* ctx, hv_handler_fn handler, hv_io_t* io, json_t* params,
                 int fd) {
  queue(g_write_pool, false, ctx, handler, io, params, fd);
}

}  // namespace

std::vector<Endpoint> recent_endpoints() {
  const std::string add_options =
      section("[Options]:",
              {{"ip=(str)", "IPv4/IPv6 address"},
               {"app=(str)", "from which application (maximum 32 bytes)"},
               {"user=(int)", kUserLine},
               {"path=(str)", "file/folder accessed path (must)"},
               {"action=(int)", "action number (must)"},
               {"client_id=(str)", "client id (maximum 64 bytes)"},
               {"client_app=(str)", "client app (maximum 128 bytes)"},
               {"client_agent=(str)", "client agent (maximum 255 bytes)"}});
  const std::string add_metadata =
      section("[Metadata]:", {{"st_uid=(int)", "user ID of owner"},
                              {"st_gid=(int)", "group ID of owner"},
                              {"st_size=(int)", "total size, in bytes"},
                              {"st_mode=(int)", "protection"},
                              {"st_atime=(int)", "time of last access"},
                              {"st_ctime=(int)", "time of last status change"},
                              {"st_mtime=(int)", "time of last modification"},
                              {"display_path=(str)", "human readable path"}});
  return {
      {"version", &version_handler, &queue_read,
       usage("version.", "vimbrel.version")},
      {"add", &add_handler, &queue_write,
       usage("add recent log.", "vimbrel.add [Options] [Metadata]",
             add_options + add_metadata)},
      {"list", &list_handler, &queue_list,
       usage("list recent log.", "vimbrel.list [Options]",
             section("[Options]:",
                     {{"user=(int)", kUserLine},
                      {"type=(int)", "1: open, 2: delete, 3: upload"}}))},
      {"clear", &clear_handler, &queue_write,
       usage("clear recent log.", "vimbrel.clear [Options]",
             section("[Options]:",
                     {{"id=(int)", "recent id (clear by single recent)"},
                      {"user=(int)", kUserLine},
                      {"type=(int)",
                       "1: open, 2: delete, 3: upload (clear by type)"}}))},
  };
}

void set_request_pools(WorkerPool* read_pool, WorkerPool* write_pool) {
  g_read_pool = read_pool;
  g_write_pool = write_pool;
}

void send_reply(hv_io_t* io, json_t* reply, const ErrorRecord& record,
                const std::string* data) {
  if (hv_io_alive(io) != 1) return;  // The caller is gone.
  if (record.code != 0 && reply != nullptr) json_object_clear(reply);
  Json target =
      reply != nullptr ? Json::borrow(reply) : Json::adopt(json_object());
  json_object_set_new(target.get(), "error", json_integer(record.code));
  json_object_set_new(target.get(), "cause", cause_string(record.message));
  std::string text = json_text(target.get());
  if (data != nullptr && record.code == 0 && !text.empty()) {
    // The same text as printing an object whose first member is "data".
    text = "{\"data\":" + *data + (text.size() > 2 ? "," : "") + text.substr(1);
  }
  hv_io_realloc(io, 0);
  hv_io_write(io, text.data(), text.size());
  hv_reply(io);
}

}  // namespace orv::recent
