// SFFile: a scratch file that is made in a chosen folder on demand and
// deleted only when asked; copies name the same file.
// Not synchronised: one object belongs to one thread at a time. The
// process-wide default folder may be set from any thread.

#ifndef TIDEWELL_PLATFORM_SF_FILE_H_
#define TIDEWELL_PLATFORM_SF_FILE_H_

#include <cstdint>

#include "base/ustring.h"

namespace tidewell {

class SFFile {
 public:
  // Files are made in `prefix`, or in the default folder when it is empty.
  explicit SFFile(const ustring& prefix = ustring());

  // Replaces the default folder (initially "/tmp").
  static void initialize(const ustring& prefix);

  // Makes a new empty file with a unique name in the folder, unless a path is
  // already set (then it is kept: DEBUG "use exist file"). 0, or -1 with
  // ERROR "failed to create File ...".
  [[nodiscard]] int create();

  // Deletes the file (DEBUG "removing File '%s'") and forgets the path.
  // The result of the deletion (0 or -1).
  int remove();

  const ustring& getPath() const { return m_path; }

  // The file's size, or -1 when it cannot be examined or does not exist.
  int64_t getSize() const;

  void setPrefix(const ustring& prefix) { m_prefix = prefix; }

 private:
  ustring m_prefix;  // the folder new files are made in
  ustring m_path;    // empty until created
};

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_SF_FILE_H_
