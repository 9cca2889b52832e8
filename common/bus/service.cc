// The service side of the bus: the listening socket in the bus directory and
// the loop that accepts callers, reads their request frames without blocking
// and hands complete requests to the dispatch callback.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "common/bus/frame.h"
#include "common/bus/io_internal.h"

namespace orv::bus {

namespace {

// A caller that sends nothing for this long is dropped.
constexpr int64_t kIdleMs = 5000;
// How long accepting pauses when the process is out of descriptors, so that
// the loop does not spin on a listening socket it cannot accept from.
constexpr int64_t kAcceptPauseMs = 100;
// Bodies are read into buffers that grow with what actually arrived, so a
// header that announces a large body costs nothing until the bytes come.
constexpr size_t kReadChunk = 64 << 10;

enum class Progress { kWaiting, kComplete, kDrop };

// A connection whose request frame is still arriving.
struct Pending {
  Pending() = default;
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;
  ~Pending() {
    if (fd >= 0) close(fd);
    if (passed >= 0) close(passed);
    hv_io_free(io);
  }

  int fd = -1;
  int passed = -1;   // the reply descriptor, once received
  bool bad = false;  // unexpected descriptors or truncated control data
  int64_t deadline = 0;
  RequestHeader header{};
  size_t header_got = 0;
  std::string method;
  size_t method_got = 0;
  hv_io_t* io = nullptr;  // made when the header is complete
  size_t body_got = 0;
};

}  // namespace
}  // namespace orv::bus

struct hv_service {
  // Constant after hv_create.
  std::string name;
  orv::bus::ServiceAddress address;
  dev_t socket_dev = 0;
  ino_t socket_ino = 0;
  int listen_fd = -1;
  int wake[2] = {-1, -1};
  hv_dispatch_fn dispatch = nullptr;
  uid_t own_uid = 0;

  std::mutex admit_mutex;
  std::vector<uid_t> admitted;  // Guarded by admit_mutex.

  // Set before hv_start.
  hv_worker_fn init_fn = nullptr;
  void* init_arg = nullptr;
  hv_worker_fn fini_fn = nullptr;
  void* fini_arg = nullptr;

  std::atomic<bool> stop_requested{false};
  std::atomic<bool> looping{false};
  pthread_t loop_thread{};

  // Used by the loop's thread only.
  std::vector<std::unique_ptr<orv::bus::Pending>> pending;
  int64_t accept_paused_until = 0;
};

