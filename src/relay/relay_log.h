// Log helpers of the relay service: component "relay_debug", module
// "relay". The helpers add the source line and the trailing newline.

#ifndef TIDEWELL_RELAY_RELAY_LOG_H_
#define TIDEWELL_RELAY_RELAY_LOG_H_

#include "base/log.h"
#include "base/ustring.h"

namespace tidewell {

// The relay's component name, built once.
const ustring& RelayComponent();

}  // namespace tidewell

#define RELAY_LOG_ERR(fmt, ...) \
  TW_LOG_ERROR(::tidewell::RelayComponent(), "relay", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define RELAY_LOG_WARN(fmt, ...) \
  TW_LOG_WARNING(::tidewell::RelayComponent(), "relay", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define RELAY_LOG_NOTE(fmt, ...) \
  TW_LOG_NOTE(::tidewell::RelayComponent(), "relay", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define RELAY_LOG_INFO(fmt, ...) \
  TW_LOG_INFO(::tidewell::RelayComponent(), "relay", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define RELAY_LOG_DEBUG(fmt, ...) \
  TW_LOG_DEBUG(::tidewell::RelayComponent(), "relay", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)

#endif  // TIDEWELL_RELAY_RELAY_LOG_H_
