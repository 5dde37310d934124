#include "common/blocked_thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

namespace tidewell::testing {

pid_t CurrentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

bool AwaitAsleep(pid_t tid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(path);
    std::string stat;
    if (!std::getline(in, stat)) return false;  // the thread is gone
    // "tid (name) S ...": the state follows the last ')', as the name may
    // hold anything.
    const size_t close = stat.rfind(')');
    if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S') return true;
    std::this_thread::yield();
  }
  return false;
}

}  // namespace tidewell::testing
