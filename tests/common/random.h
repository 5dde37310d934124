// Seeds and random data for randomised tests.
//
// Every randomised test takes its seed from TestSeed(), which reads one
// environment variable, TIDEWELL_SEED:
//   unset         the fixed default seed, so every run (and CI) is the same;
//   a number      that seed, to replay a failure;
//   "random"      a fresh seed from the system, to explore.
// The seed is always printed, with the test's name, so a failure seen once
// can be replayed with TIDEWELL_SEED=<printed number>.
//
// Not thread-safe: call TestSeed from the test's own thread.

#ifndef TIDEWELL_TESTS_COMMON_RANDOM_H_
#define TIDEWELL_TESTS_COMMON_RANDOM_H_

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace tidewell::testing {

// The seed when TIDEWELL_SEED is unset.
constexpr uint64_t kDefaultSeed = 20240611;

// The seed for this test, printed (see above). An unparsable TIDEWELL_SEED
// fails the test and gives the default.
uint64_t TestSeed();

// `n` bytes from `rng`.
std::string RandomBytes(std::mt19937_64& rng, size_t n);
// `n` bytes from a generator seeded with `seed`: the same bytes for the
// same seed.
std::string RandomBytes(uint64_t seed, size_t n);

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_COMMON_RANDOM_H_
