// Log helpers of the net layer: value streams, channels, protocol,
// connections and the tunnel client, plus logging under a module name chosen
// at run time.
//
// The channel, the value stream and the tunnel client log under the
// component "channel_debug", the protocol messages under
// "proto_common_debug", the connection pool under "connection_debug". The
// helpers add the module name, the source line and the trailing newline, so
// call sites carry only the text.

#ifndef TIDEWELL_NET_NET_LOG_H_
#define TIDEWELL_NET_NET_LOG_H_

#include "base/log.h"
#include "base/ustring.h"

namespace tidewell::net_internal {

// Component names, built once (log calls would otherwise allocate them).
const ustring& ChannelComponent();
const ustring& ProtoComponent();
const ustring& ConnectionComponent();

}  // namespace tidewell::net_internal

namespace tidewell {

// Writes "<tag> <module>(<line>): <text>" for `level`; `fmt` carries its
// own trailing newline. Thread-safe. The connection code runs on behalf of
// different tasks and channel kinds, each with its own module name in the
// log lines ("syncer", "worker", "tunnel_channel", ...); the TW_LOG_*
// macros need the name as a literal, this does not.
void LogModule(Logger::Level level, const ustring& component, const char* module, int line, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));

}  // namespace tidewell

#define TW_MOD_LOG(level, component, module, fmt, ...) \
  ::tidewell::LogModule(::tidewell::Logger::level, component, module, __LINE__, fmt __VA_OPT__(, ) __VA_ARGS__)

#define TW_NET_CH_ ::tidewell::net_internal::ChannelComponent()
#define TW_NET_PR_ ::tidewell::net_internal::ProtoComponent()

#define CH_LOG_WARN(fmt, ...) TW_LOG_WARNING(TW_NET_CH_, "channel", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define CH_LOG_DEBUG(fmt, ...) TW_LOG_DEBUG(TW_NET_CH_, "channel", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)

#define ST_LOG_ERR(fmt, ...) TW_LOG_ERROR(TW_NET_CH_, "stream", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define ST_LOG_WARN(fmt, ...) TW_LOG_WARNING(TW_NET_CH_, "stream", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define ST_LOG_INFO(fmt, ...) TW_LOG_INFO(TW_NET_CH_, "stream", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define ST_LOG_DEBUG(fmt, ...) TW_LOG_DEBUG(TW_NET_CH_, "stream", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define ST_DEBUG_ENABLED() ::tidewell::Logger::IsEnabled(::tidewell::Logger::L_DEBUG, TW_NET_CH_)

#define PR_LOG_ERR(fmt, ...) TW_LOG_ERROR(TW_NET_PR_, "proto-common", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define PR_LOG_INFO(fmt, ...) TW_LOG_INFO(TW_NET_PR_, "proto-common", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define PR_LOG_DEBUG(fmt, ...) TW_LOG_DEBUG(TW_NET_PR_, "proto-common", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define PR_DEBUG_ENABLED() ::tidewell::Logger::IsEnabled(::tidewell::Logger::L_DEBUG, TW_NET_PR_)

#define CONN_LOG_DEBUG(fmt, ...) \
  TW_LOG_DEBUG(::tidewell::net_internal::ConnectionComponent(), "connection", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define CONN_LOG_WARN(fmt, ...) \
  TW_LOG_WARNING(::tidewell::net_internal::ConnectionComponent(), "connection", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)

#define TC_LOG_WARN(fmt, ...) TW_LOG_WARNING(TW_NET_CH_, "tunnel_client", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define TC_LOG_DEBUG(fmt, ...) TW_LOG_DEBUG(TW_NET_CH_, "tunnel_client", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)

// Inside ConnectionHandshake's members only: lines under the handshake's
// own component and module, "<module>(<line>): " then the task's prefix
// ("Syncer: " or "Worker (<id>): ") where the texts carry one.
#define HS_LOG(level, fmt, ...) TW_MOD_LOG(level, component_, module_, fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define HS_LOG_TASK(level, fmt, ...)                                                           \
  do {                                                                                         \
    if (task_ == HandshakeTask::kWorker) {                                                     \
      HS_LOG(level, "Worker (%d): " fmt, task_id_ __VA_OPT__(, ) __VA_ARGS__);                 \
    } else {                                                                                   \
      HS_LOG(level, "Syncer: " fmt __VA_OPT__(, ) __VA_ARGS__);                                \
    }                                                                                          \
  } while (0)

#endif  // TIDEWELL_NET_NET_LOG_H_
