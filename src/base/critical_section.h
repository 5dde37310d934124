// CriticalSection: holds a mutex from start() until end() or the end of the
// scope, so an early return always leaves the section. Made for one use on
// one thread; not shared between threads.

#ifndef TIDEWELL_BASE_CRITICAL_SECTION_H_
#define TIDEWELL_BASE_CRITICAL_SECTION_H_

#include <mutex>

namespace tidewell {

class CriticalSection {
 public:
  // A section over `mutex` (not owned; may be null, then nothing is locked).
  explicit CriticalSection(std::mutex* mutex) : lock_mutex(mutex) {}
  // A section over a file descriptor: file locking is not offered here, so
  // start() and end() only track the state.
  explicit CriticalSection(int fd) : lock_fd(fd) {}
  ~CriticalSection() { end(); }

  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  // Enters the section unless already inside (DEBUG
  // "entering critical section").
  void start();
  // Leaves the section if inside (DEBUG "leaving critical section").
  void end();
  bool inside() const { return in_lock; }
  // The descriptor given at construction, or -1 for a mutex section.
  int descriptor() const { return lock_fd; }

  // Plain helpers: 0, or -1 for a null mutex. The descriptor forms do
  // nothing and return -1.
  static int lock(std::mutex* mutex);
  static int unlock(std::mutex* mutex);
  static int lock(int fd);
  static int unlock(int fd);

 private:
  // Set at construction.
  std::mutex* lock_mutex = nullptr;
  int lock_fd = -1;
  // Whether start() holds the section.
  bool in_lock = false;
};

}  // namespace tidewell

#endif  // TIDEWELL_BASE_CRITICAL_SECTION_H_
