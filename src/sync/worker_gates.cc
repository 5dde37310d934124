// The filter and selective-sync gates of the worker's roads.

#include "base/error_code.h"
#include "sync/worker.h"

namespace tidewell {

int Worker::TestDirectory(const ustring&, const ustring&) { return ERR_SYS; }  // not built yet
int Worker::TestFilePath(const ustring&, const ustring&) { return ERR_SYS; }  // not built yet
int Worker::TestBlackListPath() { return ERR_SYS; }  // not built yet
int Worker::TestWhiteList() { return ERR_SYS; }  // not built yet
int Worker::TestCommonFilter() { return ERR_SYS; }  // not built yet
int Worker::TestDownloadRemoteFilter() { return ERR_SYS; }  // not built yet
int Worker::TestUploadLocalFilter() { return ERR_SYS; }  // not built yet
int Worker::TestRemoveRemoteFilter() { return ERR_SYS; }  // not built yet
int Worker::TestRemoveLocalFilter() { return ERR_SYS; }  // not built yet
int Worker::AddFilteredEventToDB(const Event&, int) { return ERR_SYS; }  // not built yet
void Worker::ConvertToFilteredEvent(const Event&, int, FilterLocalEvent&) {}  // not built yet
int Worker::TestFilteredDeleteEvent(uint64_t, const ustring&, bool) { return ERR_SYS; }  // not built yet

}  // namespace tidewell
