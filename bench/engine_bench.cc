// End-to-end benchmarks of the sync engine against one local
// `tidewell-server` on loopback: one engine client (two workers, the
// default worker_count of 3) and the data sets of the project's benchmark
// page. Bytes on the wire are counted by a forwarder between the client and
// the server.
//
//   engine_bench [--files=N] [--big_mib=M] [--huge_mib=G] [--dir=FOLDER]
//                [benchmark flags]
//
// Defaults: 10,000 files of 4 KiB, a 256 MiB file edited in one byte, a
// 1 GiB new file; CI runs it small. FOLDER (default /tmp) holds the server's
// store and the client's session. The server program is the build's, or
// the one TIDEWELL_SERVER_BIN names.
//
// Downloads come first (server to client); the upload cases follow in the
// second half of this file.

#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/engine_harness.h"
#include "common/forwarder.h"
#include "common/server_client.h"
#include "common/server_process.h"
#include "events/event_generator.h"

namespace tidewell {
namespace {

using testing::EngineClient;
using testing::Forwarder;
using testing::ServerClient;
using testing::ServerProcess;

size_t g_files = 10000;
size_t g_big_mib = 256;
size_t g_huge_mib = 1024;
std::string g_base = "/tmp";

// Writes `size` random bytes (from `seed`) to `path`, 1 MiB at a time.
void WriteRandomFile(const std::string& path, uint64_t size, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> chunk(1 << 17);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (uint64_t done = 0; done < size;) {
    for (auto& w : chunk) w = rng();
    size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, chunk.size() * 8));
    out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
    done += n;
  }
}

bool SameFiles(const std::string& a, const std::string& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  std::vector<char> ba(1 << 20), bb(1 << 20);
  for (;;) {
    fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
    fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
    if (fa.gcount() != fb.gcount() || std::memcmp(ba.data(), bb.data(), static_cast<size_t>(fa.gcount())) != 0)
      return false;
    if (fa.gcount() == 0) return true;
  }
}

