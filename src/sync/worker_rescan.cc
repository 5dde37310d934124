// The rescan road: rescans, expansions and the file-list comparison.

#include "base/error_code.h"
#include "sync/worker.h"

namespace tidewell {

int Worker::Rescan() { return ERR_SYS; }  // not built yet
int Worker::Expand() { return ERR_SYS; }  // not built yet
int Worker::CompareFileList(const ustring&, const FileList&, const FileList&, bool) { return ERR_SYS; }  // not built yet
int Worker::BuildLocalFileListWithoutResursive(const ustring&, FileList&) { return ERR_SYS; }  // not built yet
void Worker::CreateDirSelfEvent() {}  // not built yet

}  // namespace tidewell
