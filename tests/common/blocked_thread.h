// Knowing that another thread is blocked, so a test can raise an abort flag
// or close a socket while an operation really waits, not before it starts.
// Reads the thread's state from /proc: a thread asleep in the kernel (poll,
// read, a lock) shows 'S'.

#ifndef TIDEWELL_TESTS_COMMON_BLOCKED_THREAD_H_
#define TIDEWELL_TESTS_COMMON_BLOCKED_THREAD_H_

#include <sys/types.h>

#include <chrono>

namespace tidewell::testing {

// The calling thread's kernel id, to hand to the thread that waits for it.
pid_t CurrentThreadId();

// Waits until thread `tid` of this process is asleep, at most `limit`.
// True once it is; false when the limit passed first (or it ended).
bool AwaitAsleep(pid_t tid, std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_COMMON_BLOCKED_THREAD_H_
