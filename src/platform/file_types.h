// Records of the file layer: file kinds, file information and directory
// listing handles. Plain data; not synchronised.

#ifndef TIDEWELL_PLATFORM_FILE_TYPES_H_
#define TIDEWELL_PLATFORM_FILE_TYPES_H_

#include <dirent.h>

#include <cstdint>

#include "base/ustring.h"

namespace tidewell {

// Kind of a directory entry, as seen without following symbolic links.
// FT_HLINK is never reported (a hard link is an ordinary file); FT_DEV covers
// character and block devices.
enum FILE_TYPE {
  FT_ERR = 0,
  FT_FILE = 1,
  FT_DIR = 2,
  FT_SLINK = 3,
  FT_HLINK = 4,
  FT_DEV = 5,
  FT_FIFO = 6,
  FT_SOCK = 7,
};

// Maps a st_mode to its FILE_TYPE.
FILE_TYPE FileTypeFromMode(unsigned mode);

// What FSStat learnt about one path. Times are seconds since 1970 UTC.
// Equality ignores uid and gid.
struct _FILE_INFO_tag {
  ustring path;
  ustring name;
  FILE_TYPE type = FT_ERR;
  uint32_t mtime = 0;
  // The nanoseconds of the modification time (0 where the file system keeps
  // none); not part of equality. Tells two changes within one second apart.
  uint32_t mtime_nsec = 0;
  uint64_t size = 0;
  bool isExist = false;
  uint32_t uid = 0;
  uint32_t gid = 0;

  bool operator==(const _FILE_INFO_tag& other) const {
    return isExist == other.isExist && size == other.size && mtime == other.mtime &&
           type == other.type && path == other.path && name == other.name;
  }
  bool operator!=(const _FILE_INFO_tag& other) const { return !(*this == other); }
};
using FILE_INFO = _FILE_INFO_tag;

// Bit of DIR_HANDLE::flag: also fill DIR_ENTRY::mtime and size.
constexpr int kDirReadStat = 1;

// One listing in progress (FSOpenDir / FSReadDir / FSCloseDir). Owns the
// open directory stream and closes it when destroyed; movable, not copyable.
struct DIR_HANDLE {
  ustring path;
  int flag = 0;
  DIR* handle = nullptr;  // null until the first FSReadDir

  DIR_HANDLE() = default;
  DIR_HANDLE(const DIR_HANDLE&) = delete;
  DIR_HANDLE& operator=(const DIR_HANDLE&) = delete;
  DIR_HANDLE(DIR_HANDLE&& other) noexcept;
  DIR_HANDLE& operator=(DIR_HANDLE&& other) noexcept;
  ~DIR_HANDLE();
};

// One entry returned by FSReadDir.
struct DIR_ENTRY {
  ustring name;
  FILE_TYPE type = FT_ERR;
  uint32_t mtime = 0;
  uint64_t size = 0;
};

// Clamps a time in seconds since 1970 to the 32-bit unsigned range used by
// the records (earlier times give 0, later ones the maximum).
uint32_t ClampTime(int64_t seconds);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_FILE_TYPES_H_
