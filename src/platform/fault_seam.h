// A seam through which tests make chosen operating-system calls of the
// platform layer fail with a chosen errno, so the branches for a full disk,
// a failed flush or a refused rename can be tested without root, a full
// disk or a broken device.
//
// Nothing in the programs arms it; an unarmed seam costs the calls it
// guards one relaxed atomic load.
//
// Thread-safe: arming, disarming and the checks may run on any threads.

#ifndef TIDEWELL_PLATFORM_FAULT_SEAM_H_
#define TIDEWELL_PLATFORM_FAULT_SEAM_H_

namespace tidewell {

// The guarded calls.
enum class FaultPoint : int {
  kWrite = 0,  // write(2)/send(2) in WriteAll
  kFileSync,   // fsync(2) of a file: DurableReplace, the delta engine's fd_sync
  kDirSync,    // fsync(2) of a directory: SyncDirectory
  kRename,     // rename(2) in DurableReplace
  kCount,
};

// Lets the next `skip` calls at `point` through, then fails the `count`
// calls after them with `error`. Re-arming a point replaces its plan.
void ArmFault(FaultPoint point, int error, int count = 1, int skip = 0);
// Disarms every point.
void DisarmFaults();
// For the guarded calls: true, with errno set to the planned error, when
// this call is to fail.
bool FaultDue(FaultPoint point);

// Arms one point for a scope and disarms every point at its end.
class ScopedFault {
 public:
  ScopedFault(FaultPoint point, int error, int count = 1, int skip = 0) { ArmFault(point, error, count, skip); }
  ~ScopedFault() { DisarmFaults(); }
  ScopedFault(const ScopedFault&) = delete;
  ScopedFault& operator=(const ScopedFault&) = delete;
};

}  // namespace tidewell

#endif  // TIDEWELL_PLATFORM_FAULT_SEAM_H_
