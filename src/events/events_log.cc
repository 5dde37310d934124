#include "events/events_log.h"

#include <cstdarg>
#include <cstdio>

namespace tidewell::evlog {

// Until the process logger is wired in: warnings and errors to stderr.
bool Enabled(Level level, const char*) { return level <= kWarning; }

void Write(Level, const char*, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::vfprintf(stderr, format, ap);
  va_end(ap);
}

}  // namespace tidewell::evlog
