// Helpers shared by the delta engine's tests: seeded data, whole-file reads
// and one-call wrappers around the readers.

#ifndef TIDEWELL_TESTS_DELTA_DELTA_TEST_UTIL_H_
#define TIDEWELL_TESTS_DELTA_DELTA_TEST_UTIL_H_

#include <cstdint>
#include <random>
#include <string>

#include "base/ustring.h"
#include "common/random.h"
#include "common/temp_dir.h"
#include "delta/delta_file_reader.h"
#include "delta/file_reader.h"

namespace tidewell::testing {

using ::tidewell::testing::RandomBytes;

inline std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

// Signature of `input` (a path in `dir`) into `sig`; the reader's result.
inline int MakeSignature(const TempDir& dir, const std::string& input, const std::string& sig,
                         uint32_t block = 2048, uint32_t hash = 8) {
  SimpleFileReader reader;
  reader.setFile(ustring(dir.Join(input)));
  reader.setSignature(ustring(dir.Join(sig)), block, hash);
  return reader.readFile();
}

inline int MakeDelta(const TempDir& dir, const std::string& sig, const std::string& input,
                     const std::string& delta) {
  SimpleFileReader reader;
  reader.setFile(ustring(dir.Join(input)));
  reader.setDelta(ustring(dir.Join(delta)), ustring(dir.Join(sig)));
  return reader.readFile();
}

// Applies `delta` to `basis` into `out`; `reverse` (optional) receives the
// reverse delta.
inline int ApplyDelta(const TempDir& dir, const std::string& basis, const std::string& delta,
                      const std::string& out, const std::string& reverse = "") {
  DeltaFileReader reader;
  reader.setFile(ustring(dir.Join(delta)), ustring(dir.Join(basis)));
  reader.setNewFile(ustring(dir.Join(out)));
  if (!reverse.empty()) reader.setReverseDeltaFile(ustring(dir.Join(reverse)));
  return reader.readFile();
}

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_DELTA_DELTA_TEST_UTIL_H_
