// Log helpers of the sync engine. The workers log under the component
// "worker_debug" with the module name "worker"; the helpers add the module
// and the source line, so call sites carry only the text (which, like every
// log text, ends with "\n").

#ifndef TIDEWELL_SYNC_SYNC_LOG_H_
#define TIDEWELL_SYNC_SYNC_LOG_H_

#include "base/log.h"
#include "base/ustring.h"

namespace tidewell::sync_internal {

// Component names, built once.
const ustring& WorkerComponent();
const ustring& SyncerComponent();          // "syncer_debug"
const ustring& ProgressSyncerComponent();  // "progress_syncer_debug"
const ustring& RecycleCleanerComponent();  // "recycle_cleaner_debug"

}  // namespace tidewell::sync_internal

#define TW_SYNC_WK_ ::tidewell::sync_internal::WorkerComponent()

#define WK_LOG_CRIT(fmt, ...) TW_LOG_CRIT(TW_SYNC_WK_, "worker", fmt __VA_OPT__(, ) __VA_ARGS__)
#define WK_LOG_ERROR(fmt, ...) TW_LOG_ERROR(TW_SYNC_WK_, "worker", fmt __VA_OPT__(, ) __VA_ARGS__)
#define WK_LOG_WARNING(fmt, ...) TW_LOG_WARNING(TW_SYNC_WK_, "worker", fmt __VA_OPT__(, ) __VA_ARGS__)
#define WK_LOG_NOTE(fmt, ...) TW_LOG_NOTE(TW_SYNC_WK_, "worker", fmt __VA_OPT__(, ) __VA_ARGS__)
#define WK_LOG_INFO(fmt, ...) TW_LOG_INFO(TW_SYNC_WK_, "worker", fmt __VA_OPT__(, ) __VA_ARGS__)
#define WK_LOG_DEBUG(fmt, ...) TW_LOG_DEBUG(TW_SYNC_WK_, "worker", fmt __VA_OPT__(, ) __VA_ARGS__)
#define WK_DEBUG_ENABLED() ::tidewell::Logger::IsEnabled(::tidewell::Logger::L_DEBUG, TW_SYNC_WK_)

// The server event puller: component "syncer_debug", module "syncer".
#define TW_SYNC_SY_ ::tidewell::sync_internal::SyncerComponent()
#define SY_LOG_CRIT(fmt, ...) TW_LOG_CRIT(TW_SYNC_SY_, "syncer", fmt __VA_OPT__(, ) __VA_ARGS__)
#define SY_LOG_ERROR(fmt, ...) TW_LOG_ERROR(TW_SYNC_SY_, "syncer", fmt __VA_OPT__(, ) __VA_ARGS__)
#define SY_LOG_WARNING(fmt, ...) TW_LOG_WARNING(TW_SYNC_SY_, "syncer", fmt __VA_OPT__(, ) __VA_ARGS__)
#define SY_LOG_NOTE(fmt, ...) TW_LOG_NOTE(TW_SYNC_SY_, "syncer", fmt __VA_OPT__(, ) __VA_ARGS__)
#define SY_LOG_INFO(fmt, ...) TW_LOG_INFO(TW_SYNC_SY_, "syncer", fmt __VA_OPT__(, ) __VA_ARGS__)
#define SY_LOG_DEBUG(fmt, ...) TW_LOG_DEBUG(TW_SYNC_SY_, "syncer", fmt __VA_OPT__(, ) __VA_ARGS__)
#define SY_DEBUG_ENABLED() ::tidewell::Logger::IsEnabled(::tidewell::Logger::L_DEBUG, TW_SYNC_SY_)

// The selective-sync resume puller: component "progress_syncer_debug",
// module "progress-syncer".
#define TW_SYNC_PS_ ::tidewell::sync_internal::ProgressSyncerComponent()
#define PS_LOG_CRIT(fmt, ...) TW_LOG_CRIT(TW_SYNC_PS_, "progress-syncer", fmt __VA_OPT__(, ) __VA_ARGS__)
#define PS_LOG_ERROR(fmt, ...) TW_LOG_ERROR(TW_SYNC_PS_, "progress-syncer", fmt __VA_OPT__(, ) __VA_ARGS__)
#define PS_LOG_WARNING(fmt, ...) TW_LOG_WARNING(TW_SYNC_PS_, "progress-syncer", fmt __VA_OPT__(, ) __VA_ARGS__)
#define PS_LOG_NOTE(fmt, ...) TW_LOG_NOTE(TW_SYNC_PS_, "progress-syncer", fmt __VA_OPT__(, ) __VA_ARGS__)
#define PS_LOG_INFO(fmt, ...) TW_LOG_INFO(TW_SYNC_PS_, "progress-syncer", fmt __VA_OPT__(, ) __VA_ARGS__)
#define PS_LOG_DEBUG(fmt, ...) TW_LOG_DEBUG(TW_SYNC_PS_, "progress-syncer", fmt __VA_OPT__(, ) __VA_ARGS__)
#define PS_DEBUG_ENABLED() ::tidewell::Logger::IsEnabled(::tidewell::Logger::L_DEBUG, TW_SYNC_PS_)

// The recycle cleaner: component "recycle_cleaner_debug", module
// "recycle-cleaner".
#define TW_SYNC_RC_ ::tidewell::sync_internal::RecycleCleanerComponent()
#define RC_LOG_ERROR(fmt, ...) TW_LOG_ERROR(TW_SYNC_RC_, "recycle-cleaner", fmt __VA_OPT__(, ) __VA_ARGS__)
#define RC_LOG_INFO(fmt, ...) TW_LOG_INFO(TW_SYNC_RC_, "recycle-cleaner", fmt __VA_OPT__(, ) __VA_ARGS__)
#define RC_LOG_DEBUG(fmt, ...) TW_LOG_DEBUG(TW_SYNC_RC_, "recycle-cleaner", fmt __VA_OPT__(, ) __VA_ARGS__)

#endif  // TIDEWELL_SYNC_SYNC_LOG_H_
