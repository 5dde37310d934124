// Applying a received object: rebuild, verify, settle conflicts, place.

#include "base/error_code.h"
#include "sync/worker.h"

namespace tidewell {

int Worker::PrepareDownloadFile(const PObject&, ustring&, TempFile&) { return ERR_SYS; }  // not built yet
int Worker::ProcessDownloadFile(const PObject&, TempFile&) { return ERR_SYS; }  // not built yet
int Worker::ProcessDownloadDirectory(const PObject&) { return ERR_SYS; }  // not built yet
int Worker::UpdateAttribute(const ustring&, const PObject&) { return ERR_SYS; }  // not built yet
void Worker::AdjustMtimeForMSDOS(PObject&) {}  // not built yet
int Worker::TestDownloadConflict(const FILE_INFO&, const ClientFileEventInfo&, const PObject&) { return 253; }  // not built yet
int Worker::HandleDownloadConflict(const PObject&) { return ERR_SYS; }  // not built yet
int Worker::HandleDownloadPatchError(const PObject&) { return ERR_SYS; }  // not built yet
bool Worker::LocallyModified(const FILE_INFO&, const ClientFileEventInfo&, const ustring&) { return true; }  // not built yet
int Worker::CalculateMD4(const ustring&, ustring&) { return -1; }  // not built yet
int Worker::PreserveUnsyncedEntries(const ustring&) { return ERR_SYS; }  // not built yet

}  // namespace tidewell
