#include "service/daemon.h"

#include <execinfo.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "cache/cache_folder.h"
#include "cache/cache_store.h"
#include "common/bus/hvservice.h"
#include "common/bus_service.h"
#include "common/error.h"
#include "common/json.h"
#include "common/log.h"
#include "common/platform/root.h"
#include "common/platform/session_store.h"
#include "common/worker_pool.h"
#include "order/collation.h"
#include "query/file_type.h"
#include "query/params.h"
#include "service/dispatch.h"
#include "session/session.h"
#include "watch/folder_watcher.h"

namespace orv {

namespace {

// Process-wide state of the daemon, in the order it is created.
int g_pid_fd = -1;
int g_pid_dir = -1;  // the folder of the pid files
std::string g_pid_path;
std::unique_ptr<WorkerPool> g_pool;

constexpr int kBacktraceFrames = 50;
constexpr char kPidFolder[] = "/var/run/orv";

// strsignal's texts, read before a crash: strsignal itself may allocate.
char g_signal_texts[NSIG][64];

// ---- steps that join as the rest of the daemon is built ---------------------

// Removes the cache files of sessions that are no longer live.
void purge_ended_session_caches() {
  CacheStore::purge(default_volume(), &is_live_session);
}

// Makes the folder that holds the sessions' cache files.
void prepare_cache_folder() { CacheStore::prepare_directory(default_volume()); }

// Loads, once in the daemon, what every handler process would otherwise load
// for itself after the fork: the collation data of the default language, the
// transliterator registry, the matching tables of the parameter patterns,
// SQLite's global state, and the bindings of the library calls every request
// makes (the account database's modules were loaded when the session user's
// identity was resolved). Handlers inherit all of it with the daemon's
// memory, which takes milliseconds off every request.
void warm_handler_caches() {
  ErrorRecord ignored;
  clear_error(&ignored);
  Json request = Json::adopt(json_loads(
      R"({"uuid":"0f8fad5b-d9cb-469f-a165-70867728950e","limit":500})", 0,
      nullptr));
  std::string uuid;
  parse_uuid(request.get(), &ignored, &uuid);
  for (const auto& [pattern, text] :
       {std::pair{ParamPattern::kDate, ">=1310572800"},
        std::pair{ParamPattern::kSize, "<=1024K"},
        std::pair{ParamPattern::kType, "extname:txt"},
        std::pair{ParamPattern::kOrder, "name:asc"}}) {
    match_pattern(pattern, text, nullptr);
  }
  parse_lang(request.get(), &ignored);  // The default language, as handlers.
  make_collator(&ignored);
  make_fold(&ignored);
  json_text(request.get());
  sqlite3_initialize();
}

// Waits (a second at most: a pool whose thread could not be made runs no
// job) until the pool's thread has run a first job, so that its start-up is
// over before the first handler is forked. A sanitized build's allocator,
// unlike the C library's, can be left locked in a child forked while another
// thread starts.
void await_first_job(WorkerPool* pool) {
  static std::atomic<bool> ran;
  ran = false;
  pool->submit([](void*, hv_io_t*, json_t*, int) { ran = true; }, nullptr,
               nullptr, nullptr, -1);
  for (int i = 0; i < 1000 && !ran; ++i) usleep(1000);
}

// Reads, before any crash, what the crash callback needs and may not make in
// a signal handler.
void prepare_crash_report() {
  // The first backtrace loads the unwinder, which allocates: it must not
  // happen for the first time inside a crash.
  void* frame[1];
  backtrace(frame, 1);
  prepare_signal_safe_log();
  for (int signo = 1; signo < NSIG; ++signo) {
    const char* text = strsignal(signo);
    std::snprintf(g_signal_texts[signo], sizeof(g_signal_texts[signo]), "%s",
                  text != nullptr ? text : "");
  }
}

// ---- options and the session id --------------------------------------------

// Overwrites `text` in place with 'x's. A session id is a login secret, and
// every account can read a process's command line; the text in the
// process's memory is what they read.
void hide_text(char* text) {
  if (text != nullptr) std::memset(text, 'x', std::strlen(text));
}

// The session id handed over in the environment (the gateway's way), taken
// out of it: the daemon's handlers and the tools they run see none of it.
void take_session_from_environment() {
  char* sid = std::getenv(platform::kSessionIdVariable);
  if (sid == nullptr || *sid == '\0') return;
  session().set_session(sid);
  hide_text(sid);
  unsetenv(platform::kSessionIdVariable);
}

// The -l argument read leniently: its leading decimal number, 0 when there
// is none; at most 8.
int read_level(const char* text) {
  long long value = std::strtoll(text, nullptr, 10);
  if (value > 8) return 8;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// Reads the options in command-line order. Returns true when -c asked to
// end at once.
bool read_options(int argc, char** argv) {
  static const struct option kLongOptions[] = {
      {"clear", no_argument, nullptr, 'c'},
      {"sid", required_argument, nullptr, 's'},
      {"level", required_argument, nullptr, 'l'},
      {nullptr, 0, nullptr, 0},
  };
  optind = 0;  // A full reset of getopt's state.
  int option;
  while ((option = getopt_long(argc, argv, ":cs:l:", kLongOptions, nullptr)) !=
         -1) {
    switch (option) {
      case 'c':
        purge_ended_session_caches();
        return true;  // Options after -c are not read.
      case 's':
        session().set_session(optarg);
        hide_text(optarg);
        break;
      case 'l':
        log_level = read_level(optarg);
        if (log_level == 8) {
          prepare_crash_report();
          hv_signal(SIGSEGV, &on_crash_signal);
        }
        break;
      default:
        break;  // Unknown options and missing arguments are ignored.
    }
  }
  return false;
}

}  // namespace

int service_main(int argc, char** argv, std::span<const Endpoint> extra) {
  Session& current = session();
  log_level = 6;
  if (read_options(argc, argv)) return 0;
  if (current.sid().empty()) take_session_from_environment();

  const std::string name = current.service_name();
  if (!current.session_alive()) {
    log_line(LogKind::kError, "[%s] %s is not alive.", name.c_str(),
             current.sid().c_str());
    return 1;
  }
  if (!current.user_resolved()) {
    // Serving anyway would run every handler as root.
    log_line(LogKind::kError, "[%s] user of session %s cannot be resolved: %s.",
             name.c_str(), current.sid().c_str(),
             current.unresolved_reason().c_str());
    return 1;
  }
  acquire_pid_file();

  log_line(LogKind::kInfo, "[%s] startup service", name.c_str());
  BusService service{name, endpoint_table(), &worker_start, &worker_stop, {}};
  service.endpoints.insert(service.endpoints.end(), extra.begin(), extra.end());
  // Handler processes run as the session user and call this daemon's own
  // endpoints.
  service.admitted_uid = current.uid();
  if (!run_bus_service(service)) {
    log_line(LogKind::kError, "[%s] create service fail.", name.c_str());
    release_pid_file();
    return 1;
  }
  purge_ended_session_caches();
  release_pid_file();
  log_line(LogKind::kInfo, "[%s] shutdown service", name.c_str());
  return 0;
}

void acquire_pid_file() {
  const std::string& name = session().service_name();
  // The folder is root's alone: the file names carry session ids.
  const std::string folder = root_path(kPidFolder);
  g_pid_path = folder + "/" + name + ".pid";
  if (mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) {
    g_pid_dir =
        open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  struct stat st {};
  if (g_pid_dir >= 0 &&
      (fstat(g_pid_dir, &st) != 0 || st.st_uid != geteuid() ||
       ((st.st_mode & 077) != 0 && fchmod(g_pid_dir, 0700) != 0))) {
    close(g_pid_dir);
    g_pid_dir = -1;
  }
  if (g_pid_dir >= 0) {
    g_pid_fd = openat(g_pid_dir, (name + ".pid").c_str(),
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  }
  if (g_pid_fd < 0) {
    log_line(LogKind::kError, "[%s] create pid file %s fail.", name.c_str(),
             g_pid_path.c_str());
    exit(1);
  }
  if (flock(g_pid_fd, LOCK_EX | LOCK_NB) != 0) {
    char running[32] = {};
    ssize_t n = pread(g_pid_fd, running, sizeof(running) - 1, 0);
    running[n > 0 ? n : 0] = '\0';
    log_line(LogKind::kError, "[%s] daemon is running (%s).", name.c_str(),
             running);
    exit(1);
  }
  std::string pid = std::to_string(getpid());
  if (ftruncate(g_pid_fd, 0) != 0 ||
      pwrite(g_pid_fd, pid.data(), pid.size(), 0) !=
          static_cast<ssize_t>(pid.size())) {
    // The lock is what keeps a second daemon out; the text only informs.
    log_line(LogKind::kWarning, "[%s] write pid file %s: %s", name.c_str(),
             g_pid_path.c_str(), std::strerror(errno));
  }
}

void release_pid_file() {
  if (g_pid_fd < 0) return;
  unlinkat(g_pid_dir, (session().service_name() + ".pid").c_str(), 0);
  flock(g_pid_fd, LOCK_UN);
  close(g_pid_fd);
  close(g_pid_dir);
  g_pid_fd = -1;
  g_pid_dir = -1;
}

void worker_start(void*) {
  log_debug("service", __LINE__, "[%s] worker start",
            session().service_name().c_str());
  // No tally of SQLite's memory: it would take a mutex on every allocation
  // of every handler's cache writes and reads. Set before any thread of the
  // daemon uses SQLite; refused, harmlessly, once SQLite has started.
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  // The watchers spend the session user's inotify budget, not root's.
  start_folder_watchers(session().identity());
  // Pages of a slot report its watcher's change mark, as their handler
  // process was forked with it.
  set_change_probe(&folder_changed);
  build_file_type_index();
  prepare_cache_folder();
  warm_handler_caches();
  g_pool = std::make_unique<WorkerPool>(1);
  await_first_job(g_pool.get());
  set_watch_pool(g_pool.get());
}

void worker_stop(void*) {
  log_debug("service", __LINE__, "[%s] worker stop",
            session().service_name().c_str());
  stop_folder_watchers();
  set_watch_pool(nullptr);
  if (g_pool) g_pool->stop();
  g_pool.reset();
}

void on_crash_signal(int signo) {
  // Only async-signal-safe calls: the crash may have come inside malloc or
  // with another lock of the C library held. The symbol texts go through a
  // pipe, so that each line is still written whole.
  void* frames[kBacktraceFrames];
  int count = backtrace(frames, kBacktraceFrames);
  int ends[2];
  if (count > 1 && pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
    // Texts that do not fit into the pipe are lost rather than waited for.
    backtrace_symbols_fd(frames, count, ends[1]);
    close(ends[1]);
    SignalSafeText line;
    line.text(signo > 0 && signo < NSIG ? g_signal_texts[signo] : "")
        .text(" (pid ")
        .number(getpid())
        .text(") ")
        .text(program_invocation_name)
        .text(":");
    log_signal_safe(LogKind::kFatal, line);
    // The first two frames are this callback and its caller.
    int frame = 0;
    line.clear();
    char chunk[4096];
    ssize_t got;
    while ((got = read(ends[0], chunk, sizeof(chunk))) > 0) {
      for (ssize_t i = 0; i < got; ++i) {
        if (chunk[i] != '\n') {
          if (frame >= 2) {
            if (line.size() == 0) line.number(frame - 1, 2).text(". ");
            line.text(&chunk[i], 1);
          }
          continue;
        }
        if (frame >= 2) log_signal_safe(LogKind::kFatal, line);
        line.clear();
        ++frame;
      }
    }
    close(ends[0]);
  }
  _exit(1);
}

}  // namespace orv