namespace orv::bus {

namespace {

// Services of this process. A process forked from a service (a request
// handler) must not keep the listening socket or other callers' connections
// open: a dead service's name would look live, and dropped callers would not
// see their connection end. The fork handlers close those copies in the child.
std::mutex g_registry_mutex;
std::vector<hv_service*> g_services;  // Guarded by g_registry_mutex.
std::once_flag g_atfork_once;

void before_fork() { g_registry_mutex.lock(); }
void after_fork_parent() { g_registry_mutex.unlock(); }
void after_fork_child() {
  for (hv_service* service : g_services) {
    if (service->listen_fd >= 0) close(service->listen_fd);
    service->listen_fd = -1;
    // The pending list is consistent only when the fork came from the loop's
    // own thread, i.e. from inside a dispatch callback.
    if (service->looping.load() &&
        pthread_equal(service->loop_thread, pthread_self())) {
      for (auto& pending : service->pending) {
        if (pending == nullptr) continue;  // Being dispatched right now.
        if (pending->fd >= 0) close(pending->fd);
        if (pending->passed >= 0) close(pending->passed);
        pending->fd = pending->passed = -1;
      }
    }
  }
  g_registry_mutex.unlock();
}

void register_service(hv_service* service) {
  std::call_once(g_atfork_once, [] {
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
  });
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  g_services.push_back(service);
}

void unregister_service(hv_service* service) {
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  g_services.erase(std::remove(g_services.begin(), g_services.end(), service),
                   g_services.end());
}

// Makes the bus directory, and its parents when missing. The directory is
// searchable but not listable by others: names carry login secrets.
bool make_bus_directory(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  for (size_t slash = dir.find('/', 1); slash != std::string::npos;
       slash = dir.find('/', slash + 1)) {
    std::string parent = dir.substr(0, slash);
    if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  if (mkdir(dir.c_str(), 0711) == 0) return chmod(dir.c_str(), 0711) == 0;
  return errno == EEXIST;
}

// Whether somebody answers a connect on `address`. A full backlog counts as
// live: a busy service is still the owner of its name.
bool socket_is_live(const ServiceAddress& address) {
  int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (probe < 0) return true;  // Cannot tell; do not take the name.
  int rc = connect(probe, address.addr(), address.length());
  bool live = rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
  close(probe);
  return live;
}

// Binds and listens on the service's socket, replacing a stale one. Runs
// under the name's lock file, so two instances cannot both see the old
// socket as stale and bind one after the other.
bool listen_on(hv_service* service) {
  const ServiceAddress& address = service->address;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  if (bind(fd, address.addr(), address.length()) != 0) {
    if (errno != EADDRINUSE || socket_is_live(address)) {
      close(fd);
      errno = EADDRINUSE;
      return false;
    }
    if ((unlink(address.path()) != 0 && errno != ENOENT) ||
        bind(fd, address.addr(), address.length()) != 0) {
      close(fd);
      return false;
    }
  }
  // Anybody may connect; the peer check answers strangers with a refusal,
  // which tells them more than a connect error would.
  struct stat st;
  if (chmod(address.path(), 0666) != 0 || stat(address.path(), &st) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    unlink(address.path());
    close(fd);
    return false;
  }
  service->socket_dev = st.st_dev;
  service->socket_ino = st.st_ino;
  service->listen_fd = fd;
  return true;
}

bool admits(hv_service* service, uid_t uid) {
  if (uid == 0 || uid == service->own_uid) return true;
  std::lock_guard<std::mutex> lock(service->admit_mutex);
  return std::find(service->admitted.begin(), service->admitted.end(), uid) !=
         service->admitted.end();
}

// One non-blocking read of the connection, keeping a descriptor that rides
// along. Only one descriptor per request is expected, on its first bytes.
ssize_t receive(Pending& pending, iovec* parts, size_t count) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = count;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  ssize_t got = recvmsg(pending.fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  if (got < 0) return got;
  if (message.msg_flags & MSG_CTRUNC) pending.bad = true;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
       c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    size_t fds = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < fds; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
      if (pending.passed < 0 && pending.header_got == 0) {
        pending.passed = fd;
      } else {
        close(fd);
        pending.bad = true;
      }
    }
  }
  return got;
}

// Files bytes that arrived together with the header into the method and the
// body. Returns false when they go past the end of the frame.
bool take(Pending& pending, const char* bytes, size_t length) {
  const RequestHeader& header = pending.header;
  size_t to_method =
      std::min(length, header.method_length - pending.method_got);
  std::memcpy(pending.method.data() + pending.method_got, bytes, to_method);
  pending.method_got += to_method;
  bytes += to_method;
  length -= to_method;
  if (length == 0) return true;
  if (length > header.body_length - pending.body_got ||
      !io_reserve(pending.io, pending.body_got + length)) {
    return false;
  }
  std::memcpy(pending.io->data + pending.body_got, bytes, length);
  pending.body_got += length;
  return true;
}

// Reads what has arrived of the request frame. The first read also takes
// whatever follows the header, so a small request costs one read.
Progress advance(Pending& pending) {
  RequestHeader& header = pending.header;
  char scratch[16384];
  while (true) {
    iovec parts[2];
    size_t count = 1;
    if (pending.header_got < sizeof(header)) {
      parts[0] = {reinterpret_cast<char*>(&header) + pending.header_got,
                  sizeof(header) - pending.header_got};
      parts[1] = {scratch, sizeof(scratch)};
      count = 2;
    } else if (pending.method_got < header.method_length) {
      parts[0] = {pending.method.data() + pending.method_got,
                  header.method_length - pending.method_got};
    } else if (pending.body_got < header.body_length) {
      size_t target = std::min<size_t>(
          header.body_length,
          std::max(pending.body_got + kReadChunk, pending.io->capacity - 1));
      if (!io_reserve(pending.io, target)) return Progress::kDrop;
      parts[0] = {pending.io->data + pending.body_got,
                  target - pending.body_got};
    } else {
      break;
    }
    ssize_t got = receive(pending, parts, count);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return Progress::kWaiting;
    }
    if (got <= 0 || pending.bad) return Progress::kDrop;
    pending.deadline = now_ms() + kIdleMs;
    size_t length = static_cast<size_t>(got);
    if (pending.header_got < sizeof(header)) {
      size_t to_header = std::min(length, sizeof(header) - pending.header_got);
      pending.header_got += to_header;
      if (pending.header_got < sizeof(header)) continue;
      if (!valid_request_header(header)) return Progress::kDrop;
      pending.method.resize(header.method_length);
      pending.io = hv_io_create();
      if (pending.io == nullptr ||
          !take(pending, scratch, length - to_header)) {
        return Progress::kDrop;
      }
    } else if (pending.method_got < header.method_length) {
      pending.method_got += length;
    } else {
      pending.body_got += length;
    }
  }
  bool wants_fd = (header.flags & kFlagDescriptor) != 0;
  if (wants_fd != (pending.passed >= 0)) return Progress::kDrop;
  if (pending.method.find('\0') != std::string::npos) return Progress::kDrop;
  return Progress::kComplete;
}

