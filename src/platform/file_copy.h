// Copying a file's content to another path.

#ifndef TIDEWELL_PLATFORM_FILE_COPY_H_
#define TIDEWELL_PLATFORM_FILE_COPY_H_

#include "base/ustring.h"

namespace tidewell {

// Copies the regular file `from` to `to`, replacing `to` durably (see
// DurableReplace): on failure `to` keeps its old content and `from` stays.
// Holes of a sparse source stay holes where the file system allows. With
// `isDelOrigin`, `from` is deleted once the copy is on disk.
// 0; -2 when the disk or quota is full; -1 otherwise, with ERROR
// "FSCopy: Invalid source (%s). Error code %d\n",
// "FSCopy: Invalid destination. Error code %d\n" (also when `to` is `from`),
// "FSCopy: ReadFile failed with error code %d\n",
// "FSCopy: WriteFile failed with error code %d\n" or
// "FSCopy: DeleteFile failed with error code %d\n".
// Safe from any thread.
[[nodiscard]] int FSCopy(const ustring& from, const ustring& to, bool isDelOrigin);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_FILE_COPY_H_
