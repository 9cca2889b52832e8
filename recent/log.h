// Log lines of vimbrel: one line per event on standard error, written whole
// in one write, in the layout
//
//   "YYYY-MM-DD hh:mm:ss [vimbrel] [PID=<pid>] [T=<thread>] [<LEVEL>] <text>\n"
//
// stamped with the local time of the moment, the process id and the calling
// thread's pthread id. vimbrel has no log level: every line is written.
#ifndef ORV_RECENT_LOG_H_
#define ORV_RECENT_LOG_H_

namespace orv::recent {

// The level word of a line.
enum class Level { kInfo, kWarn, kError };

// Writes one line with the printf-style text (the newline is added). Any
// thread; never fails visibly.
void log(Level level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace orv::recent

#endif  // ORV_RECENT_LOG_H_
