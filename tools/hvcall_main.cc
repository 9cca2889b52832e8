// hvcall: calls a method of a bus service from the shell.
//
//   hvcall [-t SECONDS] [-o] SERVICE METHOD [JSON]
//
// Sends JSON (the argument, or standard input when it is absent or "-") and
// prints the reply body on standard output. With -o, hvcall's own standard
// output is handed to the service as the reply descriptor, so what the
// service writes there appears as it is. The exit status is the call's result
// (0 to 6); usage errors exit with 64.

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/bus/hvservice.h"
#include "common/platform/fd.h"

namespace {

constexpr int kUsageError = 64;
constexpr int kDefaultTimeout = 300;

int usage(const char* problem) {
  std::fprintf(stderr,
               "hvcall: %s\nusage: hvcall [-t SECONDS] [-o] SERVICE METHOD "
               "[JSON]\n",
               problem);
  return kUsageError;
}

const char* describe(int result) {
  switch (result) {
    case HV_TIMEOUT:
      return "no reply within the timeout";
    case HV_NO_SERVICE:
      return "no such service";
    case HV_UNAVAILABLE:
      return "service unavailable";
    case HV_NO_METHOD:
      return "refused: no such method";
    case HV_FORBIDDEN:
      return "refused: not permitted";
    case HV_NO_ANSWER:
      return "service closed the call without answering";
    default:
      return "failed";
  }
}

bool read_all(int fd, hv_io_t* io) {
  char chunk[65536];
  while (true) {
    ssize_t count = read(fd, chunk, sizeof(chunk));
    if (count == 0) return true;
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (hv_io_write(io, chunk, static_cast<size_t>(count)) != count) {
      return false;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  int timeout = kDefaultTimeout;
  bool reply_to_stdout = false;
  int option;
  opterr = 0;
  // "+": options end at the first operand, so a JSON text such as "-" or
  // one starting with "-" is never taken for an option.
  while ((option = getopt(argc, argv, "+t:o")) != -1) {
    switch (option) {
      case 't': {
        char* end = nullptr;
        errno = 0;
        long seconds = std::strtol(optarg, &end, 10);
        if (errno != 0 || end == optarg || *end != '\0' || seconds < 0 ||
            seconds > INT_MAX) {
          return usage("-t wants a number of seconds");
        }
        timeout = static_cast<int>(seconds);
        break;
      }
      case 'o':
        reply_to_stdout = true;
        break;
      default:
        return usage(optopt == 't' ? "-t wants a number of seconds"
                                   : "unknown option");
    }
  }
  int operands = argc - optind;
  if (operands < 2 || operands > 3) {
    return usage("SERVICE and METHOD are required");
  }
  const char* service = argv[optind];
  const char* method = argv[optind + 1];
  const char* body = operands == 3 ? argv[optind + 2] : "-";

  hv_io_t* io = hv_io_create();
  if (io == nullptr) {
    std::fprintf(stderr, "hvcall: out of memory\n");
    return HV_UNAVAILABLE;
  }
  bool read_ok = std::strcmp(body, "-") == 0
                     ? read_all(STDIN_FILENO, io)
                     : hv_io_write(io, body, std::strlen(body)) >= 0;
  if (!read_ok) {
    std::fprintf(stderr, "hvcall: cannot read the request body: %s\n",
                 std::strerror(errno));
    hv_io_free(io);
    return HV_UNAVAILABLE;
  }

  int result = hv_call(service, method, io, timeout,
                       reply_to_stdout ? STDOUT_FILENO : -1);
  if (result == HV_OK) {
    if (!orv::write_all(STDOUT_FILENO, hv_io_read(io, 0), hv_io_size(io))) {
      std::fprintf(stderr, "hvcall: write(stdout): %s\n", std::strerror(errno));
    }
  } else {
    std::fprintf(stderr, "hvcall: %s %s: %s\n", service, method,
                 describe(result));
  }
  hv_io_free(io);
  return result;
}