// A scratch folder for one benchmark run.
struct Scratch {
  Scratch() {
    std::string tmpl = g_base + "/engine-bench-XXXXXX";
    if (mkdtemp(tmpl.data()) != nullptr) path = tmpl;
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

// A run that could not measure marks the benchmark skipped and makes the
// program fail, so that the small CI run catches a broken engine.
bool g_failed = false;
void Fail(benchmark::State& state, const char* why) {
  g_failed = true;
  state.SkipWithError(why);
}

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// ===== downloads ===========================================================

// Data set 3 from the server: 10,000 files of 4 KiB, 100 per folder.
void BM_DownloadManySmallFiles(benchmark::State& state) {
  for (auto _ : state) {
    ServerProcess server;
    if (!server.Start()) return Fail(state, "server did not start");
    {
      ServerClient peer(server);
      std::string content(4096, '\0');
      std::mt19937_64 rng(3);
      for (size_t i = 0; i < g_files; ++i) {
        for (size_t k = 0; k < content.size(); k += 8) {
          uint64_t v = rng();
          std::memcpy(&content[k], &v, 8);
        }
        char name[64];
        std::snprintf(name, sizeof name, "/s%04zu/f%05zu.bin", i / 100, i);
        if (peer.Upload(name, content).hasMember("error")) return Fail(state, "upload refused");
      }
    }
    EngineClient client(server);
    client.StartWorkers(2);
    auto start = Clock::now();
    if (!client.SyncFromServer(std::chrono::minutes(30))) return Fail(state, "sync did not finish");
    double secs = Seconds(start);
    state.SetIterationTime(secs);
    size_t present = 0;
    for (size_t d = 0; d * 100 < g_files; ++d) {
      char dir[32];
      std::snprintf(dir, sizeof dir, "/s%04zu", d);
      present += client.List(dir).size();
    }
    if (present != g_files) return Fail(state, "files missing after the sync");
    state.counters["files_per_s"] = static_cast<double>(g_files) / secs;
  }
}

// Data set 2 from the server: a 256 MiB file synced, then one byte changed
// on the server; the client's sync of the edit is timed and its bytes on
// the wire counted (both directions).
void BM_DownloadOneByteEdit(benchmark::State& state) {
  for (auto _ : state) {
    Scratch scratch;
    const uint64_t size = static_cast<uint64_t>(g_big_mib) << 20;
    const std::string file = scratch.path + "/big.bin";
    WriteRandomFile(file, size, 2);
    ServerProcess server;
    if (!server.Start()) return Fail(state, "server did not start");
    ServerClient peer(server);
    if (peer.UploadFile("/big.bin", file).hasMember("error")) return Fail(state, "upload refused");
    Forwarder wire(server.port());
    EngineClient client(server, {.port = wire.port()});
    client.StartWorkers(2);
    if (!client.SyncFromServer(std::chrono::minutes(30))) return Fail(state, "first sync did not finish");

    {
      std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(static_cast<std::streamoff>(size / 2));
      f.put('\x5a');
    }
    if (peer.UploadFile("/big.bin", file, peer.SyncIdOf("/big.bin"), 1700000100).hasMember("error"))
      return Fail(state, "edit refused");
    wire.ResetCounters();
    auto start = Clock::now();
    if (!client.SyncFromServer(std::chrono::minutes(30))) return Fail(state, "sync did not finish");
    state.SetIterationTime(Seconds(start));
    if (!SameFiles(file, client.Path("/big.bin"))) return Fail(state, "content differs");
    state.counters["wire_bytes"] = static_cast<double>(wire.to_client() + wire.to_server());
  }
}

// A new 1 GiB file on the server; the client's download rate.
void BM_DownloadNewLargeFile(benchmark::State& state) {
  for (auto _ : state) {
    Scratch scratch;
    const uint64_t size = static_cast<uint64_t>(g_huge_mib) << 20;
    const std::string file = scratch.path + "/huge.bin";
    WriteRandomFile(file, size, 1);
    ServerProcess server;
    if (!server.Start()) return Fail(state, "server did not start");
    {
      ServerClient peer(server);
      if (peer.UploadFile("/huge.bin", file).hasMember("error")) return Fail(state, "upload refused");
    }
    EngineClient client(server);
    client.StartWorkers(2);
    auto start = Clock::now();
    if (!client.SyncFromServer(std::chrono::minutes(30))) return Fail(state, "sync did not finish");
    double secs = Seconds(start);
    state.SetIterationTime(secs);
    if (!SameFiles(file, client.Path("/huge.bin"))) return Fail(state, "content differs");
    state.counters["MiB_per_s"] = static_cast<double>(size) / (1 << 20) / secs;
  }
}

// ===== uploads ==============================================================

// Counts the live files the server lists below "/", page by page.
size_t ServerFileCount(ServerProcess& server) {
  ServerClient peer(server);
  size_t files = 0;
  uint64_t from = 0;
  for (;;) {
    PObject reply = peer.Pull(from);
    for (const PObject& e : reply["event_list"].asArray())
      if (!e["is_dir"].asBool() && !e["is_removed"].asBool()) ++files;
    uint64_t next = reply["next_sync_id"].asUInt64();
    if (next == from || reply["event_list"].asArray().empty()) return files;
    from = next;
  }
}

// Queues the upload of every folder and file below the session root, as the
// change detector reports new items. What the benchmark wrote is flushed
// first: files a user uploads are usually on disk already, and dirty pages
// of the test data would otherwise be written out inside the server's
// flushes.
void QueueUploads(EngineClient& client) {
  ::sync();
  Registry::Entry e = client.entry();
  for (auto it = std::filesystem::recursive_directory_iterator(client.root());
       it != std::filesystem::recursive_directory_iterator(); ++it) {
    std::string rel = it->path().string().substr(client.root().size());
    if (rel.rfind("/.VeltronaWorkingDirectory", 0) == 0) {
      it.disable_recursion_pending();
      continue;
    }
    PushUploadEvent(e, ustring(rel), it->is_directory(), client.events());
  }
}

// Data set 3 to the server: 10,000 new files of 4 KiB, 100 per folder.
void BM_UploadManySmallFiles(benchmark::State& state) {
  for (auto _ : state) {
    ServerProcess server;
    if (!server.Start()) return state.SkipWithError("server did not start");
    EngineClient client(server);
    std::string content(4096, '\0');
    std::mt19937_64 rng(3);
    for (size_t i = 0; i < g_files; ++i) {
      for (size_t k = 0; k < content.size(); k += 8) {
        uint64_t v = rng();
        std::memcpy(&content[k], &v, 8);
      }
      char name[64];
      std::snprintf(name, sizeof name, "/s%04zu/f%05zu.bin", i / 100, i);
      client.Write(name, content);
    }
    QueueUploads(client);
    auto start = Clock::now();
    client.StartWorkers(2);
    if (!client.AwaitIdle(std::chrono::minutes(30))) return state.SkipWithError("uploads did not finish");
    double secs = Seconds(start);
    state.SetIterationTime(secs);
    if (ServerFileCount(server) != g_files) return state.SkipWithError("files missing on the server");
    state.counters["files_per_s"] = static_cast<double>(g_files) / secs;
  }
}

// Data set 2 to the server: a 256 MiB file uploaded, then one byte changed
// locally; the upload of the edit is timed and its bytes on the wire counted
// (both directions).
void BM_UploadOneByteEdit(benchmark::State& state) {
  for (auto _ : state) {
    const uint64_t size = static_cast<uint64_t>(g_big_mib) << 20;
    ServerProcess server;
    if (!server.Start()) return state.SkipWithError("server did not start");
    Forwarder wire(server.port());
    EngineClient client(server, {.port = wire.port()});
    const std::string file = client.Path("/big.bin");
    WriteRandomFile(file, size, 2);
    QueueUploads(client);
    client.StartWorkers(2);
    if (!client.AwaitIdle(std::chrono::minutes(30))) return state.SkipWithError("first upload did not finish");
    {
      std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(static_cast<std::streamoff>(size / 2));
      f.put('\x5a');
    }
    wire.ResetCounters();
    auto start = Clock::now();
    QueueUploads(client);
    if (!client.AwaitIdle(std::chrono::minutes(30))) return state.SkipWithError("upload did not finish");
    state.SetIterationTime(Seconds(start));
    ClientFileEventInfo info;
    if (client.Record("/big.bin", info) != 1 || info.fileSize != size) return state.SkipWithError("no record");
    state.counters["wire_bytes"] = static_cast<double>(wire.to_client() + wire.to_server());
    state.counters["sent_bytes"] = static_cast<double>(wire.to_server());
  }
}

// A new 1 GiB file to the server; the client's upload rate (reading it for
// its digest and signature included).
void BM_UploadNewLargeFile(benchmark::State& state) {
  for (auto _ : state) {
    const uint64_t size = static_cast<uint64_t>(g_huge_mib) << 20;
    ServerProcess server;
    if (!server.Start()) return state.SkipWithError("server did not start");
    EngineClient client(server);
    WriteRandomFile(client.Path("/huge.bin"), size, 1);
    QueueUploads(client);
    auto start = Clock::now();
    client.StartWorkers(2);
    if (!client.AwaitIdle(std::chrono::minutes(30))) return state.SkipWithError("upload did not finish");
    double secs = Seconds(start);
    state.SetIterationTime(secs);
    ClientFileEventInfo info;
    if (client.Record("/huge.bin", info) != 1 || info.fileSize != size) return state.SkipWithError("no record");
    state.counters["MiB_per_s"] = static_cast<double>(size) / (1 << 20) / secs;
  }
}

}  // namespace
}  // namespace tidewell

