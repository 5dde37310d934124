// Log helpers of the wire layer (value streams, channels, protocol).
//
// The channel and the value stream log under the component "channel_debug",
// the protocol messages under "proto_common_debug". The helpers add the
// module name, the source line and the trailing newline, so call sites carry
// only the text.

#ifndef TIDEWELL_NET_NET_LOG_H_
#define TIDEWELL_NET_NET_LOG_H_

#include "base/log.h"
#include "base/ustring.h"

namespace tidewell::net_internal {

// Component names, built once (log calls would otherwise allocate them).
const ustring& ChannelComponent();
const ustring& ProtoComponent();

}  // namespace tidewell::net_internal

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

#endif  // TIDEWELL_NET_NET_LOG_H_
