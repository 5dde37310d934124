#include "net/net_log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace tidewell::net_internal {

const ustring& ChannelComponent() {
  static const ustring kName("channel_debug");
  return kName;
}

const ustring& ProtoComponent() {
  static const ustring kName("proto_common_debug");
  return kName;
}

const ustring& ConnectionComponent() {
  static const ustring kName("connection_debug");
  return kName;
}

}  // namespace tidewell::net_internal

namespace tidewell {

namespace {

const char* Tag(Logger::Level level) {
  switch (level) {
    case Logger::L_EMERG:
    case Logger::L_ALERT:
    case Logger::L_CRIT:
      return "[CRIT]";
    case Logger::L_ERR:
      return "[ERROR]";
    case Logger::L_WARNING:
      return "[WARNING]";
    case Logger::L_NOTICE:
      return "[NOTE]";
    case Logger::L_INFO:
      return "[INFO]";
    case Logger::L_DEBUG:
      return "[DEBUG]";
  }
  return "[DEBUG]";
}

}  // namespace

void LogModule(Logger::Level level, const ustring& component, const char* module, int line, const char* fmt, ...) {
  if (!Logger::IsEnabled(level, component)) return;
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, fmt, args);
  va_end(args);
  Logger::LogMsg(level, component, "%s %s(%d): %s", Tag(level), module, line, text.c_str());
}

}  // namespace tidewell
