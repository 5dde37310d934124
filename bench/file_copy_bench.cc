// FSCopy against cp followed by sync of the copy (the same work: cp uses
// copy_file_range as well, and FSCopy flushes the copy before putting it in
// place). Files live in a temporary folder under $TMPDIR.
//
//   build/release/bench/file_copy_bench --benchmark_min_time=1
//
// Compare BM_FSCopy/N with BM_CpAndSync/N; the sparse pair copies a 256 MiB
// file holding 1 MiB of data.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/file_copy.h"

namespace {

std::string Workdir() {
  static const std::string dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tidewell-copy-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  // Registered only once `dir` exists, so the clean-up runs before `dir` is
  // destroyed at exit.
  static const bool cleanup = [] {
    std::atexit([] { std::filesystem::remove_all(Workdir()); });
    return true;
  }();
  (void)cleanup;
  return dir;
}

// A source file of `mib` MiB of random data, or, when `sparse`, of that
// size with one MiB of data at its start.
std::string Source(int mib, bool sparse) {
  std::string path = Workdir() + "/src-" + std::to_string(mib) + (sparse ? "-sparse" : "");
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return path;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::mt19937_64 rng(mib);
  std::vector<uint64_t> block((1 << 20) / sizeof(uint64_t));
  for (int i = 0; i < (sparse ? 1 : mib); ++i) {
    for (auto& v : block) v = rng();
    if (write(fd, block.data(), 1 << 20) != 1 << 20) std::abort();
  }
  if (ftruncate(fd, off_t{mib} << 20) != 0) std::abort();
  fsync(fd);
  close(fd);
  return path;
}

void BM_FSCopy(benchmark::State& state, bool sparse) {
  std::string src = Source(static_cast<int>(state.range(0)), sparse);
  std::string dst = Workdir() + "/dst";
  for (auto _ : state) {
    if (tidewell::FSCopy(src.c_str(), dst.c_str(), false) != 0) state.SkipWithError("FSCopy");
    state.PauseTiming();
    unlink(dst.c_str());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * (state.range(0) << 20));
}

void BM_CpAndSync(benchmark::State& state, bool sparse) {
  std::string src = Source(static_cast<int>(state.range(0)), sparse);
  std::string dst = Workdir() + "/dst";
  std::string cmd = "cp --reflink=never '" + src + "' '" + dst + "' && sync '" + dst + "'";
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("cp");
    state.PauseTiming();
    unlink(dst.c_str());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * (state.range(0) << 20));
}

BENCHMARK_CAPTURE(BM_FSCopy, dense, false)
    ->Arg(1)
    ->Arg(64)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_CpAndSync, dense, false)
    ->Arg(1)
    ->Arg(64)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_FSCopy, sparse, true)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_CpAndSync, sparse, true)
    ->Arg(256)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
