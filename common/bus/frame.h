// The wire format of the bus and the addressing of services.
//
// A call is one connection to the service's socket. The caller sends one
// request frame: a RequestHeader, the method text and the body. When the
// caller passes a reply descriptor, it rides as SCM_RIGHTS data on the first
// bytes of the header. The service answers with one answer frame: an
// AnswerHeader and the answer body. Both ends run on the same machine, so the
// integers travel in native byte order.
#ifndef ORV_COMMON_BUS_FRAME_H_
#define ORV_COMMON_BUS_FRAME_H_

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/bus/hvservice.h"

namespace orv::bus {

constexpr uint32_t kRequestMagic = 0x31515648;  // "HVQ1"
constexpr uint32_t kAnswerMagic = 0x31415648;   // "HVA1"

// Request flag: a reply descriptor accompanies the request.
constexpr uint32_t kFlagDescriptor = 1;

// Longest method text accepted. Method texts name an endpoint and maybe a
// query string; anything longer is not a request of ours.
constexpr size_t kMaxMethod = 4096;

struct RequestHeader {
  uint32_t magic;
  uint32_t flags;
  uint32_t method_length;  // bytes of method text, no NUL
  uint32_t reserved;       // 0
  uint64_t body_length;    // at most HV_MAX_FRAME
};
static_assert(sizeof(RequestHeader) == 24);

struct AnswerHeader {
  uint32_t magic;
  uint32_t result;       // one of the HV_* results; 0 carries the reply body
  uint64_t body_length;  // at most HV_MAX_FRAME
};
static_assert(sizeof(AnswerHeader) == 16);

// Whether `header` is one a service may accept: right magic, known flags,
// method and body within their limits.
bool valid_request_header(const RequestHeader& header);

// Service names: 1 to 80 characters of A-Za-z0-9._- not starting with ".".
// Names become file names in the bus directory, so nothing else may pass.
bool valid_service_name(const char* name);

// "$ORV_ROOT/var/run/hvbus".
std::string bus_directory();

// Moves the iovecs of `message` past `sent` bytes that went out, so that a
// partial sendmsg can be resumed with the rest.
void skip_sent(msghdr* message, size_t sent);

// The socket address of one service in the bus directory. The full path may
// not fit in sun_path when ORV_ROOT is deep; the address then goes through an
// O_PATH descriptor of the bus directory ("/proc/self/fd/N/NAME"), which this
// object owns and which must stay open while the address is used.
class ServiceAddress {
 public:
  ServiceAddress() = default;
  ServiceAddress(const ServiceAddress&) = delete;
  ServiceAddress& operator=(const ServiceAddress&) = delete;
  ~ServiceAddress();

  // Builds the address of service `name`. Returns false (with errno set) for
  // an invalid name or when the bus directory cannot be opened.
  bool resolve(const char* name);

  const sockaddr* addr() const {
    return reinterpret_cast<const sockaddr*>(&addr_);
  }
  socklen_t length() const { return length_; }
  // The path to use with unlink, stat and chmod.
  const char* path() const { return addr_.sun_path; }

 private:
  sockaddr_un addr_{};
  socklen_t length_ = 0;
  int dir_fd_ = -1;
};

}  // namespace orv::bus

#endif  // ORV_COMMON_BUS_FRAME_H_
