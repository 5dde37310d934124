// Log helpers of the filter layer. LEVEL is the suffix of a TW_LOG_* macro
// (ERROR, WARNING, NOTE, INFO, DEBUG); `fmt` carries its own trailing
// newline.

#ifndef TIDEWELL_FILTER_FILTER_LOG_H_
#define TIDEWELL_FILTER_FILTER_LOG_H_

#include "base/log.h"

// The sync-folder policy checks.
#define POLICY_LOG(LEVEL, fmt, ...) \
  TW_LOG_##LEVEL("default_component", "policy", fmt __VA_OPT__(, ) __VA_ARGS__)

#endif  // TIDEWELL_FILTER_FILTER_LOG_H_
