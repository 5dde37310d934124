// The download road: server changes fetched and committed.

#include "base/error_code.h"
#include "sync/worker.h"

namespace tidewell {

int Worker::DownloadRemote() { return ERR_SYS; }  // not built yet
int Worker::MergeEvent() { return -1; }  // not built yet
int Worker::PrepareFileFromLocal() { return -1; }  // not built yet
int Worker::ProtoResumeDownloadObject(Channel&, PObject&, PObject&) { return ERR_SYS; }  // not built yet
void Worker::ClearCommitInfo(ClientFileEventInfo&) {}  // not built yet
int Worker::CommitDatabaseDownload(const PObject&, const ClientFileEventInfo&, const ustring&) { return -1; }  // not built yet
int Worker::UpdateDatabaseInfo(const ClientFileEventInfo&) { return -1; }  // not built yet
int Worker::CommitLocalVersion(uint32_t, const ustring&) { return -1; }  // not built yet

}  // namespace tidewell
