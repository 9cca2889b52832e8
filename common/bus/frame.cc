#include "common/bus/frame.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/platform/root.h"

namespace orv::bus {

bool valid_request_header(const RequestHeader& header) {
  return header.magic == kRequestMagic &&
         (header.flags & ~kFlagDescriptor) == 0 && header.reserved == 0 &&
         header.method_length <= kMaxMethod &&
         header.body_length <= HV_MAX_FRAME;
}

bool valid_service_name(const char* name) {
  if (name == nullptr || name[0] == '\0' || name[0] == '.') return false;
  size_t length = 0;
  for (const char* p = name; *p != '\0'; ++p, ++length) {
    if (length >= 80) return false;
    char c = *p;
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
              (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string bus_directory() { return orv::root_path("/var/run/hvbus"); }

ServiceAddress::~ServiceAddress() {
  if (dir_fd_ >= 0) close(dir_fd_);
}

bool ServiceAddress::resolve(const char* name) {
  if (!valid_service_name(name)) {
    errno = EINVAL;
    return false;
  }
  addr_.sun_family = AF_UNIX;
  std::string path = bus_directory() + "/" + name;
  if (path.size() < sizeof(addr_.sun_path)) {
    std::memcpy(addr_.sun_path, path.c_str(), path.size() + 1);
  } else {
    // A deep ORV_ROOT: reach the directory through a descriptor instead.
    if (dir_fd_ < 0) {
      dir_fd_ = open(bus_directory().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (dir_fd_ < 0) return false;
    }
    std::snprintf(addr_.sun_path, sizeof(addr_.sun_path), "/proc/self/fd/%d/%s",
                  dir_fd_, name);
  }
  length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                   std::strlen(addr_.sun_path) + 1);
  return true;
}

void skip_sent(msghdr* message, size_t sent) {
  while (sent > 0 && message->msg_iovlen > 0) {
    iovec& first = message->msg_iov[0];
    if (sent < first.iov_len) {
      first.iov_base = static_cast<char*>(first.iov_base) + sent;
      first.iov_len -= sent;
      return;
    }
    sent -= first.iov_len;
    ++message->msg_iov;
    --message->msg_iovlen;
  }
}

}  // namespace orv::bus