// Hands a complete request to the dispatch callback, which owns its io (and
// with it the connection) and its reply descriptor from then on.
void dispatch(hv_service* service, std::unique_ptr<Pending> pending) {
  hv_io_t* io = pending->io;
  pending->io = nullptr;
  io->size = pending->header.body_length;
  io->data[io->size] = '\0';
  io_attach(io, pending->fd);
  pending->fd = -1;
  int fd = pending->passed;
  pending->passed = -1;
  std::string method = std::move(pending->method);
  pending.reset();
  if (service->dispatch == nullptr) {
    io_refuse(io, HV_NO_METHOD);
    hv_io_free(io);
    if (fd >= 0) close(fd);
    return;
  }
  service->dispatch(method.c_str(), io, fd);
}

// Accepts one caller per round: callers usually come one at a time, and
// another one waiting keeps the listening socket readable for the next round.
void accept_caller(hv_service* service) {
  int fd;
  do {
    fd = accept4(service->listen_fd, nullptr, nullptr,
                 SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
        errno == ENOMEM) {
      service->accept_paused_until = now_ms() + kAcceptPauseMs;
    }
    return;
  }
  ucred peer{};
  socklen_t length = sizeof(peer);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
      !admits(service, peer.uid)) {
    AnswerHeader refusal{kAnswerMagic, HV_FORBIDDEN, 0};
    ssize_t ignored =
        send(fd, &refusal, sizeof(refusal), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;  // A fresh connection always has room for 16 bytes.
    close(fd);
    return;
  }
  auto pending = std::make_unique<Pending>();
  pending->fd = fd;
  pending->deadline = now_ms() + kIdleMs;
  // The request usually follows the connect at once: read it right away
  // instead of waiting for another round of poll.
  switch (advance(*pending)) {
    case Progress::kComplete:
      dispatch(service, std::move(pending));
      break;
    case Progress::kWaiting:
      service->pending.push_back(std::move(pending));
      break;
    case Progress::kDrop:
      break;
  }
}

void drain(int fd) {
  char bytes[64];
  while (read(fd, bytes, sizeof(bytes)) > 0) {
  }
}

// One round of the loop: wait for something to do, then do it.
void serve_once(hv_service* service, std::vector<pollfd>& fds) {
  int64_t now = now_ms();
  bool accepting = now >= service->accept_paused_until;
  fds.clear();
  fds.push_back({service->wake[0], POLLIN, 0});
  fds.push_back({signal_pipe(), POLLIN, 0});
  fds.push_back({accepting ? service->listen_fd : -1, POLLIN, 0});
  int64_t next = accepting ? INT64_MAX : service->accept_paused_until;
  for (const auto& pending : service->pending) {
    fds.push_back({pending->fd, POLLIN, 0});
    next = std::min(next, pending->deadline);
  }
  int timeout =
      next == INT64_MAX
          ? -1
          : static_cast<int>(std::clamp<int64_t>(next - now, 0, INT_MAX));
  int ready = poll(fds.data(), fds.size(), timeout);
  if (ready < 0) {
    if (errno != EINTR) poll(nullptr, 0, 10);  // Out of memory: breathe.
    return;
  }
  if (fds[0].revents != 0) drain(service->wake[0]);
  if (fds[1].revents != 0) run_queued_signals();
  if (service->stop_requested.load()) return;

  // Requests whose bytes arrived; new callers are accepted afterwards, so
  // the indexes below still match `fds`.
  size_t count = service->pending.size();
  for (size_t i = 0; i < count; ++i) {
    auto& pending = service->pending[i];
    if (fds[3 + i].revents == 0) continue;
    Progress progress = advance(*pending);
    if (progress == Progress::kComplete) {
      dispatch(service, std::move(pending));
    } else if (progress == Progress::kDrop) {
      pending.reset();
    }
    if (service->stop_requested.load()) break;
  }
  now = now_ms();
  for (auto& pending : service->pending) {
    if (pending != nullptr && pending->deadline <= now) pending.reset();
  }
  auto& list = service->pending;
  list.erase(std::remove(list.begin(), list.end(), nullptr), list.end());
  if (service->stop_requested.load()) return;
  if (fds[2].revents != 0) accept_caller(service);
}

}  // namespace

}  // namespace orv::bus

