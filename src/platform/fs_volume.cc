#include "platform/fs_volume.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "base/log.h"

namespace tidewell {

namespace {

std::atomic<bool> g_fat_mode{false};

int StatfsProbe(const char* path, long* fs_type) {
  struct statfs sfs;
  if (statfs(path, &sfs) != 0) return -1;
  *fs_type = static_cast<long>(sfs.f_type);
  return 0;
}

std::atomic<FsTypeProbe> g_probe{&StatfsProbe};

// Name of a FAT-family file system, or null for anything else.
const char* FatName(long fs_type) {
  if (fs_type == kMsdosSuperMagic) return "vfat";
  if (fs_type == kExfatSuperMagic) return "exfat";
  return nullptr;
}

bool IsFoldingFsType(long fs_type) {
  switch (static_cast<unsigned long>(fs_type) & 0xFFFFFFFFul) {
    case 0x4d44:      // vfat, msdos
    case 0x2011BAB0:  // exfat
    case 0x5346544e:  // ntfs
    case 0x7366746e:  // ntfs3
    case 0xFF534D42:  // cifs
    case 0xFE534D42:  // smb2
    case 0x517B:      // smb
    case 0x4244:      // hfs
    case 0x482b:      // hfs+
    case 0x01021997:  // 9p (host folders of virtual machines)
    case 0x65735546:  // fuse: anything may sit behind it
    case 0x786f4256:  // vboxsf
      return true;
    default:
      return false;
  }
}

}  // namespace

FsTypeProbe SetFsTypeProbeForTesting(FsTypeProbe probe) {
  return g_probe.exchange(probe ? probe : &StatfsProbe);
}

void SetFatModeForTesting(bool on) { g_fat_mode.store(on); }

bool FSIsFatMode() { return g_fat_mode.load(std::memory_order_relaxed); }

int FSInit(const ustring& path) {
  if (path.empty() || path[0] != '/') {
    TW_LOG_ERROR("file_op_debug", "file-op", "FSInit: Invalid path (%s)\n", path.c_str_utf8());
    return -1;
  }
  long fs_type = 0;
  if (g_probe.load()(path.c_str_utf8(), &fs_type) != 0) {
    int err = errno;
    TW_LOG_ERROR("file_op_debug", "file-op", "GetVolumeInformation: Error code %d\n", err);
    return -1;
  }
  if (const char* name = FatName(fs_type)) {
    TW_LOG_WARNING("file_op_debug", "file-op", "Detect a non-NTFS platform (%s)\n", name);
    g_fat_mode.store(true);
  }
  return 0;
}

bool IsMSDOS(const ustring& path) {
  if (path.empty() || path[0] != '/') {
    TW_LOG_ERROR("file_op_debug", "file-op", "IsSupportLargeFile: Invalid path (%s)\n",
                 path.c_str_utf8());
    return false;
  }
  long fs_type = 0;
  if (g_probe.load()(path.c_str_utf8(), &fs_type) != 0) {
    int err = errno;
    TW_LOG_ERROR("file_op_debug", "file-op", "GetVolumeInformation: Error code %d\n", err);
    return false;
  }
  const char* name = FatName(fs_type);
  if (name == nullptr) return false;
  TW_LOG_WARNING("file_op_debug", "file-op", "Detect a non-NTFS platform (%s) for path '%s'.\n",
                 name, path.c_str_utf8());
  return true;
}

bool FSTimeEqual(uint32_t a, uint32_t b) {
  if (FSIsFatMode()) return (a > b ? a - b : b - a) < 2;
  return a == b;
}

int FSInitialize(int, int) { return 0; }

int FSChown(const ustring&) { return 0; }

bool DirMayFoldCase(const char* dir) {
  long fs_type = 0;
  if (g_probe.load()(dir, &fs_type) != 0) return false;
  if (IsFoldingFsType(fs_type)) return true;
  // ext4, f2fs and tmpfs can fold case per directory.
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  int flags = 0;
  bool folds = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL) != 0;
  close(fd);
  return folds;
}

}  // namespace tidewell
