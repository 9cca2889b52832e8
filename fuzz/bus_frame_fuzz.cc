// The bus's request frame reader over a real socket: the input is the byte
// stream a caller sends, cut into writes of a size the input chooses, with
// reply descriptors riding on the first write when the input asks for them.
// The reader must end every stream as waiting, complete or dropped, and a
// complete frame must be exactly what its header announced.
//
// Input: one control byte, then the stream. Control bit 0 passes one
// descriptor with the first write, bit 1 a second one; bits 2-7 give the
// write size in steps of 7 bytes (0: the whole stream in one write).
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/bus/frame.h"
#include "common/bus/io_internal.h"
#include "common/bus/service_internal.h"
#include "fuzz/fuzz_util.h"

namespace {

using orv::bus::Pending;
using orv::bus::Progress;
using orv::fuzz::check;

// Sends `length` bytes, with `fds` descriptors as SCM_RIGHTS when non-zero.
// Returns the bytes taken (0 when the socket is full).
size_t send_part(int sock, const uint8_t* bytes, size_t length, int fds) {
  iovec part{const_cast<uint8_t*>(bytes), length};
  alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  int passed[2] = {-1, -1};
  if (fds > 0) {
    for (int i = 0; i < fds; ++i) {
      passed[i] = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(fds * sizeof(int));
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(fds * sizeof(int));
    std::memcpy(CMSG_DATA(c), passed, fds * sizeof(int));
  }
  ssize_t sent = sendmsg(sock, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
  for (int fd : passed) {
    if (fd >= 0) close(fd);  // The receiver holds its own copies now.
  }
  return sent > 0 ? static_cast<size_t>(sent) : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int fds = (data[0] & 1) + ((data[0] >> 1) & 1);
  const size_t step = (data[0] >> 2) * size_t{7};
  const uint8_t* stream = data + 1;
  size_t left = size - 1;

  int sv[2];
  check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0,
        "socketpair");
  Pending pending;
  pending.fd = sv[0];
  Progress progress = Progress::kWaiting;
  bool first = true;
  while (progress == Progress::kWaiting && (left > 0 || first)) {
    size_t length = step == 0 ? left : std::min(step, left);
    size_t sent = send_part(sv[1], stream, length, first ? fds : 0);
    if (first && sent == 0 && length > 0) break;
    first = false;
    stream += sent;
    left -= sent;
    progress = orv::bus::read_request_frame(pending);
  }
  // The caller is done: whatever was not yet a whole frame ends now.
  shutdown(sv[1], SHUT_WR);
  for (int round = 0; progress == Progress::kWaiting && round < 1000; ++round) {
    progress = orv::bus::read_request_frame(pending);
  }
  check(progress != Progress::kWaiting, "a hung-up stream still waits");
  if (progress == Progress::kComplete) {
    const orv::bus::RequestHeader& header = pending.header;
    check(orv::bus::valid_request_header(header), "invalid header accepted");
    check(pending.method.size() == header.method_length,
          "method shorter or longer than announced");
    check(pending.method.find('\0') == std::string::npos,
          "method with a NUL byte");
    check(pending.body_got == header.body_length,
          "body shorter or longer than announced");
    check(pending.io != nullptr && pending.io->capacity > header.body_length,
          "no room for the body's end mark");
    check(((header.flags & orv::bus::kFlagDescriptor) != 0) ==
              (pending.passed >= 0),
          "reply descriptor other than announced");
    check(header.body_length + header.method_length +
                  sizeof(orv::bus::RequestHeader) <=
              size - 1,
          "frame longer than the stream");
  }
  close(sv[1]);
  return 0;
}
