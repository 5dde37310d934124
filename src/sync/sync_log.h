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

}  // namespace tidewell::sync_internal

#define TW_SYNC_WK_ ::tidewell::sync_internal::WorkerComponent()

#define WK_LOG_CRIT(fmt, ...) TW_LOG_CRIT(TW_SYNC_WK_, "worker", fmt __VA_OPT__(, ) __VA_ARGS__)
#define WK_LOG_ERROR(fmt, ...) TW_LOG_ERROR(TW_SYNC_WK_, "worker", fmt __VA_OPT__(, ) __VA_ARGS__)
#define WK_LOG_WARNING(fmt, ...) TW_LOG_WARNING(TW_SYNC_WK_, "worker", fmt __VA_OPT__(, ) __VA_ARGS__)
#define WK_LOG_NOTE(fmt, ...) TW_LOG_NOTE(TW_SYNC_WK_, "worker", fmt __VA_OPT__(, ) __VA_ARGS__)
#define WK_LOG_INFO(fmt, ...) TW_LOG_INFO(TW_SYNC_WK_, "worker", fmt __VA_OPT__(, ) __VA_ARGS__)
#define WK_LOG_DEBUG(fmt, ...) TW_LOG_DEBUG(TW_SYNC_WK_, "worker", fmt __VA_OPT__(, ) __VA_ARGS__)
#define WK_DEBUG_ENABLED() ::tidewell::Logger::IsEnabled(::tidewell::Logger::L_DEBUG, TW_SYNC_WK_)

#endif  // TIDEWELL_SYNC_SYNC_LOG_H_
