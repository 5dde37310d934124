// The fixed basis file the patch target applies its inputs to. The seed
// writer builds its deltas against the same bytes, so that seeded copy
// commands land inside the basis.

#ifndef TIDEWELL_FUZZ_PATCH_BASIS_H_
#define TIDEWELL_FUZZ_PATCH_BASIS_H_

#include <cstddef>
#include <string>

namespace tidewell::fuzzing {

// 5,000 bytes with little repetition: two whole 2,048-byte blocks and a short
// last one at the default block size.
inline std::string PatchBasis() {
  std::string basis(5000, '\0');
  for (size_t i = 0; i < basis.size(); ++i) basis[i] = static_cast<char>(i * 7 + (i >> 8));
  return basis;
}

}  // namespace tidewell::fuzzing

#endif  // TIDEWELL_FUZZ_PATCH_BASIS_H_
