#include "recent/log.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

namespace orv::recent {

namespace {

const char* level_word(Level level) {
  switch (level) {
    case Level::kInfo:
      return "INFO";
    case Level::kWarn:
      return "WARN";
    case Level::kError:
      return "ERROR";
  }
  return "INFO";
}

}  // namespace

void log(Level level, const char* format, ...) {
  time_t now = std::time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  char head[160];
  int prefix = std::snprintf(
      head, sizeof(head),
      "%04d-%02d-%02d %02d:%02d:%02d [vimbrel] [PID=%d] [T=%lu] [%s] ",
      local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
      local.tm_min, local.tm_sec, static_cast<int>(getpid()),
      static_cast<unsigned long>(pthread_self()), level_word(level));
  if (prefix < 0) return;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int body = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (body < 0) {
    va_end(args);
    return;
  }
  // One buffer and one write, so that lines of different threads never
  // interleave.
  std::string line(head, static_cast<size_t>(prefix));
  line.resize(line.size() + static_cast<size_t>(body) + 1);
  std::vsnprintf(line.data() + prefix, static_cast<size_t>(body) + 1, format,
                 args);
  va_end(args);
  line.back() = '\n';
  const char* bytes = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(STDERR_FILENO, bytes, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // Nothing sensible to do when logging itself fails.
    bytes += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace orv::recent
