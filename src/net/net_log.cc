#include "net/net_log.h"

#include <cstdio>

namespace tidewell::net_internal {

// TEMPORARY until the process logger lands: warnings and worse to stderr.
bool NetLogEnabled(int level, const char*) { return level <= kLogWarning; }

void NetLog(int level, const char* component, const char* format, ...) {
  if (!NetLogEnabled(level, component)) return;
  va_list ap;
  va_start(ap, format);
  std::vfprintf(stderr, format, ap);
  va_end(ap);
}

}  // namespace tidewell::net_internal