extern "C" {

hv_service_t* hv_create(const char* name, int workers, int flags,
                        hv_dispatch_fn dispatch) {
  using namespace orv::bus;
  (void)workers;
  (void)flags;
  if (!valid_service_name(name)) {
    errno = EINVAL;
    return nullptr;
  }
  std::string dir = bus_directory();
  if (!make_bus_directory(dir)) return nullptr;
  auto service = std::unique_ptr<hv_service>(new (std::nothrow) hv_service);
  if (service == nullptr) return nullptr;
  service->name = name;
  service->dispatch = dispatch;
  service->own_uid = geteuid();
  if (!service->address.resolve(name)) return nullptr;
  if (pipe2(service->wake, O_NONBLOCK | O_CLOEXEC) != 0) return nullptr;

  std::string lock_path = dir + "/." + name + ".lock";
  int lock = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) {
    hv_free(service.release());
    return nullptr;
  }
  while (flock(lock, LOCK_EX) != 0 && errno == EINTR) {
  }
  bool listening = listen_on(service.get());
  int saved = errno;
  close(lock);
  if (!listening) {
    hv_free(service.release());
    errno = saved;
    return nullptr;
  }

  // A caller that closes its reply descriptor or connection early must give
  // a write error, not end the service or its handler processes.
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) == 0 &&
      current.sa_handler == SIG_DFL) {
    signal(SIGPIPE, SIG_IGN);
  }
  register_service(service.get());
  return service.release();
}

int hv_admit_uid(hv_service_t* service, uid_t uid) {
  if (service == nullptr) return -1;
  std::lock_guard<std::mutex> lock(service->admit_mutex);
  service->admitted.push_back(uid);
  return 0;
}

int hv_worker_init(hv_service_t* service, hv_worker_fn callback, void* arg) {
  if (service == nullptr) return -1;
  service->init_fn = callback;
  service->init_arg = arg;
  return 0;
}

int hv_worker_fini(hv_service_t* service, hv_worker_fn callback, void* arg) {
  if (service == nullptr) return -1;
  service->fini_fn = callback;
  service->fini_arg = arg;
  return 0;
}

int hv_start(hv_service_t* service) {
  if (service == nullptr || service->listen_fd < 0) return -1;
  service->loop_thread = pthread_self();
  service->looping.store(true);
  if (service->init_fn != nullptr) service->init_fn(service->init_arg);
  std::vector<pollfd> fds;
  while (!service->stop_requested.load()) {
    orv::bus::serve_once(service, fds);
  }
  service->looping.store(false);
  if (service->fini_fn != nullptr) service->fini_fn(service->fini_arg);
  service->stop_requested.store(false);
  return 0;
}

void hv_stop(hv_service_t* service) {
  if (service == nullptr) return;
  service->stop_requested.store(true);
  char byte = 1;
  ssize_t ignored = write(service->wake[1], &byte, 1);
  (void)ignored;  // A full pipe wakes the loop just as well.
}

void hv_free(hv_service_t* service) {
  if (service == nullptr) return;
  orv::bus::unregister_service(service);
  if (service->listen_fd >= 0) {
    // Remove the name only while it is still ours: the socket may have been
    // replaced by another instance after this one was taken for stale.
    struct stat st;
    if (stat(service->address.path(), &st) == 0 &&
        st.st_dev == service->socket_dev && st.st_ino == service->socket_ino) {
      unlink(service->address.path());
    }
    close(service->listen_fd);
  }
  for (int fd : service->wake) {
    if (fd >= 0) close(fd);
  }
  delete service;  // Pending callers see their connection end.
}

}  // extern "C"
