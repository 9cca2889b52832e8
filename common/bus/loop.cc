// The service loop: accepts callers, reads their request frames without
// blocking, and hands complete requests to the dispatch callback.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/bus/frame.h"
#include "common/bus/io_internal.h"
#include "common/bus/service_internal.h"

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

}  // namespace

Progress read_request_frame(Pending& pending) {
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

namespace {

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

int accept_one(int listen_fd) {
  int fd;
  do {
    fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Answers a fresh connection with `result` and no body, and closes it.
void refuse(int fd, int result) {
  AnswerHeader refusal{kAnswerMagic, static_cast<uint32_t>(result), 0};
  ssize_t ignored =
      send(fd, &refusal, sizeof(refusal), MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)ignored;  // A fresh connection always has room for 16 bytes.
  close(fd);
}

// Out of descriptors, a caller cannot be accepted and would wait in the
// backlog until one is freed, which callers that send slowly can put off for
// as long as they like. The reserve descriptor makes room to accept one
// caller and tell it at once that the service is unavailable. True when a
// caller was refused so.
bool refuse_for_want_of_descriptors(hv_service* service) {
  if (service->reserve_fd >= 0) close(service->reserve_fd);
  service->reserve_fd = -1;
  int fd = accept_one(service->listen_fd);
  if (fd >= 0) refuse(fd, HV_UNAVAILABLE);
  service->reserve_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  return fd >= 0;
}

// Accepts one caller per round: callers usually come one at a time, and
// another one waiting keeps the listening socket readable for the next round.
void accept_caller(hv_service* service) {
  int fd = accept_one(service->listen_fd);
  if (fd < 0) {
    const int error = errno;
    if ((error == EMFILE || error == ENFILE) &&
        refuse_for_want_of_descriptors(service)) {
      return;
    }
    if (error == EMFILE || error == ENFILE || error == ENOBUFS ||
        error == ENOMEM) {
      service->accept_paused_until = now_ms() + kAcceptPauseMs;
    }
    return;
  }
  ucred peer{};
  socklen_t length = sizeof(peer);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
      !admits(service, peer.uid)) {
    refuse(fd, HV_FORBIDDEN);
    return;
  }
  auto pending = std::make_unique<Pending>();
  pending->fd = fd;
  pending->deadline = now_ms() + kIdleMs;
  // The request usually follows the connect at once: read it right away
  // instead of waiting for another round of poll.
  switch (read_request_frame(*pending)) {
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
    Progress progress = read_request_frame(*pending);
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

}  // extern "C"
