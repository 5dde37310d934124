// Where the event queue records that a local path is being synchronised.
//
// The event manager marks a path as syncing when an event for it is queued;
// the event tree forgets the mark of every node it drops unprocessed. The
// daemon records into the file status database (FileStatusRecorder); tests
// hand in their own recorder. Implementations must be safe to call from any
// thread, since tasks push from their own threads.

#ifndef TIDEWELL_EVENTS_SYNC_STATUS_RECORDER_H_
#define TIDEWELL_EVENTS_SYNC_STATUS_RECORDER_H_

#include <string>
#include <string_view>

#include "base/ustring.h"

namespace tidewell {

class SyncStatusRecorder {
 public:
  virtual ~SyncStatusRecorder() = default;

  // Marks `full_path` as being synchronised. 0 on success, negative on error.
  virtual int MarkSyncing(const ustring& full_path, bool is_dir) = 0;

  // Drops the mark of `full_path` (only that path). 0 or negative.
  virtual int Forget(const ustring& full_path) = 0;
};

// The key under which a session item is recorded: the session's local root
// followed by the session-relative path (which begins with "/"). On Linux the
// separator stays "/": a backslash is an ordinary file name byte here, so
// turning separators into backslashes would make two paths share one key.
ustring SyncStatusKey(const ustring& local_root, const ustring& rel_path);

}  // namespace tidewell

#endif  // TIDEWELL_EVENTS_SYNC_STATUS_RECORDER_H_
