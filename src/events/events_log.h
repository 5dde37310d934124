// Log helpers of the event queue: one place that binds its messages to the
// process logger. Messages carry the level tag, module and line themselves,
// as every log line of the daemon does.

#ifndef TIDEWELL_EVENTS_EVENTS_LOG_H_
#define TIDEWELL_EVENTS_EVENTS_LOG_H_

namespace tidewell::evlog {

enum Level { kError = 3, kWarning = 4, kInfo = 6, kDebug = 7 };

// True when a message of `level` for `component` would be written; lets hot
// paths skip building texts nobody reads.
bool Enabled(Level level, const char* component);

// Writes one printf-style message (UTF-8 format and arguments).
void Write(Level level, const char* component, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace tidewell::evlog

#define TW_EVLOG(level, component, ...)                                 \
  do {                                                                  \
    if (::tidewell::evlog::Enabled(::tidewell::evlog::level, component)) \
      ::tidewell::evlog::Write(::tidewell::evlog::level, component,     \
                               __VA_ARGS__);                            \
  } while (0)

#endif  // TIDEWELL_EVENTS_EVENTS_LOG_H_
