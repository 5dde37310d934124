// Files as the value stream opens them: the files behind binary values,
// read while sending and written while receiving.

#ifndef TIDEWELL_NET_STREAM_FILE_H_
#define TIDEWELL_NET_STREAM_FILE_H_

#include <cstdio>
#include <memory>

#include "base/ustring.h"

namespace tidewell {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Opens `path` as a C stream. The first letter of `mode` decides:
//   "r": read; the file must exist.
//   "w": write; created or truncated.
//   "a": write at the end; created when missing.
//   other: read and write; created or truncated.
// The descriptor is close-on-exec (child processes never inherit it) and the
// kernel is told that access is sequential. Returns null after logging.
FILE* xfopen(const ustring& path, const char* mode);

// Creates a new file under a fresh random name in `dir` (never reusing an
// existing name) and opens it for writing. On success stores the name in
// `path` and returns the stream; returns null after logging otherwise.
FILE* CreateFreshFile(const ustring& dir, ustring& path);

}  // namespace tidewell

#endif  // TIDEWELL_NET_STREAM_FILE_H_
