// Log helpers of the platform layer's per-file families. The helpers add the
// module name, the source line and the trailing newline, so call sites carry
// only the text. (Plain file operations log with TW_LOG_* under
// "file_op_debug" directly.)

#ifndef TIDEWELL_PLATFORM_PLATFORM_LOG_H_
#define TIDEWELL_PLATFORM_PLATFORM_LOG_H_

#include "base/log.h"

// The HTTP proxy tunnel, under the channel's component.
#define PT_LOG_WARN(fmt, ...) TW_LOG_WARNING("channel_debug", "proxy_tunnel", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define PT_LOG_DEBUG(fmt, ...) TW_LOG_DEBUG("channel_debug", "proxy_tunnel", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)

#endif  // TIDEWELL_PLATFORM_PLATFORM_LOG_H_
