// Speed of the file event database on a session-sized table: recording rows
// one by one as the workers do, looking rows up, and listing the whole
// session for a rescan.
//
// Size: TIDEWELL_BENCH_ROWS file rows (default 100000) spread over one
// folder per 100 rows. CI runs it small: TIDEWELL_BENCH_ROWS=1000.

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "base/log.h"
#include "db/file_event_db.h"

namespace tidewell {
namespace {

namespace fs = std::filesystem;

int Rows() {
  const char* env = std::getenv("TIDEWELL_BENCH_ROWS");
  int rows = env != nullptr ? std::atoi(env) : 0;
  return rows > 0 ? rows : 100000;
}

int Folders() { return Rows() / 100 > 0 ? Rows() / 100 : 1; }

std::string PathOf(int i) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "/folder%04d/file%06d.dat", i % Folders(), i);
  return buf;
}

// A scratch folder removed at exit.
class Scratch {
 public:
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "tidewell-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

ClientFileEventInfo Record(int i) {
  ClientFileEventInfo info;
  info.fileType = 0;
  info.isExist = 1;
  info.syncID = static_cast<uint64_t>(i + 1);
  info.maxSyncID = info.syncID;
  info.fileSize = static_cast<uint64_t>(i) * 37;
  info.fileModTime = 1700000000u + static_cast<uint32_t>(i);
  info.fileCheckSum = "0123456789abcdef0123456789abcdef";
  info.path = ustring(PathOf(i));
  info.baseName = "file.dat";
  info.updateClient = "bench";
  return info;
}

// setEventInfo for every row of a fresh database, one call per row.
void BM_SetEventInfo(benchmark::State& state) {
  const int rows = Rows();
  for (auto _ : state) {
    state.PauseTiming();
    Scratch dir;
    auto db = std::make_unique<FileEventDB>();
    if (db->initialize(ustring(dir.path() + "/event-db.sqlite")) != 0) std::abort();
    state.ResumeTiming();
    for (int i = 0; i < rows; ++i) {
      if (db->setEventInfo(Record(i)) != 0) std::abort();
    }
    state.PauseTiming();
    db.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * rows);
}

// One populated database shared by the read benchmarks.
FileEventDB& Populated() {
  static Scratch dir;
  static FileEventDB db;
  static bool ready = [] {
    std::string file = dir.path() + "/event-db.sqlite";
    if (db.initialize(ustring(file)) != 0) std::abort();
    for (int i = 0; i < Rows(); ++i) {
      if (db.setEventInfo(Record(i)) != 0) std::abort();
    }
    return true;
  }();
  (void)ready;
  return db;
}

void BM_GetEventInfo(benchmark::State& state) {
  FileEventDB& db = Populated();
  std::mt19937 rng(1);
  ClientFileEventInfo info;
  for (auto _ : state) {
    if (db.getEventInfo(ustring(PathOf(static_cast<int>(rng() % Rows()))), info) != 1) std::abort();
    benchmark::DoNotOptimize(info.syncID);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_GetFileList(benchmark::State& state) {
  FileEventDB& db = Populated();
  for (auto _ : state) {
    StringBuffer buf;
    FileList list(buf);
    if (db.getFileList(&list, "/") != 0) std::abort();
    benchmark::DoNotOptimize(list.rbegin());
  }
  state.SetItemsProcessed(state.iterations() * (Rows() + Folders()));
}

BENCHMARK(BM_SetEventInfo)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
BENCHMARK(BM_GetEventInfo)->Unit(benchmark::kMicrosecond)->Repetitions(3)->UseRealTime();
BENCHMARK(BM_GetFileList)->Unit(benchmark::kMillisecond)->Repetitions(3)->UseRealTime();

}  // namespace
}  // namespace tidewell

int main(int argc, char** argv) {
  // Debug lines of the database would dominate the measurement.
  (void)tidewell::Logger::Initialize(tidewell::Logger::STDERR_LOGGER, "", "", 50);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::printf("rows=%d folders=%d\n", tidewell::Rows(), tidewell::Folders());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
