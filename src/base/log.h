// The process-wide log writer.
//
// Every message names a level and a component ("worker_debug", ...). A
// per-component level table, read once from the log-level file, decides what
// is written; components missing from it write warnings and worse. Lines go
// to a log file that is rotated past 1048576 bytes, or to a standard stream.
// The line format is described in docs/log-format.md.
//
// Usage: the TW_LOG_* macros build the message prefix from a module name
// given as a string literal and the source line:
//
//   TW_LOG_ERROR("worker_debug", "worker", "upload failed, %d\n", rc);
//
// writes "Mar 07 14:02:11 [ERROR] worker(123): upload failed, -2\n".
// Formats are narrow printf formats; texts are UTF-8.
//
// Thread-safety: every function may be called from any thread at any time;
// one mutex serialises writes and rotation, so lines never interleave.
// Initialize is meant to run once before other threads start.

#ifndef TIDEWELL_BASE_LOG_H_
#define TIDEWELL_BASE_LOG_H_

#include <cstdarg>
#include <cstdio>

#include "base/ustring.h"

namespace tidewell {

// All state is static; there is no logger object.
class Logger {
 public:
  enum Type { SYSLOG_LOGGER = 0, STDOUT_LOGGER = 1, STDERR_LOGGER = 2, FILE_LOGGER = 3 };

  // Message levels; each message's text begins with its tag: "[CRIT]",
  // "[ERROR]", "[WARNING]", "[NOTE]", "[INFO]", "[DEBUG]".
  enum Level {
    L_EMERG = 0,
    L_ALERT = 1,
    L_CRIT = 2,
    L_ERR = 3,
    L_WARNING = 4,
    L_NOTICE = 5,
    L_INFO = 6,
    L_DEBUG = 7,
  };

  // Size past which the log file is rotated, in bytes written since the
  // file was opened (what it held before is not counted).
  static constexpr long kRotateSize = 1048576;

  Logger() = delete;

  // Sets the destination and reads the level table. `level_path` may be
  // empty; a missing or malformed level file only adds no entries. For
  // FILE_LOGGER, `log_path` is opened for appending (close-on-exec) and
  // `rotate_cnt` is the rotation depth: rotation keeps `log_path`_0 (newest)
  // to `log_path`_(rotate_cnt - 2). Returns 0, or -1 for FILE_LOGGER with an
  // empty path or a file that cannot be opened (messages then go to
  // standard error). Calling it again replaces the previous set-up.
  [[nodiscard]] static int Initialize(Type type, const ustring& log_path, const ustring& level_path,
                                      int rotate_cnt);

  // Writes one message, prefixed by the local time, when the component's
  // level admits it. `format` already holds the level tag, module and line
  // (see the TW_LOG_* macros). Errors are not reported.
  static void LogMsg(Level level, const ustring& component, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void LogMsg2(Level level, const ustring& component, const char* format, va_list args)
      __attribute__((format(printf, 3, 0)));

  // True when a message of `level` for `component` would be written; lets a
  // caller skip building expensive arguments.
  static bool IsEnabled(Level level, const ustring& component);

  // Rotates the log file now (a FILE_LOGGER only). Returns 0, or -1 when the
  // live file could not be moved aside or reopened; logging then tries to
  // reopen the file on each later message.
  static int Rotate();

  // For a file logger only: closes the file and goes back to standard error
  // without size accounting or rotation path.
  static void Destroy();
};

// Plain-function form for code outside classes: `component` as UTF-8.
void LogMSG_c(int level, const char* component, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

// Marks the descriptor behind `stream` close-on-exec, so child processes do
// not inherit it. Does nothing for a null stream or one without a descriptor.
void SetHandleFlagInheritFalse(FILE* stream);

}  // namespace tidewell

// Logging macros: `component` is a component name, `module` a string literal
// naming the source module, `fmt` a string-literal printf format.
#define TW_LOG_AT(level, tag, component, module, fmt, ...)                                \
  ::tidewell::Logger::LogMsg(level, component, tag " " module "(%d): " fmt, __LINE__ \
                                 __VA_OPT__(, ) __VA_ARGS__)
#define TW_LOG_CRIT(component, module, fmt, ...) \
  TW_LOG_AT(::tidewell::Logger::L_CRIT, "[CRIT]", component, module, fmt __VA_OPT__(, ) __VA_ARGS__)
#define TW_LOG_ERROR(component, module, fmt, ...) \
  TW_LOG_AT(::tidewell::Logger::L_ERR, "[ERROR]", component, module, fmt __VA_OPT__(, ) __VA_ARGS__)
#define TW_LOG_WARNING(component, module, fmt, ...) \
  TW_LOG_AT(::tidewell::Logger::L_WARNING, "[WARNING]", component, module, fmt __VA_OPT__(, ) __VA_ARGS__)
#define TW_LOG_NOTE(component, module, fmt, ...) \
  TW_LOG_AT(::tidewell::Logger::L_NOTICE, "[NOTE]", component, module, fmt __VA_OPT__(, ) __VA_ARGS__)
#define TW_LOG_INFO(component, module, fmt, ...) \
  TW_LOG_AT(::tidewell::Logger::L_INFO, "[INFO]", component, module, fmt __VA_OPT__(, ) __VA_ARGS__)
#define TW_LOG_DEBUG(component, module, fmt, ...) \
  TW_LOG_AT(::tidewell::Logger::L_DEBUG, "[DEBUG]", component, module, fmt __VA_OPT__(, ) __VA_ARGS__)

#endif  // TIDEWELL_BASE_LOG_H_
