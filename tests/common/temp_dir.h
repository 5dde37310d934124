// A fresh folder under the system temporary directory for one test, removed
// with everything in it when the object goes away. Not thread-safe.

#ifndef TIDEWELL_TESTS_COMMON_TEMP_DIR_H_
#define TIDEWELL_TESTS_COMMON_TEMP_DIR_H_

#include <string>

namespace tidewell::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder's absolute path, without a trailing "/".
  const std::string& path() const { return path_; }

  // path() + "/" + relative.
  std::string Join(const std::string& relative) const;

  // Writes `content` to the relative path, creating parent folders.
  // Fails the current test on error.
  void WriteFile(const std::string& relative, const std::string& content) const;

  // Returns the whole content of the relative path, or "" when unreadable.
  std::string ReadFile(const std::string& relative) const;

 private:
  std::string path_;
};

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_COMMON_TEMP_DIR_H_
