#include "common/log.h"

#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace orv {

int log_level = 6;

namespace {

int g_log_fd = STDERR_FILENO;

// Formats the whole line into one buffer so that it reaches the descriptor in
// a single write and lines of different processes never interleave.
void write_line(LogKind kind, const char* location, const char* format,
                va_list args) {
  char stack[1024];
  std::string head = iso_timestamp(local_clock());
  int prefix = std::snprintf(
      stack, sizeof(stack), "%s [%c] orv-service(%d): %s", head.c_str(),
      static_cast<char>(kind), static_cast<int>(getpid()), location);
  if (prefix < 0) return;
  va_list copy;
  va_copy(copy, args);
  int body = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (body < 0) return;
  std::string line;
  line.resize(static_cast<size_t>(prefix) + static_cast<size_t>(body) + 1);
  std::snprintf(line.data(), line.size(), "%s", stack);
  std::vsnprintf(line.data() + prefix, static_cast<size_t>(body) + 1, format,
                 args);
  line.back() = '\n';
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = write(g_log_fd, line.data() + done, line.size() - done);
    if (n <= 0) return;  // Nothing sensible to do when logging itself fails.
    done += static_cast<size_t>(n);
  }
}

}  // namespace

int log_threshold(LogKind kind) {
  switch (kind) {
    case LogKind::kFatal:
      return 1;
    case LogKind::kError:
      return 3;
    case LogKind::kWarning:
      return 4;
    case LogKind::kInfo:
      return 6;
    case LogKind::kDebug:
      return 7;
    case LogKind::kTrace:
      return 8;
  }
  return 8;
}

bool log_enabled(LogKind kind) { return log_level >= log_threshold(kind); }

void set_log_fd(int fd) { g_log_fd = fd; }

void log_line(LogKind kind, const char* format, ...) {
  if (!log_enabled(kind)) return;
  va_list args;
  va_start(args, format);
  write_line(kind, "", format, args);
  va_end(args);
}

void log_debug(const char* unit, int line, const char* format, ...) {
  if (!log_enabled(LogKind::kDebug)) return;
  char location[256];
  std::snprintf(location, sizeof(location), "(%s:%d) ", unit, line);
  va_list args;
  va_start(args, format);
  write_line(LogKind::kDebug, location, format, args);
  va_end(args);
}

void log_trace(const char* unit, int line, const char* operation,
               const char* format, ...) {
  if (!log_enabled(LogKind::kTrace)) return;
  char location[320];
  std::snprintf(location, sizeof(location), "(%s:%d) %s() ", unit, line,
                operation);
  va_list args;
  va_start(args, format);
  write_line(LogKind::kTrace, location, format, args);
  va_end(args);
}

int64_t local_clock() {
  tzset();
  return static_cast<int64_t>(std::time(nullptr)) -
         static_cast<int64_t>(timezone);
}

std::string iso_timestamp(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm fields {};
  gmtime_r(&t, &fields);
  tzset();
  long minutes = timezone / 60;
  char sign = minutes < 0 ? '+' : '-';
  long hours = std::labs(minutes / 60);
  long rest = std::labs(minutes % 60);
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld%02ld",
                fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
                fields.tm_hour, fields.tm_min, fields.tm_sec, sign, hours,
                rest);
  return text;
}

}  // namespace orv
