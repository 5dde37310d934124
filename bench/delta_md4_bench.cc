// Throughput of the delta engine's inner pieces on 2048-byte blocks: one MD4
// at a time (what a delta does per candidate), several lanes at once (what a
// signature does), and the weak sum.

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "delta/md4.h"
#include "delta/rolling_checksum.h"

namespace {

constexpr size_t kBlock = 2048;
constexpr size_t kBlocks = 512;  // 1 MiB, one input piece

std::vector<uint8_t> Data() {
  std::vector<uint8_t> data(kBlock * kBlocks);
  std::mt19937 rng(1);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  return data;
}

void BM_MD4OneBlockAtATime(benchmark::State& state) {
  const std::vector<uint8_t> data = Data();
  uint8_t digest[tidewell::kMD4DigestSize];
  for (auto _ : state) {
    for (size_t i = 0; i < kBlocks; ++i) tidewell::MD4Digest(data.data() + i * kBlock, kBlock, digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_MD4OneBlockAtATime);

void BM_MD4ManyBlocks(benchmark::State& state) {
  const std::vector<uint8_t> data = Data();
  std::vector<uint8_t> digests(kBlocks * tidewell::kMD4DigestSize);
  for (auto _ : state) {
    tidewell::MD4DigestMany(data.data(), kBlock, kBlock, kBlocks, digests.data());
    benchmark::DoNotOptimize(digests.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_MD4ManyBlocks);

void BM_WeakSum(benchmark::State& state) {
  const std::vector<uint8_t> data = Data();
  for (auto _ : state) {
    uint32_t sum = 0;
    for (size_t i = 0; i < kBlocks; ++i) sum ^= tidewell::WeakSum(data.data() + i * kBlock, kBlock);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_WeakSum);

}  // namespace

BENCHMARK_MAIN();
