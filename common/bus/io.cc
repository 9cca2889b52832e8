// io buffers and the answer side of a request.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "common/bus/frame.h"
#include "common/bus/io_internal.h"

namespace orv::bus {

namespace {

constexpr size_t kInitialCapacity = 64;
// An emptied buffer bigger than this gives its memory back: a handler that
// received a large body and answers with a small reply should not keep it.
constexpr size_t kKeepCapacity = 1 << 20;
// A caller that reads nothing of its answer for this long is given up.
constexpr int kStallMs = 30000;

}  // namespace

int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool io_reserve(hv_io_t* io, size_t size) {
  if (size >= SIZE_MAX / 2) return false;
  if (size < io->capacity) return true;
  size_t wanted = std::max(size + 1, io->capacity * 2);
  char* data = static_cast<char*>(std::realloc(io->data, wanted));
  if (data == nullptr && wanted > size + 1) {
    wanted = size + 1;
    data = static_cast<char*>(std::realloc(io->data, wanted));
  }
  if (data == nullptr) return false;
  io->data = data;
  io->capacity = wanted;
  return true;
}

void io_attach(hv_io_t* io, int conn) {
  io->conn = conn;
  io->answered = false;
}

bool send_answer(int conn, int result, const char* body, size_t length) {
  AnswerHeader header{kAnswerMagic, static_cast<uint32_t>(result), length};
  iovec parts[2] = {{&header, sizeof(header)},
                    {const_cast<char*>(body), length}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = length > 0 ? 2 : 1;
  size_t left = sizeof(header) + length;
  while (left > 0) {
    ssize_t sent = sendmsg(conn, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
      pollfd watch{conn, POLLOUT, 0};
      int ready = poll(&watch, 1, kStallMs);
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0 || (watch.revents & (POLLERR | POLLHUP | POLLNVAL))) {
        return false;  // The caller stopped reading or went away.
      }
      continue;
    }
    left -= static_cast<size_t>(sent);
    skip_sent(&message, static_cast<size_t>(sent));
  }
  return true;
}

int io_refuse(hv_io_t* io, int result) {
  if (io == nullptr || io->conn < 0 || io->answered) return -1;
  io->answered = true;
  return send_answer(io->conn, result, nullptr, 0) ? 0 : -1;
}

}  // namespace orv::bus

using orv::bus::io_reserve;

extern "C" {

hv_io_t* hv_io_create(void) {
  hv_io_t* io = new (std::nothrow) hv_io;
  if (io == nullptr) return nullptr;
  if (!io_reserve(io, orv::bus::kInitialCapacity - 1)) {
    delete io;
    return nullptr;
  }
  io->data[0] = '\0';
  return io;
}

int hv_refuse(hv_io_t* io, int result) {
  return orv::bus::io_refuse(io, result);
}

void hv_io_free(hv_io_t* io) {
  if (io == nullptr) return;
  if (io->conn >= 0) close(io->conn);
  std::free(io->data);
  delete io;
}

char* hv_io_read(hv_io_t* io, size_t offset) {
  static char empty[1];
  if (io == nullptr) return empty;
  return io->data + std::min(offset, io->size);
}

size_t hv_io_size(const hv_io_t* io) { return io == nullptr ? 0 : io->size; }

ssize_t hv_io_write(hv_io_t* io, const void* bytes, size_t length) {
  if (io == nullptr || (bytes == nullptr && length > 0)) return -1;
  if (length > SSIZE_MAX || length > SIZE_MAX / 2 - io->size) return -1;
  if (!io_reserve(io, io->size + length)) return -1;
  if (length > 0) std::memcpy(io->data + io->size, bytes, length);
  io->size += length;
  io->data[io->size] = '\0';
  return static_cast<ssize_t>(length);
}

int hv_io_realloc(hv_io_t* io, size_t size) {
  if (io == nullptr) return -1;
  if (size == 0 && io->capacity > orv::bus::kKeepCapacity) {
    char* small = static_cast<char*>(std::malloc(orv::bus::kInitialCapacity));
    if (small != nullptr) {
      std::free(io->data);
      io->data = small;
      io->capacity = orv::bus::kInitialCapacity;
    }
  }
  if (!io_reserve(io, size)) return -1;
  if (size > io->size) std::memset(io->data + io->size, 0, size - io->size);
  io->size = size;
  io->data[size] = '\0';
  return 0;
}

int hv_io_alive(hv_io_t* io) {
  if (io == nullptr) return 0;
  if (io->conn < 0) return 1;
  if (io->answered) return 0;
  // The caller never shuts down its side while it waits, so a hang-up seen
  // here means every copy of its end is closed: it gave up or died.
  pollfd watch{io->conn, POLLRDHUP, 0};
  int ready;
  do {
    ready = poll(&watch, 1, 0);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return 0;
  return (watch.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) ? 0 : 1;
}

int hv_io_socket(const hv_io_t* io) { return io == nullptr ? -1 : io->conn; }

int hv_reply(hv_io_t* io) {
  if (io == nullptr || io->conn < 0 || io->answered) return -1;
  io->answered = true;
  return orv::bus::send_answer(io->conn, HV_OK, io->data, io->size) ? 0 : -1;
}

}  // extern "C"
