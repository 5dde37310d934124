#include "common/random.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tidewell::testing {

uint64_t TestSeed() {
  const char* env = std::getenv("TIDEWELL_SEED");
  uint64_t seed = kDefaultSeed;
  if (env != nullptr && std::strcmp(env, "random") == 0) {
    seed = (static_cast<uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
  } else if (env != nullptr && *env != '\0') {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(env, &end, 10);
    if (errno != 0 || end == env || *end != '\0') {
      ADD_FAILURE() << "TIDEWELL_SEED must be a number or \"random\", not '" << env << "'";
    } else {
      seed = v;
    }
  }
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::printf("[   SEED   ] TIDEWELL_SEED=%llu %s.%s\n", static_cast<unsigned long long>(seed),
              test != nullptr ? test->test_suite_name() : "", test != nullptr ? test->name() : "");
  std::fflush(stdout);
  if (test != nullptr) ::testing::Test::RecordProperty("seed", std::to_string(seed));
  return seed;
}

std::string RandomBytes(std::mt19937_64& rng, size_t n) {
  std::string s(n, '\0');
  size_t i = 0;
  // Eight bytes per draw.
  for (; i + 8 <= n; i += 8) {
    const uint64_t v = rng();
    std::memcpy(&s[i], &v, 8);
  }
  if (i < n) {
    const uint64_t v = rng();
    std::memcpy(&s[i], &v, n - i);
  }
  return s;
}

std::string RandomBytes(uint64_t seed, size_t n) {
  std::mt19937_64 rng(seed);
  return RandomBytes(rng, n);
}

}  // namespace tidewell::testing
