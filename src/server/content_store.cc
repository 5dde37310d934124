#include "server/content_store.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include "platform/dir_list.h"
#include "platform/dir_make.h"
#include "platform/file_remove.h"
#include "platform/file_rename.h"
#include "platform/fs_sync.h"
#include "platform/temp_path.h"
#include "server/server_log.h"

namespace tidewell::server {

namespace {

// At most this many blobs are flushed one by one; more share one flush of
// the file system.
constexpr size_t kSingleSyncLimit = 2;

std::string FanOutDir(const std::string& blob_dir, std::string_view sha, int levels) {
  std::string dir = blob_dir + "/" + std::string(sha.substr(0, 2));
  if (levels > 1) dir += "/" + std::string(sha.substr(2, 2));
  return dir;
}

// The names in `dir` other than "." and "..".
std::vector<std::string> ListNames(const std::string& dir) {
  std::vector<std::string> names;
  DIR_HANDLE dh;
  (void)FSOpenDir(ustring(dir), 0, dh);
  DIR_ENTRY entry;
  while (FSReadDir(dh, entry) == 1) {
    std::string name(entry.name.c_str_utf8());
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  FSCloseDir(dh);
  return names;
}

// Deletes every entry of `dir` except the names in `keep`.
void EmptyFolder(const std::string& dir, const std::unordered_set<std::string>& keep) {
  for (const std::string& name : ListNames(dir)) {
    if (keep.count(name) != 0) continue;
    if (FSRemove(ustring(dir + "/" + name), false) != 0) {
      SRV_LOG_WARN("cannot delete leftover '%s/%s'", dir.c_str(), name.c_str());
    }
  }
}

}  // namespace

ContentStore::ContentStore(std::string data_dir)
    : data_dir_(std::move(data_dir)),
      blob_dir_(data_dir_ + "/blobs"),
      tmp_dir_(data_dir_ + "/tmp"),
      resume_dir_(tmp_dir_ + "/resume"),
      download_dir_(tmp_dir_ + "/download") {}

int ContentStore::Init() {
  for (const std::string* dir : {&blob_dir_, &tmp_dir_, &resume_dir_, &download_dir_}) {
    if (FSMKDir(ustring(*dir), true) != 0) {
      SRV_LOG_ERR("cannot create the folder '%s'", dir->c_str());
      return -1;
    }
  }
  EmptyFolder(tmp_dir_, {"resume", "download"});
  EmptyFolder(download_dir_, {});
  return 0;
}

std::string ContentStore::BlobPath(std::string_view sha256) const {
  return FanOutDir(blob_dir_, sha256, 2) + "/" + std::string(sha256);
}

int ContentStore::NewTemp(std::string& path, const std::string& dir) const {
  ustring out;
  if (FSMktemp(ustring(dir.empty() ? tmp_dir_ : dir), out) != 0) {
    SRV_LOG_ERR("cannot create a temporary file in '%s'", (dir.empty() ? tmp_dir_ : dir).c_str());
    return -1;
  }
  path.assign(out.c_str_utf8());
  return 0;
}

int ContentStore::Install(const std::string& file, std::string_view sha256) const {
  if (sha256.size() < 4) return -1;
  const std::string dir = FanOutDir(blob_dir_, sha256, 2);
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) {
    // A new fan-out folder is made durable at once (it happens once per
    // folder), so that Sync need only flush a blob's own folder.
    if (FSMKDir(ustring(dir), true) != 0 || SyncDirectory(FanOutDir(blob_dir_, sha256, 1).c_str()) != 0 ||
        SyncDirectory(blob_dir_.c_str()) != 0) {
      SRV_LOG_ERR("cannot create the blob folder '%s'", dir.c_str());
      return -1;
    }
  }
  const std::string target = dir + "/" + std::string(sha256);
  if (RenameWithoutSync(file.c_str(), target.c_str()) != 0) {
    SRV_LOG_ERR("cannot move '%s' to '%s': errno %d", file.c_str(), target.c_str(), errno);
    return -1;
  }
  return 0;
}

int ContentStore::Sync(const std::vector<std::string>& sha256s) const {
  if (sha256s.empty()) return 0;
  if (sha256s.size() > kSingleSyncLimit) {
    if (SyncFileSystemOf(blob_dir_.c_str()) != 0) {
      SRV_LOG_ERR("cannot flush the data folder's file system: errno %d", errno);
      return -1;
    }
    return 0;
  }
  for (const std::string& sha : sha256s) {
    const std::string path = BlobPath(sha);
    // The file and its name (new folders were flushed when made).
    if (SyncFileAt(path.c_str()) != 0 || SyncDirectory(FanOutDir(blob_dir_, sha, 2).c_str()) != 0) {
      SRV_LOG_ERR("cannot flush blob '%s': errno %d", path.c_str(), errno);
      return -1;
    }
  }
  return 0;
}

void ContentStore::Remove(std::string_view sha256) const {
  const std::string path = BlobPath(sha256);
  if (FSRemove(ustring(path), false) != 0) SRV_LOG_WARN("cannot delete blob '%s'", path.c_str());
}

int ContentStore::Sweep(const std::unordered_set<std::string>& known) const {
  int removed = 0;
  for (const std::string& d1 : ListNames(blob_dir_)) {
    const std::string p1 = blob_dir_ + "/" + d1;
    for (const std::string& d2 : ListNames(p1)) {
      const std::string p2 = p1 + "/" + d2;
      for (const std::string& name : ListNames(p2)) {
        if (known.count(name) != 0) continue;
        if (FSRemove(ustring(p2 + "/" + name), false) == 0) ++removed;
      }
    }
  }
  return removed;
}

uint64_t ContentStore::FreeBytes() const {
  struct statvfs vfs;
  if (statvfs(data_dir_.c_str(), &vfs) != 0) return UINT64_MAX;
  return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

}  // namespace tidewell::server
