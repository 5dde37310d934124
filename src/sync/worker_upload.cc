// The upload road: local changes sent to the server.

#include "base/error_code.h"
#include "sync/worker.h"

namespace tidewell {

int Worker::UploadLocal() { return ERR_SYS; }  // not built yet
bool Worker::IsUploadLocalFakeEvent(const FILE_INFO&, const ClientFileEventInfo&) { return false; }  // not built yet
int Worker::TestBaseNameConflict(const ustring&) { return ERR_SYS; }  // not built yet
int Worker::PrepareFileBlock(PObject&, TempFile&) { return ERR_SYS; }  // not built yet
int Worker::PrepareMtime(const FILE_INFO&, const ClientFileEventInfo&, PObject&) { return ERR_SYS; }  // not built yet
int Worker::PrepareMacAttrFile(const ClientFileEventInfo&, PObject&) { return ERR_SYS; }  // not built yet
int Worker::PrepareExecBit(const ClientFileEventInfo&, PObject&) { return ERR_SYS; }  // not built yet
bool Worker::IsUploadLocalFakeRequest(const PObject&) { return false; }  // not built yet
int Worker::ProtoResumeUploadObject(Channel&, PObject&, PObject&) { return ERR_SYS; }  // not built yet
int Worker::CommitDatabaseUpload(const PObject&, const PObject&, const ClientFileEventInfo&, const ustring&) {
  return ERR_SYS;  // not built yet
}
int Worker::CheckLocalModification(const PObject&, const PObject&) { return ERR_SYS; }  // not built yet
int Worker::PushRemoveEvent(const ustring&, bool) { return ERR_SYS; }  // not built yet

}  // namespace tidewell
