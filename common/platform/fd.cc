#include "common/platform/fd.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace orv {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    const int saved = errno;
    close(fd_);
    errno = saved;
  }
  fd_ = fd;
}

bool write_all(int fd, const void* bytes, size_t length) {
  const char* next = static_cast<const char*>(bytes);
  while (length > 0) {
    const ssize_t wrote = write(fd, next, length);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    next += wrote;
    length -= static_cast<size_t>(wrote);
  }
  return true;
}

bool wait_readable(int fd, std::chrono::steady_clock::time_point deadline) {
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd ready{fd, POLLIN, 0};
    const int count = poll(&ready, 1, static_cast<int>(left.count()));
    if (count < 0 && errno == EINTR) continue;
    return count > 0;
  }
}

}  // namespace orv
