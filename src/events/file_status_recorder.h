// The daemon's syncing marks: rows of the file status database.

#ifndef TIDEWELL_EVENTS_FILE_STATUS_RECORDER_H_
#define TIDEWELL_EVENTS_FILE_STATUS_RECORDER_H_

#include "events/sync_status_recorder.h"

namespace tidewell {

// Records into the process-wide file status database (which must have been
// initialised; until then every call fails). Stateless and thread-safe.
class FileStatusRecorder : public SyncStatusRecorder {
 public:
  // The one instance the event manager uses by default.
  static FileStatusRecorder& getInstance();

  // Stores {path, fileType = is_dir, syncStatus = syncing}. 0 or -1.
  int MarkSyncing(const ustring& full_path, bool is_dir) override;
  // Deletes the row of exactly `full_path`. 0 or -1.
  int Forget(const ustring& full_path) override;
};

}  // namespace tidewell

#endif  // TIDEWELL_EVENTS_FILE_STATUS_RECORDER_H_
