// A service's name and listening socket in the bus directory: creation,
// admission of callers and release.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "common/bus/frame.h"
#include "common/bus/service_internal.h"

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

// Opens and locks the name's lock file at `path`, creating it when missing.
// An ending instance removes the file under its lock, so a file that is no
// longer at the path once we hold its lock is not the name's lock: try again
// with the one there now. Returns the locked descriptor, or -1.
int lock_name(const std::string& path) {
  while (true) {
    int fd =
        open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return -1;
    int rc;
    while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    struct stat held;
    struct stat current;
    if (rc != 0 || fstat(fd, &held) != 0) {
      close(fd);
      return -1;
    }
    if (stat(path.c_str(), &current) == 0 && current.st_dev == held.st_dev &&
        current.st_ino == held.st_ino) {
      return fd;
    }
    close(fd);
  }
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

// A fresh name to bind under: "bind-" and 16 random hex digits. False when
// the kernel gives no random bytes.
bool random_bind_name(std::string* name) {
  unsigned char bytes[8];
  if (getrandom(bytes, sizeof(bytes), 0) !=
      static_cast<ssize_t>(sizeof(bytes))) {
    return false;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  *name = "bind-";
  for (unsigned char byte : bytes) {
    *name += kHex[byte >> 4];
    *name += kHex[byte & 15];
  }
  return true;
}

// Binds and listens on the service's socket, replacing a stale one. Runs
// under the name's lock file, so two instances cannot both see the old
// socket as stale and take the name one after the other.
//
// The socket is bound under a random name and then renamed to the service's
// name. Every account may read /proc/net/unix, which shows the path given to
// bind, and a service name may carry a login secret; a caller's connect finds
// the socket by the name it has now.
bool listen_on(hv_service* service) {
  const ServiceAddress& address = service->address;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  ServiceAddress bound;
  bool is_bound = false;
  std::string name;
  for (int attempt = 0; attempt < 4 && !is_bound; ++attempt) {
    if (!random_bind_name(&name) || !bound.resolve(name.c_str())) break;
    is_bound = bind(fd, bound.addr(), bound.length()) == 0;
    if (!is_bound && errno != EADDRINUSE) break;
  }
  // Anybody may connect; the peer check answers strangers with a refusal,
  // which tells them more than a connect error would.
  if (!is_bound || chmod(bound.path(), 0666) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    const int saved = errno;
    if (is_bound) unlink(bound.path());
    close(fd);
    errno = saved;
    return false;
  }
  // A live service keeps its name; a stale socket is replaced by the rename.
  struct stat st;
  if (socket_is_live(address)) {
    unlink(bound.path());
    close(fd);
    errno = EADDRINUSE;
    return false;
  }
  if (rename(bound.path(), address.path()) != 0 ||
      stat(address.path(), &st) != 0) {
    const int saved = errno;
    unlink(bound.path());
    close(fd);
    errno = saved;
    return false;
  }
  service->socket_dev = st.st_dev;
  service->socket_ino = st.st_ino;
  service->listen_fd = fd;
  return true;
}

}  // namespace

bool admits(hv_service* service, uid_t uid) {
  if (uid == 0 || uid == service->own_uid) return true;
  std::lock_guard<std::mutex> lock(service->admit_mutex);
  return std::find(service->admitted.begin(), service->admitted.end(), uid) !=
         service->admitted.end();
}

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
  service->reserve_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);

  service->lock_path = dir + "/." + name + ".lock";
  int lock = lock_name(service->lock_path);
  if (lock < 0) {
    hv_free(service.release());
    return nullptr;
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

void hv_free(hv_service_t* service) {
  if (service == nullptr) return;
  orv::bus::unregister_service(service);
  if (service->listen_fd >= 0) {
    // Remove the name only while it is still ours: the socket may have been
    // replaced by another instance after this one was taken for stale. The
    // name's lock keeps a starting instance from binding in between, and
    // goes with the socket.
    int lock = orv::bus::lock_name(service->lock_path);
    struct stat st;
    if (stat(service->address.path(), &st) == 0 &&
        st.st_dev == service->socket_dev && st.st_ino == service->socket_ino) {
      unlink(service->address.path());
      if (lock >= 0) unlink(service->lock_path.c_str());
    }
    if (lock >= 0) close(lock);
    close(service->listen_fd);
  }
  for (int fd : service->wake) {
    if (fd >= 0) close(fd);
  }
  if (service->reserve_fd >= 0) close(service->reserve_fd);
  delete service;  // Pending callers see their connection end.
}

}  // extern "C"