int main(int argc, char** argv) {
  using namespace tidewell;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--files=", 8) == 0) {
      g_files = std::strtoull(argv[i] + 8, nullptr, 10);
    } else if (std::strncmp(argv[i], "--big_mib=", 10) == 0) {
      g_big_mib = std::strtoull(argv[i] + 10, nullptr, 10);
    } else if (std::strncmp(argv[i], "--huge_mib=", 11) == 0) {
      g_huge_mib = std::strtoull(argv[i] + 11, nullptr, 10);
    } else if (std::strncmp(argv[i], "--dir=", 6) == 0) {
      g_base = argv[i] + 6;
    } else {
      args.push_back(argv[i]);
    }
  }
  if (g_files == 0) g_files = 1;
  if (g_big_mib == 0) g_big_mib = 1;
  if (g_huge_mib == 0) g_huge_mib = 1;
  for (auto* b : {benchmark::RegisterBenchmark("BM_DownloadManySmallFiles", BM_DownloadManySmallFiles),
                  benchmark::RegisterBenchmark("BM_DownloadOneByteEdit", BM_DownloadOneByteEdit),
                  benchmark::RegisterBenchmark("BM_DownloadNewLargeFile", BM_DownloadNewLargeFile),
                  benchmark::RegisterBenchmark("BM_UploadManySmallFiles", BM_UploadManySmallFiles),
                  benchmark::RegisterBenchmark("BM_UploadOneByteEdit", BM_UploadOneByteEdit),
                  benchmark::RegisterBenchmark("BM_UploadNewLargeFile", BM_UploadNewLargeFile)}) {
    b->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
  }
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return g_failed ? 1 : 0;
}
