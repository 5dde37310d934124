// Log helpers of the sync server: component "server_debug", module
// "server". The helpers add the source line and the trailing newline.
//
// The server writes one INFO line per request (see request_log.h) and every
// problem at WARNING or worse; `serve` admits INFO for this component unless
// a level file says otherwise.

#ifndef TIDEWELL_SERVER_SERVER_LOG_H_
#define TIDEWELL_SERVER_SERVER_LOG_H_

#include "base/log.h"
#include "base/ustring.h"

namespace tidewell::server {

// The server's component name, built once.
const ustring& ServerComponent();

}  // namespace tidewell::server

#define SRV_LOG_CRIT(fmt, ...) \
  TW_LOG_CRIT(::tidewell::server::ServerComponent(), "server", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define SRV_LOG_ERR(fmt, ...) \
  TW_LOG_ERROR(::tidewell::server::ServerComponent(), "server", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define SRV_LOG_WARN(fmt, ...) \
  TW_LOG_WARNING(::tidewell::server::ServerComponent(), "server", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define SRV_LOG_NOTE(fmt, ...) \
  TW_LOG_NOTE(::tidewell::server::ServerComponent(), "server", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define SRV_LOG_INFO(fmt, ...) \
  TW_LOG_INFO(::tidewell::server::ServerComponent(), "server", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)
#define SRV_LOG_DEBUG(fmt, ...) \
  TW_LOG_DEBUG(::tidewell::server::ServerComponent(), "server", fmt "\n" __VA_OPT__(, ) __VA_ARGS__)

#endif  // TIDEWELL_SERVER_SERVER_LOG_H_
