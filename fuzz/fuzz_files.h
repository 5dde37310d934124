// Scratch files for the fuzz targets: one folder per target process and a
// plain whole-file writer. Failures abort, since a fuzz run without its files
// would test nothing.

#ifndef TIDEWELL_FUZZ_FUZZ_FILES_H_
#define TIDEWELL_FUZZ_FUZZ_FILES_H_

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace tidewell::fuzzing {

// Makes a fresh folder from `pattern` (ending in "XXXXXX") and returns its path.
inline std::string MakeScratchDir(std::string pattern) {
  if (mkdtemp(pattern.data()) == nullptr) abort();
  return pattern;
}

// Replaces the file at `path` with `size` bytes of `data`.
inline void WriteAll(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
  fclose(f);
}

}  // namespace tidewell::fuzzing

#endif  // TIDEWELL_FUZZ_FUZZ_FILES_H_
