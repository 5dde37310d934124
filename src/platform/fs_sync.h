// Flushing many new files at once. A store that writes many small files
// and then makes them durable together (a group commit) renames each into
// place without flushing and then flushes the whole file system once,
// instead of paying one flush of the file and one of its directory per file.
//
// Thread-safe.

#ifndef TIDEWELL_PLATFORM_FS_SYNC_H_
#define TIDEWELL_PLATFORM_FS_SYNC_H_

namespace tidewell {

// Renames `from` to `to` (replacing a file there) and flushes nothing.
// 0, or -1 with errno.
[[nodiscard]] int RenameWithoutSync(const char* from, const char* to);

// Flushes every file, and every name, of the file system holding `path`.
// 0, or -1 with errno (a write-back failure on that file system included).
[[nodiscard]] int SyncFileSystemOf(const char* path);

// Flushes the data of the file at `path` (not its directory). 0, or -1.
[[nodiscard]] int SyncFileAt(const char* path);

// Starts writing back `length` bytes of the open file `fd` from `offset`,
// without waiting for them; keeps a long write from piling up dirty pages.
void StartWriteBack(int fd, long long offset, long long length);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_FS_SYNC_H_
