// TempFile: a temporary file shared by the TempFile objects that own it and
// deleted when the last owner goes, unless that owner made it permanent.
//
// Not synchronised: the owner count is not locked, so all owners of one file
// must live on one thread. The process-wide default folder may be set from
// any thread.

#ifndef TIDEWELL_PLATFORM_TEMP_FILE_H_
#define TIDEWELL_PLATFORM_TEMP_FILE_H_

#include <memory>

#include "base/ustring.h"

namespace tidewell {

class TempFile {
 public:
  // Files are made in `prefix`, or in the default folder when it is empty.
  explicit TempFile(const ustring& prefix = ustring());
  // The copy becomes another owner of the same file.
  TempFile(const TempFile& other);
  // Gives up this object's file as destruction does, then shares `other`'s.
  TempFile& operator=(const TempFile& other);
  // The last owner deletes the file unless it was made permanent.
  ~TempFile();

  // Replaces the default folder (initially "/tmp").
  static void initialize(const ustring& prefix);

  // Makes a new empty file with a unique name in the folder and becomes its
  // only owner (DEBUG "creating TempFile '%s'"). -1 when this object already
  // owns a file, or with ERROR "failed to create TempFile ..." when it
  // cannot be made; else 0.
  [[nodiscard]] int create();

  // Deletes the file now (DEBUG "removing TempFile '%s'"); every owner then
  // holds no file. The result of the deletion (0 or -1).
  int remove();

  // Keeps the file when this object, as the last owner, goes away.
  void convert_permanent() { permanent = true; }

  const ustring& getPath() const { return path; }
  void setPrefix(const ustring& prefix) { tmp_prefix = prefix; }

  // Owners of this object's file (0 when it holds none). For tests.
  int ownerCount() const { return *ref; }

 private:
  // Gives up ownership: one owner fewer, and the last one deletes the file
  // unless it is permanent.
  void Drop();
  // Drop, then hold no file.
  void Release();

  ustring tmp_prefix;
  ustring path;
  std::shared_ptr<int> ref;  // owners of `path`, shared among them
  bool permanent = false;
};

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_TEMP_FILE_H_
