// File operations confined to one session's folder.
//
// Everything the sync engine writes, renames or removes inside a session
// goes through a SessionFs opened on the session's root. Paths are relative
// to that root ("/a/b" or "a/b"; "/" and "" name the root itself) and are
// resolved by the kernel with openat2(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS):
// no component may be a symbolic link and nothing can climb above the root,
// so a hostile server path or a link planted inside the folder can never
// make the engine touch a file outside the session. The final component is
// never followed either: Stat reports a link as FT_SLINK, Open refuses it,
// Rename, Unlink and SetTimes act on the link itself.
//
// Results: 0 (or a count) on success, otherwise the negated errno value of
// the failing call, for example -ENOENT, -ELOOP (a component is a symbolic
// link), -EXDEV (the path would leave the root), -EINVAL (a path with a NUL
// byte or an empty, "." or ".." component), -ENAMETOOLONG. Nothing here
// logs: callers log with the path and SessionFsErrorString.
//
// CheckSessionPath is the separate test for paths that come from the server
// or from events: it also refuses the working folder, which holds the
// engine's own temporaries and must never be named by a synchronised item.
//
// Thread-safety: a SessionFs is immutable after Open and may be used from
// several threads; the calls are as atomic as the system calls behind them.

#ifndef TIDEWELL_PLATFORM_SESSION_FS_H_
#define TIDEWELL_PLATFORM_SESSION_FS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/ustring.h"
#include "platform/file_types.h"

namespace tidewell {

// The session's working folder and, inside it, the recycle folder.
inline constexpr const char* kWorkingFolderName = ".VeltronaWorkingDirectory";
inline constexpr const char* kRecycleFolderName = "#VeltRecycle";

// Results of CheckSessionPath.
enum SessionPathCheck : int {
  kPathOk = 0,
  kPathNotRooted = -1,       // empty, or not beginning with "/"
  kPathHasNul = -2,          // a NUL byte
  kPathNotUtf8 = -3,         // bytes that are not valid UTF-8
  kPathBadComponent = -4,    // an empty, "." or ".." component
  kPathWorkingFolder = -5,   // the working folder or something inside it
};

// Tests a session-relative path named by the server or an event: 0 for "/"
// and for "/" followed by clean components outside the working folder,
// else the SessionPathCheck value saying why. Pure; any thread.
[[nodiscard]] int CheckSessionPath(const ustring& path);
// A short English reason for a CheckSessionPath result.
const char* SessionPathCheckString(int result);

// Text of a negated errno result of SessionFs ("symbolic link in path" for
// -ELOOP, "path leaves the session" for -EXDEV, else strerror).
std::string SessionFsErrorString(int result);

// An owned file descriptor; closed when the object goes. Movable.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// One entry of SessionFs::List; links are reported, never followed.
struct SessionDirEntry {
  std::string name;
  FILE_TYPE type = FT_ERR;
  uint32_t mtime = 0;
  uint64_t size = 0;  // regular files only
};

class SessionFs {
 public:
  SessionFs() = default;
  SessionFs(const SessionFs&) = delete;
  SessionFs& operator=(const SessionFs&) = delete;

  // Opens the root directory `root` (an absolute path; links in the root's
  // own path are the user's choice and are followed). 0, or -errno (the
  // object then stays closed). Reopening replaces the previous root.
  [[nodiscard]] int Open(const ustring& root);
  bool IsOpen() const { return root_fd_.valid(); }
  const ustring& root() const { return root_; }

  // root() + the relative path, for log lines and path-based helpers.
  ustring FullPath(const ustring& rel) const;

  // Opens an existing regular file for reading (close-on-exec). -EISDIR for
  // a directory, -EINVAL for any other kind (a FIFO is never waited on).
  [[nodiscard]] int OpenRead(const ustring& rel, UniqueFd& out) const;

  // Creates a regular file for writing with `mode` (less the umask):
  // `exclusive` fails with -EEXIST when the name exists, otherwise an
  // existing regular file is truncated. The parent must exist.
  [[nodiscard]] int Create(const ustring& rel, bool exclusive, int mode, UniqueFd& out) const;

  // Creates one directory; an existing directory is success, a link under
  // the name is -ELOOP, anything else -EEXIST.
  [[nodiscard]] int MakeDir(const ustring& rel, int mode = 0777) const;
  // MakeDir for every component of `rel` from the top down.
  [[nodiscard]] int MakeDirs(const ustring& rel, int mode = 0777) const;

  // lstat of `rel`: fills `info` (type, mtime, size for regular files,
  // isExist, path = FullPath(rel)). A missing item, or an intermediate
  // component that is missing or not a directory, gives 0 with isExist
  // false. A link among the intermediate components gives -ELOOP.
  [[nodiscard]] int Stat(const ustring& rel, FILE_INFO& info) const;
  // fstat of an open descriptor into the same record (path left empty).
  [[nodiscard]] static int StatFd(int fd, FILE_INFO& info);

  // Moves `from` to `to`, both below the root. With `replace` an existing
  // `to` is replaced as rename(2) does; without, an existing `to` fails
  // with -EEXIST. Both directories are flushed afterwards.
  [[nodiscard]] int Rename(const ustring& from, const ustring& to, bool replace) const;

  // Flushes the regular file `tmp` to disk, renames it over `target`
  // (replacing a file, never a directory: -EISDIR) and flushes the target's
  // directory: the target then holds either its old or its new content after
  // a crash, never a torn one. On failure `tmp` stays for the caller.
  [[nodiscard]] int DurableReplace(const ustring& tmp, const ustring& target) const;

  // Removes a file (or a link, itself) / an empty directory.
  [[nodiscard]] int Unlink(const ustring& rel) const;
  [[nodiscard]] int RemoveDir(const ustring& rel) const;
  // Removes `rel` and everything below it without following links. A
  // missing `rel` is 0. The walk goes on past entries it cannot remove and
  // returns the first failure.
  [[nodiscard]] int RemoveTree(const ustring& rel) const;

  // Sets the modification time of `rel` itself (a link is not followed);
  // the access time is left alone.
  [[nodiscard]] int SetTimes(const ustring& rel, uint32_t mtime) const;

  // The entries of directory `rel` except "." and "..", in no order, with
  // kind, time and size. -ENOTDIR when `rel` is not a directory.
  [[nodiscard]] int List(const ustring& rel, std::vector<SessionDirEntry>& out) const;

  // A path that opens the same file as the descriptor `fd`
  // ("/proc/self/fd/<fd>"), for readers that take path names. Valid while
  // `fd` stays open.
  static ustring FdPath(int fd);

 private:
  // Opens the directory holding the last component of `rel` as an O_PATH
  // descriptor and stores that component in `name`. An empty `name` means
  // `rel` names the root itself.
  int OpenParent(const std::string& rel, UniqueFd& dir, std::string& name) const;

  // Set by Open.
  ustring root_;
  UniqueFd root_fd_;
};

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_SESSION_FS_H_
