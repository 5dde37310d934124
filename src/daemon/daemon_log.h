// Log helpers of the daemon's process entry, control loop and controller.
//
// The process entry (module "test") and the controller with its actions
// (module "app") log under the component "client_debug"; the loopback
// listener and sender (module "ipc") under "ipc". The macros add the module
// name and the source line; texts carry their own trailing newline.

#ifndef TIDEWELL_DAEMON_DAEMON_LOG_H_
#define TIDEWELL_DAEMON_DAEMON_LOG_H_

#include "base/log.h"
#include "base/ustring.h"

namespace tidewell::daemon_internal {

// Component names, built once.
const ustring& ClientComponent();
const ustring& IpcComponent();

}  // namespace tidewell::daemon_internal

#define TW_DM_CLIENT_ ::tidewell::daemon_internal::ClientComponent()
#define TW_DM_IPC_ ::tidewell::daemon_internal::IpcComponent()

#define APP_LOG_ERR(fmt, ...) TW_LOG_ERROR(TW_DM_CLIENT_, "app", fmt __VA_OPT__(, ) __VA_ARGS__)
#define APP_LOG_WARN(fmt, ...) TW_LOG_WARNING(TW_DM_CLIENT_, "app", fmt __VA_OPT__(, ) __VA_ARGS__)
#define APP_LOG_INFO(fmt, ...) TW_LOG_INFO(TW_DM_CLIENT_, "app", fmt __VA_OPT__(, ) __VA_ARGS__)
#define APP_LOG_DEBUG(fmt, ...) TW_LOG_DEBUG(TW_DM_CLIENT_, "app", fmt __VA_OPT__(, ) __VA_ARGS__)

#define MAIN_LOG_ERR(fmt, ...) TW_LOG_ERROR(TW_DM_CLIENT_, "test", fmt __VA_OPT__(, ) __VA_ARGS__)
#define MAIN_LOG_WARN(fmt, ...) TW_LOG_WARNING(TW_DM_CLIENT_, "test", fmt __VA_OPT__(, ) __VA_ARGS__)
#define MAIN_LOG_INFO(fmt, ...) TW_LOG_INFO(TW_DM_CLIENT_, "test", fmt __VA_OPT__(, ) __VA_ARGS__)
#define MAIN_LOG_DEBUG(fmt, ...) TW_LOG_DEBUG(TW_DM_CLIENT_, "test", fmt __VA_OPT__(, ) __VA_ARGS__)
#define MAIN_DEBUG_ENABLED() ::tidewell::Logger::IsEnabled(::tidewell::Logger::L_DEBUG, TW_DM_CLIENT_)

#define IPC_LOG_ERR(fmt, ...) TW_LOG_ERROR(TW_DM_IPC_, "ipc", fmt __VA_OPT__(, ) __VA_ARGS__)
#define IPC_LOG_INFO(fmt, ...) TW_LOG_INFO(TW_DM_IPC_, "ipc", fmt __VA_OPT__(, ) __VA_ARGS__)
#define IPC_LOG_DEBUG(fmt, ...) TW_LOG_DEBUG(TW_DM_IPC_, "ipc", fmt __VA_OPT__(, ) __VA_ARGS__)

#endif  // TIDEWELL_DAEMON_DAEMON_LOG_H_
