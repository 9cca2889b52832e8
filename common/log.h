// Log lines of orv-service: one line per event on standard error, written
// whole in one write, gated by the process-wide log level.
//
// Layout: "<iso_timestamp> [K] orv-service(<pid>): <event text>\n" where K is
// the kind's letter. Debug lines put "(<unit>:<line>) " before the text, trace
// lines "(<unit>:<line>) <operation>() ".
#ifndef ORV_COMMON_LOG_H_
#define ORV_COMMON_LOG_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace orv {

// The process-wide log level, 6 at start. Written only while the options are
// read, before any request is served; read everywhere without locking.
extern int log_level;

// The kinds of line, by letter, and the level from which each is written.
enum class LogKind : char {
  kFatal = 'F',    // from 1
  kError = 'E',    // from 3
  kWarning = 'W',  // from 4
  kInfo = 'I',     // from 6
  kDebug = 'D',    // from 7
  kTrace = 'T',    // from 8
};

// Lowest log level at which lines of `kind` are written.
int log_threshold(LogKind kind);

// True when lines of `kind` are written at the current level.
bool log_enabled(LogKind kind);

// Writes one line of `kind` with the printf-style event text (no trailing
// newline: the line's newline is added). Never fails visibly.
void log_line(LogKind kind, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// A debug line with its source location: "(unit:line) " and the text.
void log_debug(const char* unit, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// A trace line: "(unit:line) operation() " and the text.
void log_trace(const char* unit, int line, const char* operation,
               const char* format, ...) __attribute__((format(printf, 4, 5)));

// A fixed buffer that texts and numbers are appended to without allocating,
// locking or calling the C library: what a signal handler may build a log
// line in. What does not fit is cut off.
class SignalSafeText {
 public:
  static constexpr size_t kCapacity = 1024;

  SignalSafeText& text(const char* text);
  SignalSafeText& text(const char* text, size_t length);
  // The decimal number, right-aligned with spaces to `width` characters.
  SignalSafeText& number(long value, int width = 0);
  void clear() { size_ = 0; }

  const char* data() const { return buffer_; }
  size_t size() const { return size_; }

 private:
  char buffer_[kCapacity];
  size_t size_ = 0;
};

// Reads what log_signal_safe needs of the C library's state: the time zone's
// offset. Call before a signal handler may log, on an ordinary thread.
void prepare_signal_safe_log();

// Async-signal-safe log_line: writes one line of `kind` with the event text
// `text`, whole in one write, gated by the level like any line. The time
// stamp comes from the clock and the offset read by prepare_signal_safe_log,
// without the C library's time functions, which take a lock that the
// interrupted code may hold.
void log_signal_safe(LogKind kind, const SignalSafeText& text);

// The sink that log lines are written to; standard error unless a test
// redirects it. Used by tests.
void set_log_fd(int fd);

// Seconds of local standard time: the system clock (UTC seconds) minus the
// runtime's `timezone` (seconds west of UTC, refreshed by tzset on each call).
// Daylight saving time is never applied.
int64_t local_clock();

// Formats `seconds` (from local_clock) as "YYYY-MM-DDThh:mm:ss±hhmm", the
// fields taken as UTC and the offset from the runtime's `timezone`: "+" east
// of UTC, "-" otherwise (so UTC itself reads "-0000").
std::string iso_timestamp(int64_t seconds);

}  // namespace orv

#endif  // ORV_COMMON_LOG_H_
