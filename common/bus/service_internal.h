// The inside of a service, shared by its two halves: service.cc (the name,
// the listening socket, creation and release) and loop.cc (the loop that
// serves callers). Not for use outside common/bus.
#ifndef ORV_COMMON_BUS_SERVICE_INTERNAL_H_
#define ORV_COMMON_BUS_SERVICE_INTERNAL_H_

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/bus/frame.h"
#include "common/bus/hvservice.h"

namespace orv::bus {

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

// Where a connection's request frame stands after a read.
enum class Progress { kWaiting, kComplete, kDrop };

// Reads what has arrived of `pending`'s request frame from its connection
// without blocking. The first read also takes whatever follows the header,
// so a small request costs one read. kComplete: the method and the body are
// whole, a reply descriptor came exactly when the header announced one, and
// the method holds no NUL byte. kDrop: the caller hung up, sent a frame that
// is not ours or more descriptors than one; the connection is to be closed.
Progress read_request_frame(Pending& pending);

// Whether callers with peer uid `uid` are served: root, the service's own
// uid and the admitted ones.
bool admits(hv_service* service, uid_t uid);

}  // namespace orv::bus

struct hv_service {
  // Constant after hv_create.
  std::string name;
  std::string lock_path;  // ".NAME.lock" beside the socket
  orv::bus::ServiceAddress address;
  dev_t socket_dev = 0;
  ino_t socket_ino = 0;
  int listen_fd = -1;
  int wake[2] = {-1, -1};
  // Held open to be given up at the descriptor limit, so that a caller can
  // still be accepted to be refused. Used by the loop's thread.
  int reserve_fd = -1;
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

#endif  // ORV_COMMON_BUS_SERVICE_INTERNAL_H_
