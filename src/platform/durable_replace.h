// The one way to put new content in place of a file without ever leaving a
// half-written or lost file behind: write to a temporary file in the same
// directory, flush it, rename it over the target, flush the directory.
// A crash at any point leaves either the old content or the new, plus at
// worst a stray temporary named ".<name>.<8 chars>.tw-tmp".
//
// Thread-safe; concurrent replaces of one target end with one of the
// contents in place.

#ifndef TIDEWELL_PLATFORM_DURABLE_REPLACE_H_
#define TIDEWELL_PLATFORM_DURABLE_REPLACE_H_

#include <functional>
#include <string_view>

#include "base/ustring.h"
#include "platform/fd_io.h"

namespace tidewell {

// Result when the disk or the user's quota is full.
constexpr int kReplaceNoSpace = kWriteNoSpace;

// Writes the whole new content to `fd` (a fresh, empty file open for writing)
// and returns 0, or a negative result that abandons the replace.
using ContentWriter = std::function<int(int fd)>;

// Replaces `target` with what `writer` produces. The new file takes `mode`
// when it is not negative, else the mode of the existing target, else
// 0666 less the umask. Returns 0 once the new content and its name are on
// disk. On failure the target is untouched and the temporary removed:
// kReplaceNoSpace for ENOSPC/EDQUOT, the writer's own negative result, or -1
// (errno set) for anything else, including a target that is a directory.
[[nodiscard]] int DurableReplace(const ustring& target, const ContentWriter& writer, int mode = -1);

// Writes the whole new content into the file named `temp_path` (fresh and
// empty; the writer opens it by name, as a library that takes output paths
// does) and returns 0, or a negative result that abandons the replace.
using PathWriter = std::function<int(const ustring& temp_path)>;

// DurableReplace for a writer that needs a path rather than a descriptor.
// The same results; the temporary is flushed through its own descriptor,
// which covers whatever the writer wrote under the name. A writer that put
// another file under the name fails the replace (-1, ESTALE).
[[nodiscard]] int DurableReplaceByPath(const ustring& target, const PathWriter& writer, int mode = -1);

// DurableReplace with a fixed content.
[[nodiscard]] int DurableReplaceContent(const ustring& target, std::string_view content,
                                        int mode = -1);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_DURABLE_REPLACE_H_
