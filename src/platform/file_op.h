// The file layer in one include: everything the sync engine uses to touch
// local files. Paths are UTF-8 ustrings; only "/" separates components.
// Failures are logged under the component "file_op_debug".

#ifndef TIDEWELL_PLATFORM_FILE_OP_H_
#define TIDEWELL_PLATFORM_FILE_OP_H_

#include "platform/dir_list.h"
#include "platform/dir_make.h"
#include "platform/durable_replace.h"
#include "platform/file_copy.h"
#include "platform/file_lock.h"
#include "platform/file_remove.h"
#include "platform/file_rename.h"
#include "platform/file_stat.h"
#include "platform/file_types.h"
#include "platform/fs_volume.h"
#include "platform/temp_path.h"

#endif  // TIDEWELL_PLATFORM_FILE_OP_H_
