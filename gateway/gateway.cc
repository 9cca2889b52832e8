#include "gateway/gateway.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/bus/hvservice.h"
#include "common/bus/io_handle.h"
#include "common/json.h"
#include "common/platform/fd.h"
#include "common/platform/root.h"
#include "common/platform/session_store.h"
#include "common/platform/tovix.h"
#include "gateway/request.h"

namespace orv {

namespace {

constexpr char kHeader[] =
    "Content-Type: application/json; charset=utf-8\r\n\r\n";
constexpr char kDelegationTool[] = "/sbin/deputor";
constexpr char kPackageConfig[] = "/etc/config/tpkg.conf";
constexpr char kDaemonProgram[] = "/usr/sbin/orv-service";
constexpr useconds_t kStartWait = 500000;
constexpr int kReplyPipeBytes = 1 << 20;
// The web server hands the whole body over at once (it takes it from the
// client before it runs the program), so a body that takes longer is cut
// short.
constexpr std::chrono::seconds kBodyWait(10);

// Prints the gateway's own error reply; the exit status stays 0, as for a
// forwarded request.
int error_reply(int code, const char* message) {
  Json reply = Json::adopt(
      json_pack("{si ss}", "error_code", code, "error_message", message));
  char* text = json_dumps(reply.get(), kJsonFlags);
  std::fputs(kHeader, stdout);
  if (text != nullptr) std::fputs(text, stdout);
  std::fflush(stdout);
  std::free(text);
  return 0;
}

// Whether the role delegation tool, when there is one, reports `user` as
// delegated: its output begins with "delegated". A tool that fails or prints
// anything else leaves the right off.
bool is_delegated(const char* user) {
  std::string tool = root_path(kDelegationTool);
  struct stat status;
  if (stat(tool.c_str(), &status) != 0) return false;
  IoHandle out(hv_io_create());
  if (!out) return false;
  std::string name(user);
  char* argv[] = {tool.data(),
                  const_cast<char*>("--is_delegated"),
                  const_cast<char*>("-r"),
                  const_cast<char*>("1"),
                  const_cast<char*>("-u"),
                  name.data(),
                  nullptr};
  hv_io_execv(nullptr, out.get(), nullptr, argv);
  return hv_io_size(out.get()) >= 9 &&
         std::memcmp(hv_io_read(out.get(), 0), "delegated", 9) == 0;
}

// Reads exactly `length` bytes of the request body from standard input into
// `body`, and never more: the web server may keep the input open after the
// body, so its end is not waited for. False when the input ends, or the whole
// body has not come within kBodyWait.
bool read_body(int64_t length, std::string* body) {
  body->clear();
  const size_t want = static_cast<size_t>(length);
  body->reserve(want);
  const auto deadline = std::chrono::steady_clock::now() + kBodyWait;
  char chunk[65536];
  while (body->size() < want) {
    if (!wait_readable(STDIN_FILENO, deadline)) return false;
    const ssize_t count =
        read(STDIN_FILENO, chunk, std::min(sizeof(chunk), want - body->size()));
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (count <= 0) return false;
    body->append(chunk, static_cast<size_t>(count));
  }
  return true;
}

// A refusal made before the request's body is read. A body within the limit
// is read first and dropped: the web server writes it into a pipe to this
// program, and a reply given before it is taken may close that pipe under the
// server's write, which fcgiwrap then answers with 502 in place of the reply.
// A larger body is refused at once, unread.
int refuse(int code, int64_t length) {
  if (length > 0 && length <= kMaxBody) {
    std::string dropped;
    read_body(length, &dropped);
  }
  return error_reply(code, "");
}

// Sets the caller's "__SESSION__" object in `params` (an object; any other
// value goes unchanged). When the object cannot be made (no REMOTE_ADDR), a
// "__SESSION__" the caller sent is removed rather than passed on as if the
// gateway had vouched for it.
void add_session_object(json_t* params, const tovix_session_t& session,
                        bool is_admin, bool is_system_management) {
  if (!json_is_object(params)) return;
  json_t* object = json_pack(
      "{ss ss sb ss? ss? ss? sb sb sb sb sb sb sb}", "ip",
      std::getenv("REMOTE_ADDR"), "user", session.user, "administrators",
      is_admin, "client_id", std::getenv("HTTP_CLIENT_ID"), "client_app",
      std::getenv("HTTP_CLIENT_APP"), "client_agent",
      std::getenv("HTTP_CLIENT_AGENT"), "is_system_management",
      is_system_management, "is_application_management", 0,
      "is_access_management", 0, "is_system_monitoring", 0,
      "is_user_group_management", 0, "is_shared_folder_management", 0,
      "is_backup_management", 0);
  if (object != nullptr) {
    json_object_set_new(params, "__SESSION__", object);
  } else {
    json_object_del(params, "__SESSION__");
  }
}

// Starts the session's daemon from the application's package folder, detached
// from this request: its standard streams on /dev/null (so that it never holds
// the web server's response open), a session of its own, no descriptor of
// ours, default signal handling, and this process's environment. The session
// id goes in the environment, not on the command line, which every account
// can read; the cookie, which holds it too, is left out. Returns after giving
// the daemon half a second to come up.
void start_daemon(const std::string& sid) {
  char folder[4096];
  Get_Private_Profile_String("Orvane6", "Install_Path", "", folder,
                             sizeof(folder), root_path(kPackageConfig).c_str());
  std::string program = std::string(folder) + kDaemonProgram;
  char* argv[] = {program.data(), nullptr};
  pid_t pid = fork();
  if (pid < 0) return;  // The second call is still made, and fails.
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open("/dev/null", O_WRONLY);
    if (in < 0 || out < 0 || dup2(in, STDIN_FILENO) < 0 ||
        dup2(out, STDOUT_FILENO) < 0 || dup2(out, STDERR_FILENO) < 0) {
      _exit(1);
    }
    close_range(3, ~0U, 0);
    setsid();
    // The web server may have left signals ignored or blocked, which a
    // program inherits across exec.
    for (int signo = 1; signo < NSIG; ++signo) signal(signo, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    unsetenv("HTTP_COOKIE");
    if (setenv(platform::kSessionIdVariable, sid.c_str(), 1) != 0) _exit(1);
    execvp(program.c_str(), argv);
    _exit(1);
  }
  usleep(kStartWait);
}

// Forwards `params` to the session's service and answers with the outcome.
int forward(const std::string& sid, const std::string& method, Json params,
            int timeout) {
  const std::string service = service_name_of(sid);
  IoHandle io(hv_io_create());
  char* text = json_dumps(params.get(), kJsonFlags | JSON_ENCODE_ANY);
  params.reset();
  bool written = io && text != nullptr &&
                 hv_io_write(io.get(), text, std::strlen(text)) >= 0;
  std::free(text);
  if (!written) return error_reply(503, "service unavailable");

  std::fprintf(stderr, "service = %s, method = %s\n", service.c_str(),
               method.c_str());
  // The service writes its reply to standard output in one piece. When that
  // is the web server's pipe, a larger pipe takes a page of entries at once,
  // rather than the service waiting for the server to read each 64 KiB.
  fcntl(STDOUT_FILENO, F_SETPIPE_SZ, kReplyPipeBytes);
  int result = hv_call(service.c_str(), method.c_str(), io.get(), timeout,
                       STDOUT_FILENO);
  if (result == HV_NO_SERVICE) {
    start_daemon(sid);
    result = hv_call(service.c_str(), method.c_str(), io.get(), timeout,
                     STDOUT_FILENO);
  }
  switch (result) {
    case HV_OK:
      // The service wrote its reply to standard output, and answers nothing
      // over the bus; only a reply of the bus itself ("help") comes back
      // here, and is printed as the service would have.
      if (hv_io_size(io.get()) > 0) {
        std::fputs(kHeader, stdout);
        std::fwrite(hv_io_read(io.get(), 0), 1, hv_io_size(io.get()), stdout);
        std::fflush(stdout);
      }
      return 0;
    case HV_TIMEOUT:
      return error_reply(408, "timeout");
    case HV_NO_SERVICE:
    case HV_UNAVAILABLE:
    case HV_NO_ANSWER:
      return error_reply(503, "service unavailable");
    case HV_NO_METHOD:
    case HV_FORBIDDEN:
      return error_reply(403, "reject");
    default:
      return 0;
  }
}

}  // namespace

int gateway_main(int call_timeout) {
  // The delegation tool is waited for; an inherited "ignore" would have the
  // kernel reap it first.
  signal(SIGCHLD, SIG_DFL);
  const int64_t length = body_length(std::getenv("CONTENT_LENGTH"));

  const char* cookie = std::getenv("HTTP_COOKIE");
  const char* scheme = std::getenv("REQUEST_SCHEME");
  std::string sid;
  if (cookie != nullptr && scheme != nullptr) {
    sid = session_id_from_cookie(cookie);
  }
  tovix_session_t session{};
  if (sid.empty() || auth_get_session(sid.c_str(), 1, &session) != 0) {
    return refuse(401, length);
  }

  const char* location = std::getenv("SCRIPT_URL");
  const char* method = std::getenv("REQUEST_METHOD");
  if (location == nullptr || method == nullptr ||
      !inside_application(location) || !is_method_token(method) || length < 0) {
    return refuse(400, length);
  }
  if (length > kMaxBody) return error_reply(413, "request too large");

  const bool is_system_management = is_delegated(session.user);
  const bool is_admin = User_Belongs_To_Group(session.user, "administrators");
  const std::string text = method_text(method, location);

  Json params;
  std::string body;
  const bool whole = read_body(length, &body);
  if (is_get(method)) {
    const char* query = std::getenv("QUERY_STRING");
    params = parse_query_string(query != nullptr ? query : "");
  } else if (whole) {
    params = parse_body(body);
  } else {
    return error_reply(400, "");  // A body cut short is no request.
  }
  add_session_object(params.get(), session, is_admin, is_system_management);
  return forward(sid, text, std::move(params), call_timeout);
}

}  // namespace orv
