#include "common/log.h"

#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/fork_gate.h"

namespace orv {

int log_level = 6;

namespace {

int g_log_fd = STDERR_FILENO;

// The runtime's `timezone` as prepare_signal_safe_log read it.
long g_signal_safe_zone = 0;

// Room for "YYYY-MM-DDThh:mm:ss+hhmm" and its NUL.
constexpr size_t kStampSize = 48;

char* put_digits(char* out, long value, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + digits;
}

// Formats `seconds` as "YYYY-MM-DDThh:mm:ss±hhmm" with the offset of `zone`
// (seconds west of UTC), by arithmetic alone, so that it may run in a signal
// handler. The calendar is the proleptic Gregorian one, as gmtime's.
size_t format_stamp(int64_t seconds, long zone, char* out) {
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // Days since 1970-01-01 to a civil date, counting in 400-year eras that
  // begin on 0000-03-01.
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t of_era = days - era * 146097;
  const int64_t year_of_era =
      (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
  const int64_t day_of_year =
      of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t shifted_month = (5 * day_of_year + 2) / 153;
  const int64_t day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const int64_t month =
      shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);

  char* p = out;
  const int64_t shown_year = year < 0 ? -year : year;
  int year_digits = 4;
  for (int64_t big = 10000; shown_year >= big && year_digits < 18; big *= 10) {
    ++year_digits;
  }
  if (year < 0) *p++ = '-';
  p = put_digits(p, static_cast<long>(shown_year), year_digits);
  *p++ = '-';
  p = put_digits(p, static_cast<long>(month), 2);
  *p++ = '-';
  p = put_digits(p, static_cast<long>(day), 2);
  *p++ = 'T';
  p = put_digits(p, static_cast<long>(rest / 3600), 2);
  *p++ = ':';
  p = put_digits(p, static_cast<long>(rest / 60 % 60), 2);
  *p++ = ':';
  p = put_digits(p, static_cast<long>(rest % 60), 2);
  long minutes = zone / 60;
  *p++ = minutes < 0 ? '+' : '-';
  long magnitude = minutes < 0 ? -minutes : minutes;
  p = put_digits(p, magnitude / 60 % 100, 2);
  p = put_digits(p, magnitude % 60, 2);
  *p = '\0';
  return static_cast<size_t>(p - out);
}

void write_whole(const char* bytes, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = write(g_log_fd, bytes + done, length - done);
    if (n <= 0) return;  // Nothing sensible to do when logging itself fails.
    done += static_cast<size_t>(n);
  }
}

// Formats the whole line into one buffer so that it reaches the descriptor in
// a single write and lines of different processes never interleave.
void write_line(LogKind kind, const char* location, const char* format,
                va_list args) {
  char stack[1024];
  std::string head;
  {
    // The time zone code locks: a daemon thread must not hold that lock
    // when a handler process is forked.
    ForkGuard guard;
    head = iso_timestamp(local_clock());
  }
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
  write_whole(line.data(), line.size());
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
  tzset();
  char text[kStampSize];
  format_stamp(seconds, timezone, text);
  return text;
}

SignalSafeText& SignalSafeText::text(const char* text) {
  size_t length = 0;
  if (text != nullptr) {
    while (text[length] != '\0') ++length;
  }
  return this->text(text, length);
}

SignalSafeText& SignalSafeText::text(const char* text, size_t length) {
  size_t room = kCapacity - size_;
  if (length > room) length = room;
  for (size_t i = 0; i < length; ++i) buffer_[size_ + i] = text[i];
  size_ += length;
  return *this;
}

SignalSafeText& SignalSafeText::number(long value, int width) {
  char digits[24];
  int count = 0;
  unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value)
                                      : static_cast<unsigned long>(value);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude > 0);
  if (value < 0) digits[count++] = '-';
  for (int pad = width - count; pad > 0; --pad) text(" ", 1);
  while (count > 0) text(&digits[--count], 1);
  return *this;
}

void prepare_signal_safe_log() {
  tzset();
  g_signal_safe_zone = timezone;
}

void log_signal_safe(LogKind kind, const SignalSafeText& text) {
  if (!log_enabled(kind)) return;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  char stamp[kStampSize];
  size_t stamp_length =
      format_stamp(static_cast<int64_t>(now.tv_sec) - g_signal_safe_zone,
                   g_signal_safe_zone, stamp);
  const char kind_text[] = {' ', '[', static_cast<char>(kind), ']', ' '};
  SignalSafeText line;
  line.text(stamp, stamp_length)
      .text(kind_text, sizeof(kind_text))
      .text("orv-service(")
      .number(getpid())
      .text("): ");
  // The newline always fits: the event text is cut instead.
  size_t room = SignalSafeText::kCapacity - line.size() - 1;
  line.text(text.data(), text.size() < room ? text.size() : room).text("\n");
  write_whole(line.data(), line.size());
}

}  // namespace orv
