// Logging under a module name chosen at run time. The connection code runs
// on behalf of different tasks and channel kinds, each with its own module
// name in the log lines ("syncer", "worker", "tunnel_channel", ...); the
// TW_LOG_* macros need the name as a literal, this helper does not.

#ifndef TIDEWELL_NET_MODULE_LOG_H_
#define TIDEWELL_NET_MODULE_LOG_H_

#include "base/log.h"
#include "base/ustring.h"

namespace tidewell {

// Writes "<tag> <module>(<line>): <text>" for `level`; `fmt` carries its
// own trailing newline. Thread-safe.
void LogModule(Logger::Level level, const ustring& component, const char* module, int line, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));

}  // namespace tidewell

#define TW_MOD_LOG(level, component, module, fmt, ...) \
  ::tidewell::LogModule(::tidewell::Logger::level, component, module, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

#endif  // TIDEWELL_NET_MODULE_LOG_H_
