// Volume-level facts the file layer needs: whether the sync folder lives on
// a FAT-family file system (two-second modification times), and whether a
// directory may compare names without regard to letter case.
//
// The FAT-mode flag is process-wide: set once by FSInit before the tasks
// start, read without locking afterwards (an atomic, so a late FSInit is
// still well defined).

#ifndef TIDEWELL_PLATFORM_FS_VOLUME_H_
#define TIDEWELL_PLATFORM_FS_VOLUME_H_

#include <cstdint>

#include "base/ustring.h"

namespace tidewell {

// statfs magic numbers of the FAT family (vfat and msdos share one).
constexpr long kMsdosSuperMagic = 0x4d44;
constexpr long kExfatSuperMagic = 0x2011BAB0;

// `path` must be absolute (there are no drive letters; any absolute path is
// valid), else ERROR "FSInit: Invalid path (%s)\n" and -1. When the file
// system holding `path` is vfat, msdos or exfat, logs WARNING
// "Detect a non-NTFS platform (%s)\n" and turns FAT mode on. A failed statfs
// logs "GetVolumeInformation: Error code %d\n" (errno) and gives -1.
[[nodiscard]] int FSInit(const ustring& path);

// The same volume test without side effects: true for a FAT-family volume
// (with a WARNING naming it and the path); false otherwise and on errors.
bool IsMSDOS(const ustring& path);

// Whether FAT mode is on.
bool FSIsFatMode();

// In FAT mode, true when the two times differ by less than 2 seconds;
// otherwise true only when they are equal.
bool FSTimeEqual(uint32_t a, uint32_t b);

// No effect on this platform; 0.
int FSInitialize(int a, int b);
int FSChown(const ustring& path);

// True when lookups in directory `dir` may match names that differ from the
// stored ones (letter case, normalisation): FAT family, NTFS, SMB/CIFS, HFS,
// 9p and FUSE mounts, and directories with the case-folding attribute.
// False when `dir` cannot be examined: the lookup result is then trusted.
bool DirMayFoldCase(const char* dir);

// Test seam: the function that reports a path's statfs f_type (0 or -1 with
// errno). Returns the previous probe; pass nullptr to restore statfs.
using FsTypeProbe = int (*)(const char* path, long* fs_type);
FsTypeProbe SetFsTypeProbeForTesting(FsTypeProbe probe);

// Test seam: sets FAT mode directly (FSInit is the production path).
void SetFatModeForTesting(bool on);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_FS_VOLUME_H_
