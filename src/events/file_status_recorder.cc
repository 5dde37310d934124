#include "events/file_status_recorder.h"

#include "db/file_status_db.h"

namespace tidewell {

FileStatusRecorder& FileStatusRecorder::getInstance() {
  static FileStatusRecorder instance;
  return instance;
}

int FileStatusRecorder::MarkSyncing(const ustring& full_path, bool is_dir) {
  FileStatusInfo info;
  info.fileType = is_dir ? 1 : 0;
  info.syncStatus = FSTAT_SYNCING;
  info.path = full_path;
  return FileStatusDB::setFileSyncStat(info) == 0 ? 0 : -1;
}

int FileStatusRecorder::Forget(const ustring& full_path) {
  return FileStatusDB::rmFileStatByPath(full_path) == 0 ? 0 : -1;
}

}  // namespace tidewell
