// ustring against std::string on the operations paths go through most:
// copying, map lookups, separator searches, and the UTF-16 form.

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "base/ustring.h"

namespace {

std::vector<std::string> Paths(size_t n) {
  std::vector<std::string> out;
  for (size_t i = 0; i < n; ++i) {
    out.push_back("/home/user/Documents/projects/p" + std::to_string(i % 97) + "/src/f\xc3\xa9" +
                  std::to_string(i) + ".txt");
  }
  return out;
}

template <typename S>
void BM_Copy(benchmark::State& state) {
  const S s(Paths(1)[0]);
  for (auto _ : state) {
    S copy(s);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_Copy<std::string>);
BENCHMARK(BM_Copy<tidewell::ustring>);

template <typename S>
void BM_MapLookup(benchmark::State& state) {
  std::map<S, int> m;
  std::vector<S> keys;
  for (const std::string& p : Paths(10000)) {
    m.emplace(S(p), 1);
    keys.emplace_back(p);
  }
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(m.find(keys[i]));
    i = (i + 7919) % keys.size();
  }
}
BENCHMARK(BM_MapLookup<std::string>);
BENCHMARK(BM_MapLookup<tidewell::ustring>);

template <typename S>
void BM_FindLastSeparator(benchmark::State& state) {
  const S s(Paths(1)[0]);
  for (auto _ : state) benchmark::DoNotOptimize(s.find_last_of('/'));
}
BENCHMARK(BM_FindLastSeparator<std::string>);
BENCHMARK(BM_FindLastSeparator<tidewell::ustring>);

// The UTF-16 form after a change (conversion each time) and cached.
void BM_Utf16AfterChange(benchmark::State& state) {
  tidewell::ustring s(Paths(1)[0]);
  for (auto _ : state) {
    s[0] = '/';
    benchmark::DoNotOptimize(s.c_str());
  }
}
BENCHMARK(BM_Utf16AfterChange);

void BM_Utf16Cached(benchmark::State& state) {
  const tidewell::ustring s(Paths(1)[0]);
  for (auto _ : state) benchmark::DoNotOptimize(s.c_str());
}
BENCHMARK(BM_Utf16Cached);

void BM_NormalizeNfc(benchmark::State& state) {
  const tidewell::ustring s(Paths(1)[0]);
  for (auto _ : state) benchmark::DoNotOptimize(s.normalize(tidewell::ustring::NFC));
}
BENCHMARK(BM_NormalizeNfc);

}  // namespace

BENCHMARK_MAIN();
