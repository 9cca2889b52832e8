// bus-test-service: a bus service with two endpoints for the bus tests.
//
//   bus-test-service NAME [UID...]
//
// Serves NAME, also admitting callers with the given uids. "echo" answers,
// from the service process itself, the body's object merged with the query
// string's parameters. "slow" answers from a handler process forked for the
// request, as orv-service does: it writes "handler PID" to standard error,
// then either ends without answering (die=true) or sleeps `sleep` seconds and
// answers {"slept": seconds}. Progress goes to standard error: "ready" once
// listening, "worker init", "stop signal N", "worker fini", "stopped".

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/bus/hvREST.h"
#include "common/bus/hvservice.h"
#include "common/error.h"
#include "common/json.h"
#include "common/reply.h"

namespace {

hv_service_t* g_service = nullptr;
hv_rest_t* g_rest = nullptr;

// The request body's object (an empty one when it is not an object) with the
// query parameters copied over it; the io is emptied for the reply.
orv::Json merged_parameters(hv_io_t* io, json_t* params) {
  orv::Json body = orv::Json::adopt(
      json_loadb(hv_io_read(io, 0), hv_io_size(io), 0, nullptr));
  if (!json_is_object(body.get())) body = orv::Json::adopt(json_object());
  json_object_update(body.get(), params);
  hv_io_realloc(io, 0);
  return body;
}

void echo(void* /*ctx*/, hv_io_t* io, json_t* params, int fd) {
  orv::ErrorRecord record;
  orv::clear_error(&record);
  orv::reply_json(io, fd, params, record);
}

void slow(void* /*ctx*/, hv_io_t* io, json_t* params, int fd) {
  std::fprintf(stderr, "handler %d\n", static_cast<int>(getpid()));
  if (orv::json_bool(json_object_get(params, "die"))) _exit(3);
  int64_t seconds = orv::json_int(json_object_get(params, "sleep"));
  if (seconds > 0) sleep(static_cast<unsigned>(seconds));
  orv::Json result = orv::Json::adopt(json_pack("{sI}", "slept", seconds));
  orv::ErrorRecord record;
  orv::clear_error(&record);
  orv::reply_json(io, fd, result.get(), record);
}

// Runs the handler in the service process.
void run_here(void* ctx, hv_handler_fn handler, hv_io_t* io, json_t* params,
              int fd) {
  orv::Json merged = merged_parameters(io, params);
  handler(ctx, io, merged.get(), fd);
  json_decref(params);
  hv_io_free(io);
  if (fd >= 0) close(fd);
}

// Runs the handler in a grandchild process that replies through its own
// copies of the connection and descriptor.
void run_forked(void* ctx, hv_handler_fn handler, hv_io_t* io, json_t* params,
                int fd) {
  pid_t child = fork();
  if (child == 0) {
    if (fork() == 0) {
      orv::Json merged = merged_parameters(io, params);
      handler(ctx, io, merged.get(), fd);
      _exit(0);
    }
    _exit(0);
  }
  if (child > 0) waitpid(child, nullptr, 0);
  json_decref(params);
  hv_io_free(io);
  if (fd >= 0) close(fd);
}

void on_request(const char* method, hv_io_t* io, int fd) {
  hv_rest_dispatch(g_rest, method, io, fd);
}

void on_stop(int signo) {
  std::fprintf(stderr, "stop signal %d\n", signo);
  hv_stop(g_service);
}

void worker_init(void*) { std::fprintf(stderr, "worker init\n"); }
void worker_fini(void*) { std::fprintf(stderr, "worker fini\n"); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bus-test-service NAME [UID...]\n");
    return 64;
  }
  g_rest = hv_rest_create();
  hv_rest_endpoint(g_rest, echo, "echo", run_here,
                   "echo the parameters\n\nUsage: echo?NAME=VALUE...\n");
  hv_rest_endpoint(g_rest, slow, "slow", run_forked,
                   "answer late, or never\n\nUsage: slow?sleep=SECONDS, "
                   "slow?die=true\n");
  hv_signal(SIGINT, on_stop);
  hv_signal(SIGTERM, on_stop);
  g_service = hv_create(argv[1], 2, 1, on_request);
  if (g_service == nullptr) {
    std::perror("hv_create");
    hv_rest_destroy(g_rest);
    return 1;
  }
  for (int i = 2; i < argc; ++i) {
    hv_admit_uid(g_service, static_cast<uid_t>(std::atoi(argv[i])));
  }
  hv_worker_init(g_service, worker_init, nullptr);
  hv_worker_fini(g_service, worker_fini, nullptr);
  std::fprintf(stderr, "ready\n");
  hv_start(g_service);
  hv_free(g_service);
  hv_rest_destroy(g_rest);
  std::fprintf(stderr, "stopped\n");
  return 0;
}
