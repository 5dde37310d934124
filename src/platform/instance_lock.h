// A lock that marks one running instance of a program per lock file, held
// for as long as the process (or the object) lives. It rests on flock(2),
// so a crashed holder never leaves a stale lock behind, and the descriptor
// is close-on-exec, so child processes do not inherit it.
//
// Not thread-safe; one thread owns an object.

#ifndef TIDEWELL_PLATFORM_INSTANCE_LOCK_H_
#define TIDEWELL_PLATFORM_INSTANCE_LOCK_H_

#include <string>

namespace tidewell {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock() { Release(); }
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock on `path` (created 0600 when missing) without waiting.
  // 1 taken, 0 held by another process (or another object), -1 when the
  // file cannot be opened (errno set).
  int TryAcquire(const std::string& path);

  // Drops the lock; safe when none is held.
  void Release();

  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Whether some process holds the lock on `path`: 1 held, 0 free (or no
// file), -1 when it cannot be told. Takes and drops the lock to find out.
int IsInstanceLockHeld(const std::string& path);

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_INSTANCE_LOCK_H_
