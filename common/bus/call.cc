// The caller side of the bus: one connection per call, one request frame
// out, one answer frame back.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/bus/frame.h"
#include "common/bus/io_internal.h"
#include "common/platform/fd.h"

namespace orv::bus {

namespace {

// The end of a call's time budget; none when the timeout is 0 or less.
class Deadline {
 public:
  explicit Deadline(int seconds)
      : end_(seconds > 0 ? now_ms() + int64_t{seconds} * 1000 : -1) {}
  // Milliseconds left, for poll: -1 without a limit.
  int remaining_ms() const {
    if (end_ < 0) return -1;
    return static_cast<int>(std::clamp<int64_t>(end_ - now_ms(), 0, INT_MAX));
  }

 private:
  int64_t end_;
};

// Waits for `events` on `fd` until the deadline. Returns HV_OK when ready,
// HV_TIMEOUT at the deadline, HV_UNAVAILABLE when poll fails.
int wait_for(int fd, short events, const Deadline& deadline) {
  while (true) {
    pollfd watch{fd, events, 0};
    int ready = poll(&watch, 1, deadline.remaining_ms());
    if (ready > 0) return HV_OK;
    if (ready == 0) return HV_TIMEOUT;
    if (errno != EINTR) return HV_UNAVAILABLE;
  }
}

int connect_error(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ECONNREFUSED:
      return HV_NO_SERVICE;  // No socket, or nobody listening on it.
    case EAGAIN:
    case EINPROGRESS:
    case ETIMEDOUT:
      return HV_TIMEOUT;  // The backlog stayed full until the deadline.
    default:
      return HV_UNAVAILABLE;
  }
}

// Result of send_request when the service hung up before taking the whole
// request: it may have refused the caller, so the answer is still read.
constexpr int kClosedEarly = -1;

int send_request(int sock, const char* method, size_t method_length,
                 const char* body, size_t body_length, int fd,
                 const Deadline& deadline) {
  RequestHeader header{kRequestMagic, fd >= 0 ? kFlagDescriptor : 0,
                       static_cast<uint32_t>(method_length), 0, body_length};
  iovec parts[3] = {{&header, sizeof(header)},
                    {const_cast<char*>(method), method_length},
                    {const_cast<char*>(body), body_length}};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 3;
  if (fd >= 0) {
    // The descriptor rides on the first bytes of the header.
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
  }
  size_t left = sizeof(header) + method_length + body_length;
  while (left > 0) {
    ssize_t sent = sendmsg(sock, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EPIPE || errno == ECONNRESET) return kClosedEarly;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return HV_UNAVAILABLE;
      int waited = wait_for(sock, POLLOUT, deadline);
      if (waited != HV_OK) return waited;
      continue;
    }
    message.msg_control = nullptr;
    message.msg_controllen = 0;
    left -= static_cast<size_t>(sent);
    skip_sent(&message, static_cast<size_t>(sent));
  }
  return HV_OK;
}

// Reads exactly `length` bytes. A connection that ends first means the
// service closed the call without (completely) answering.
int receive_exact(int sock, char* buffer, size_t length,
                  const Deadline& deadline) {
  while (length > 0) {
    ssize_t count = recv(sock, buffer, length, MSG_DONTWAIT);
    if (count > 0) {
      buffer += count;
      length -= static_cast<size_t>(count);
      continue;
    }
    if (count == 0) return HV_NO_ANSWER;
    if (errno == EINTR) continue;
    if (errno == ECONNRESET) return HV_NO_ANSWER;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return HV_UNAVAILABLE;
    int waited = wait_for(sock, POLLIN, deadline);
    if (waited != HV_OK) return waited;
  }
  return HV_OK;
}

int call(const char* service, const char* method, hv_io_t* io, int timeout,
         int fd) {
  if (!valid_service_name(service)) return HV_NO_SERVICE;
  if (method == nullptr) method = "";
  size_t method_length = std::strlen(method);
  size_t body_length = hv_io_size(io);
  if (method_length > kMaxMethod || body_length > HV_MAX_FRAME) {
    return HV_UNAVAILABLE;
  }
  Deadline deadline(timeout);
  ServiceAddress address;
  if (!address.resolve(service)) {
    return errno == ENOENT || errno == ENOTDIR ? HV_NO_SERVICE : HV_UNAVAILABLE;
  }
  // Closed on every path out.
  UniqueFd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (sock.get() < 0) return HV_UNAVAILABLE;
  // A Unix socket connects at once or not at all; EAGAIN means the
  // service's backlog is full, so try again until the deadline.
  while (connect(sock.get(), address.addr(), address.length()) != 0) {
    if (errno == EINTR) continue;
    if (errno == EISCONN) break;
    if (errno != EAGAIN) return connect_error(errno);
    int left = deadline.remaining_ms();
    if (left == 0) return HV_TIMEOUT;
    poll(nullptr, 0, left < 0 ? 10 : std::min(left, 10));
  }

  int sent = send_request(sock.get(), method, method_length, hv_io_read(io, 0),
                          body_length, fd, deadline);
  if (sent != HV_OK && sent != kClosedEarly) return sent;

  // The service needs a moment for any answer: wait before the first read,
  // which takes the header and, for small answers, the whole body.
  int waited = wait_for(sock.get(), POLLIN, deadline);
  if (waited != HV_OK) return waited;
  char first[sizeof(AnswerHeader) + 16384];
  ssize_t count;
  do {
    count = recv(sock.get(), first, sizeof(first), MSG_DONTWAIT);
  } while (count < 0 && errno == EINTR);
  if (count == 0 || (count < 0 && errno == ECONNRESET)) return HV_NO_ANSWER;
  if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
    return HV_UNAVAILABLE;
  }
  size_t have = count > 0 ? static_cast<size_t>(count) : 0;
  AnswerHeader header{};
  std::memcpy(&header, first, std::min(have, sizeof(header)));
  if (have < sizeof(header)) {
    int got = receive_exact(sock.get(), reinterpret_cast<char*>(&header) + have,
                            sizeof(header) - have, deadline);
    if (got != HV_OK) return got;
    have = sizeof(header);
  }
  if (header.magic != kAnswerMagic || header.result > HV_NO_ANSWER ||
      header.body_length > HV_MAX_FRAME ||
      have - sizeof(header) > header.body_length) {
    return HV_UNAVAILABLE;
  }
  if (header.result != HV_OK) return static_cast<int>(header.result);

  // Read into a fresh buffer, so that `io` keeps the request when the answer
  // does not arrive whole.
  hv_io_t answer;
  if (!io_reserve(&answer, header.body_length)) {
    std::free(answer.data);
    return HV_UNAVAILABLE;
  }
  size_t early = have - sizeof(header);
  std::memcpy(answer.data, first + sizeof(header), early);
  int got = receive_exact(sock.get(), answer.data + early,
                          header.body_length - early, deadline);
  if (got != HV_OK || io == nullptr) {
    std::free(answer.data);
    return got;
  }
  answer.size = header.body_length;
  answer.data[answer.size] = '\0';
  std::swap(io->data, answer.data);
  std::swap(io->size, answer.size);
  std::swap(io->capacity, answer.capacity);
  std::free(answer.data);
  return HV_OK;
}

}  // namespace

}  // namespace orv::bus

extern "C" int hv_call(const char* service, const char* method, hv_io_t* io,
                       int timeout, int fd) {
  return orv::bus::call(service, method, io, timeout, fd);
}
