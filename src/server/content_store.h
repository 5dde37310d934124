// The server's data folder on disk, apart from the database: blobs (stored
// content, named by SHA-256, in two levels of fan-out folders) and the
// temporary folder where bodies are received and files are built before
// they are installed as blobs.
//
//   DIR/blobs/ab/cd/abcd...    one file per blob, never changed once there
//   DIR/tmp/                   bodies and built files of running requests;
//                              emptied at start
//   DIR/tmp/resume/<token>     bytes held by a resumable upload; kept
//   DIR/tmp/download/          prepared download bodies; emptied at start
//
// A blob file is trusted only while the database lists the blob: a crash
// can leave a file that no committed row names (installed, not yet
// committed), and Sweep removes those at start.
//
// Thread-safe: the methods touch only the paths they are given.

#ifndef TIDEWELL_SERVER_CONTENT_STORE_H_
#define TIDEWELL_SERVER_CONTENT_STORE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tidewell::server {

class ContentStore {
 public:
  explicit ContentStore(std::string data_dir);

  // Creates the folders and empties tmp/ and tmp/download/ of leftovers.
  // 0, or -1 after logging.
  [[nodiscard]] int Init();

  const std::string& data_dir() const { return data_dir_; }
  const std::string& tmp_dir() const { return tmp_dir_; }
  const std::string& resume_dir() const { return resume_dir_; }
  const std::string& download_dir() const { return download_dir_; }
  std::string BlobPath(std::string_view sha256) const;

  // Creates a fresh empty file in `dir` (tmp_dir() unless given) and stores
  // its path. 0 or -1.
  [[nodiscard]] int NewTemp(std::string& path, const std::string& dir = {}) const;

  // Moves a finished file to the place of blob `sha256`, making the
  // fan-out folders as needed, without flushing anything (see Sync).
  // 0 or -1 (logged).
  [[nodiscard]] int Install(const std::string& file, std::string_view sha256) const;

  // Makes the blobs installed since the last Sync durable, names included:
  // a few by flushing each file and its folders, many by one flush of the
  // file system. 0 or -1 (logged).
  [[nodiscard]] int Sync(const std::vector<std::string>& sha256s) const;

  // Deletes a blob's file (after the commit that dropped it).
  void Remove(std::string_view sha256) const;

  // Deletes blob files whose name `known` does not hold. Returns how many.
  int Sweep(const std::unordered_set<std::string>& known) const;

  // Bytes an unprivileged writer may still put on the data folder's file
  // system; UINT64_MAX when unknown.
  uint64_t FreeBytes() const;

 private:
  const std::string data_dir_;
  const std::string blob_dir_;
  const std::string tmp_dir_;
  const std::string resume_dir_;
  const std::string download_dir_;
};

}  // namespace tidewell::server

#endif  // TIDEWELL_SERVER_CONTENT_STORE_H_
