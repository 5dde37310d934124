// Log helpers of the databases, one family per store, each with the
// component and module its lines have always carried. LEVEL is the suffix
// of a TW_LOG_* macro (ERROR, WARNING, NOTE, INFO, DEBUG); `fmt` carries its
// own trailing newline.

#ifndef TIDEWELL_DB_DB_LOG_H_
#define TIDEWELL_DB_DB_LOG_H_

#include "base/log.h"

// The session's event database.
#define EDB_LOG(LEVEL, fmt, ...) TW_LOG_##LEVEL("event_db_debug", "event-db", fmt __VA_OPT__(, ) __VA_ARGS__)
// The file status database.
#define FS_LOG(LEVEL, fmt, ...) \
  TW_LOG_##LEVEL("fstat_db_debug", "file-status-db", fmt __VA_OPT__(, ) __VA_ARGS__)
// The filter database.
#define FDB_LOG(LEVEL, fmt, ...) \
  TW_LOG_##LEVEL("filter_db_debug", "filter-db", fmt __VA_OPT__(, ) __VA_ARGS__)
// The selective-sync helpers over the filter database.
#define FU_LOG(LEVEL, fmt, ...) \
  TW_LOG_##LEVEL("filter_utils_debug", "filter-utils", fmt __VA_OPT__(, ) __VA_ARGS__)
// The progress cache.
#define PC_LOG(LEVEL, fmt, ...) \
  TW_LOG_##LEVEL("progress_cache_debug", "progress-cache", fmt __VA_OPT__(, ) __VA_ARGS__)

#endif  // TIDEWELL_DB_DB_LOG_H_
