// Event tree throughput: push N file events, then drain them through Pop and
// DoneEvent, as a single worker would. Two shapes: files spread over many
// folders, and all files in one folder (which must not make each operation
// linear in the folder's size). Each shape runs at a quarter, half and the
// full size so that the per-event cost shows whether growth is linear.
//
//   event_tree_bench [--scale=F] [benchmark flags]
//
// --scale multiplies every size (CI runs with a small scale, e.g. 0.01).

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "events/event.h"
#include "events/event_tree.h"

namespace tidewell {
namespace {

std::vector<Event> MakeEvents(int64_t count, int64_t folders) {
  std::vector<Event> events;
  events.reserve(count);
  for (int64_t i = 0; i < count; ++i) {
    Event e;
    e.m_type = Event::EV_MODIFY;
    e.m_mode = (i & 1) ? Event::F_SERVER : 0;
    e.m_sync_id = (i & 1) ? static_cast<uint64_t>(i) : 0;
    e.m_sess_id = 1;
    e.m_data_size = 4096;
    std::string path = "/top/d" + std::to_string(i % folders) + "/file" +
                       std::to_string(i / folders) + ".dat";
    e.m_path = path;
    events.push_back(std::move(e));
  }
  return events;
}

void BM_PushPopDone(benchmark::State& state) {
  const int64_t count = state.range(0);
  const int64_t folders = state.range(1);
  const std::vector<Event> events = MakeEvents(count, folders);
  for (auto _ : state) {
    EventList2 tree;
    for (const Event& e : events) {
      if (tree.Push(e) != 0) state.SkipWithError("push failed");
    }
    Event out;
    int64_t drained = 0;
    while (tree.Pop(out) == 0) {
      if (tree.DoneEvent(out) != 0) state.SkipWithError("done failed");
      ++drained;
    }
    if (drained != count || !tree.IsEmpty())
      state.SkipWithError("tree not drained");
    benchmark::DoNotOptimize(drained);
  }
  state.SetItemsProcessed(state.iterations() * count);
  state.counters["ns_per_event"] = benchmark::Counter(
      static_cast<double>(count) * state.iterations(),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void Register(double scale) {
  auto scaled = [scale](int64_t n) {
    int64_t v = static_cast<int64_t>(static_cast<double>(n) * scale);
    return v < 1 ? int64_t{1} : v;
  };
  for (int64_t part : {4, 2, 1}) {
    int64_t n = scaled(1000000) / part;
    int64_t folders = scaled(10000) / part;
    if (folders < 1) folders = 1;
    benchmark::RegisterBenchmark("many_folders", BM_PushPopDone)
        ->Args({n, folders})
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  for (int64_t part : {4, 2, 1}) {
    benchmark::RegisterBenchmark("one_folder", BM_PushPopDone)
        ->Args({scaled(100000) / part, 1})
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
}

}  // namespace
}  // namespace tidewell

int main(int argc, char** argv) {
  double scale = 1.0;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--scale=", 8) == 0)
      scale = std::atof(argv[i] + 8);
    else
      rest.push_back(argv[i]);
  }
  int n = static_cast<int>(rest.size());
  tidewell::Register(scale > 0 ? scale : 1.0);
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
