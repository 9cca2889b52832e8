// Descriptors for every layer: the one owner of a descriptor, the one owner
// of a directory stream, and the one loop that writes a whole buffer. They
// live at the bottom, beside the platform seam, because the platform library
// and the bus below common/ need them as much as the daemons do.
#ifndef ORV_COMMON_PLATFORM_FD_H_
#define ORV_COMMON_PLATFORM_FD_H_

#include <dirent.h>

#include <chrono>
#include <cstddef>
#include <memory>

namespace orv {

// Owns one descriptor (-1: none) and closes it when dropped or reset.
// Movable, not copyable. Closing keeps errno as it was, so that a holder
// dropped on a failure path does not hide why the step failed.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  // Gives the descriptor up to the caller, leaving -1.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (if any) and holds `fd` instead.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

struct DirClose {
  void operator()(DIR* dir) const { closedir(dir); }
};
// Owns a directory stream, and with it the descriptor it was opened on.
using DirHandle = std::unique_ptr<DIR, DirClose>;

// Writes the `length` bytes at `bytes` to `fd`, again after a short or
// interrupted write. False when a write fails or writes nothing; errno then
// says why. Async-signal-safe.
bool write_all(int fd, const void* bytes, size_t length);

// Waits until `fd` has input (or its end) to read, again after an
// interrupted wait. False once `deadline` has passed or the wait fails.
bool wait_readable(int fd, std::chrono::steady_clock::time_point deadline);

}  // namespace orv

#endif  // ORV_COMMON_PLATFORM_FD_H_
