// The removal road in both directions and the recycle folder.

#include "base/error_code.h"
#include "sync/worker.h"

namespace tidewell {

int Worker::RemoveLocal() { return ERR_SYS; }  // not built yet
int Worker::RemoveRemote() { return ERR_SYS; }  // not built yet
int Worker::ProcessRenameRemoveLocal(const FILE_INFO&) { return ERR_SYS; }  // not built yet
int Worker::ProcessRemoveLocal(const FILE_INFO&) { return ERR_SYS; }  // not built yet
int Worker::RenameRemoveFile() { return ERR_SYS; }  // not built yet
int Worker::RenameRemoveDirectory() { return ERR_SYS; }  // not built yet
int Worker::moveFileToRecycleBin(const ustring&, uint64_t, const ustring&, const ustring&) {
  return ERR_SYS;  // not built yet
}
ustring Worker::GetRecycleBinDir() const { return ustring(); }  // not built yet
int Worker::RemoveDirectoryW(const ustring&) { return ERR_SYS; }  // not built yet
int Worker::RemoveDatabaseInfo() { return ERR_SYS; }  // not built yet
int Worker::ExpandDeleteEvent() { return ERR_SYS; }  // not built yet
int Worker::ExpandLocalDeleteEvent(const ustring&) { return ERR_SYS; }  // not built yet
int Worker::ExpandServerDeleteEvent(const ustring&, uint64_t, uint64_t) { return ERR_SYS; }  // not built yet

}  // namespace tidewell
