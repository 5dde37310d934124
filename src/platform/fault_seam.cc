#include "platform/fault_seam.h"

#include <atomic>
#include <cerrno>
#include <mutex>

namespace tidewell {

namespace {

struct Plan {
  int error = 0;
  int skip = 0;
  int count = 0;
};

constexpr int kPoints = static_cast<int>(FaultPoint::kCount);

std::atomic<bool> g_armed{false};
std::mutex g_lock;
Plan g_plans[kPoints];  // guarded by g_lock

}  // namespace

void ArmFault(FaultPoint point, int error, int count, int skip) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_plans[static_cast<int>(point)] = Plan{error, skip, count};
  g_armed.store(true);
}

void DisarmFaults() {
  std::lock_guard<std::mutex> lock(g_lock);
  for (Plan& p : g_plans) p = Plan{};
  g_armed.store(false);
}

bool FaultDue(FaultPoint point) {
  if (!g_armed.load(std::memory_order_relaxed)) return false;
  std::lock_guard<std::mutex> lock(g_lock);
  Plan& p = g_plans[static_cast<int>(point)];
  if (p.count <= 0) return false;
  if (p.skip > 0) {
    --p.skip;
    return false;
  }
  --p.count;
  errno = p.error;
  return true;
}

}  // namespace tidewell
