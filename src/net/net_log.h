// Log helpers of the wire layer (value streams, channels, protocol).
//
// Each message starts with the level tag, the module name and the source
// line, as every log line of the daemon does; the helpers add the line
// number and the trailing newline so call sites carry only the text.

#ifndef TIDEWELL_NET_NET_LOG_H_
#define TIDEWELL_NET_NET_LOG_H_

#include <cstdarg>

namespace tidewell::net_internal {

// Levels as the logger numbers them.
inline constexpr int kLogErr = 3;
inline constexpr int kLogWarning = 4;
inline constexpr int kLogInfo = 6;
inline constexpr int kLogDebug = 7;

// Writes one printf-style message for `component` at `level`.
void NetLog(int level, const char* component, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// True when a message of `level` for `component` would be written; lets hot
// paths skip formatting.
bool NetLogEnabled(int level, const char* component);

}  // namespace tidewell::net_internal

#define TW_NET_LOG_(level, tag, component, module, fmt, ...)                      \
  ::tidewell::net_internal::NetLog(level, component, tag " " module "(%d): " fmt "\n", \
                                   __LINE__ __VA_OPT__(, ) __VA_ARGS__)

// Channel messages ("channel_debug").
#define CH_LOG_WARN(fmt, ...) \
  TW_NET_LOG_(::tidewell::net_internal::kLogWarning, "[WARNING]", "channel_debug", "channel", fmt __VA_OPT__(, ) __VA_ARGS__)
#define CH_LOG_DEBUG(fmt, ...) \
  TW_NET_LOG_(::tidewell::net_internal::kLogDebug, "[DEBUG]", "channel_debug", "channel", fmt __VA_OPT__(, ) __VA_ARGS__)

// Value-stream messages; they share the channel's component.
#define ST_LOG_ERR(fmt, ...) \
  TW_NET_LOG_(::tidewell::net_internal::kLogErr, "[ERROR]", "channel_debug", "stream", fmt __VA_OPT__(, ) __VA_ARGS__)
#define ST_LOG_WARN(fmt, ...) \
  TW_NET_LOG_(::tidewell::net_internal::kLogWarning, "[WARNING]", "channel_debug", "stream", fmt __VA_OPT__(, ) __VA_ARGS__)
#define ST_LOG_INFO(fmt, ...) \
  TW_NET_LOG_(::tidewell::net_internal::kLogInfo, "[INFO]", "channel_debug", "stream", fmt __VA_OPT__(, ) __VA_ARGS__)
#define ST_LOG_DEBUG(fmt, ...) \
  TW_NET_LOG_(::tidewell::net_internal::kLogDebug, "[DEBUG]", "channel_debug", "stream", fmt __VA_OPT__(, ) __VA_ARGS__)
#define ST_DEBUG_ENABLED() \
  ::tidewell::net_internal::NetLogEnabled(::tidewell::net_internal::kLogDebug, "channel_debug")

// Protocol messages ("proto_common_debug").
#define PR_LOG_ERR(fmt, ...) \
  TW_NET_LOG_(::tidewell::net_internal::kLogErr, "[ERROR]", "proto_common_debug", "proto-common", fmt __VA_OPT__(, ) __VA_ARGS__)
#define PR_LOG_INFO(fmt, ...) \
  TW_NET_LOG_(::tidewell::net_internal::kLogInfo, "[INFO]", "proto_common_debug", "proto-common", fmt __VA_OPT__(, ) __VA_ARGS__)
#define PR_LOG_DEBUG(fmt, ...) \
  TW_NET_LOG_(::tidewell::net_internal::kLogDebug, "[DEBUG]", "proto_common_debug", "proto-common", fmt __VA_OPT__(, ) __VA_ARGS__)

#endif  // TIDEWELL_NET_NET_LOG_H_
