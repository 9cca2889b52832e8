#include "common/platform/fd.h"

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

}  // namespace orv
