// The sync server's speed, with the server running in this process on
// 127.0.0.1 and clients made of the daemon's parts (connection pool,
// handshake, ProtoExchange):
//   BM_PullEvents     pull_event over N changes, all pages (events/s)
//   BM_Upload4K       4 KiB whole-file uploads from two connections at once
//                     (uploads/s; each waits for its reply, as a worker does)
//   BM_UploadLarge    one resumable upload of --bytes (MiB/s), with the
//                     server's peak extra memory during it
//   BM_PStreamFile    the wire reference: the same file as one PStream
//                     binary over loopback into a new file (MiB/s)
//
//   server_bench [--changes=N] [--uploads=N] [--bytes=N] [--dir=FOLDER]
//                [benchmark flags] 2>/dev/null
//
// Defaults: 100,000 changes, 2,000 uploads per connection, 1 GiB. CI runs it
// small. The data folder is made under FOLDER (default /tmp) and removed.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "delta/md4.h"
#include "net/connection_handshake.h"
#include "net/connection_pool.h"
#include "net/protocol_request.h"
#include "net/pstream.h"
#include "platform/file_remove.h"
#include "server/admin.h"
#include "server/server.h"
#include "server/store.h"

namespace {

using namespace tidewell;
using namespace tidewell::server;

uint64_t g_changes = 100000;
uint64_t g_uploads = 2000;
uint64_t g_bytes = uint64_t{1} << 30;
std::string g_base = "/tmp";
std::string g_dir;
std::string g_session;
uint64_t g_view = 0;
std::unique_ptr<Server> g_server;

std::string Md4Hex(const std::string& path) {
  MD4 md4;
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buf(1 << 20);
  while (in) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    md4.Update(buf.data(), static_cast<size_t>(in.gcount()));
  }
  uint8_t d[kMD4DigestSize];
  md4.Final(d);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : d) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

// Resident memory of this process in KiB.
long ResidentKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// One connection, established with the worker's handshake.
class Client {
 public:
  Client()
      : pool_(
            [] {
              ConnectionInfo info;
              info.server_ip = "127.0.0.1";
              info.server_port = g_server->port();
              info.session = ustring(g_session);
              info.use_ssl = false;
              return info;
            }(),
            ProxyInfo(), TunnelInfo(), 1),
        conn_(pool_.pop()) {
    if (ConnectionHandshake(HandshakeTask::kWorker).RequestChannel(pool_, *conn_, g_view) != 0) std::abort();
    stream_.SetDefaultRecvLocation(ustring(g_dir));
  }
  ~Client() {
    conn_->Drop();
    pool_.push(conn_);
  }
  PObject Base(const char* action) const {
    PObject req;
    req["_action"] = action;
    req["session"] = g_session;
    req["view_id"] = static_cast<unsigned long long>(g_view);
    ConnectionHandshake::AppendAgent(req);
    return req;
  }
  PObject Upload(const std::string& path, const std::string& local, uint64_t size, const std::string& md4) const {
    PObject req = Base("upload");
    req["sync_id"] = 0;
    req["max_id"] = 0;
    req["path"] = path;
    req["is_dir"] = false;
    req["common_attribute"]["mtime"] = 1700000000u;
    req["mtime"]["refer"] = false;
    req["mtime"]["mtime"] = 1700000000u;
    req["mac_attribute"]["refer"] = true;
    req["exec_bit"]["refer"] = true;
    PObject& file = req["file"];
    file["size"] = static_cast<unsigned long long>(size);
    file["hash"] = md4;
    file["refer"] = false;
    file["is_delta"] = false;
    PObject::binary_type data;
    data.path = ustring(local);
    data.length = size;
    file["data"] = data;
    return req;
  }
  PObject Call(uint8_t command, const PObject& req) {
    PObject reply;
    if (ProtoExchange(conn_->GetChannel(), stream_, command, req, reply, 90) != 0 || reply.hasMember("error")) {
      std::fprintf(stderr, "request failed: %s\n", reply.toString().c_str_utf8());
      std::abort();
    }
    return reply;
  }

 private:
  ConnectionPool pool_;
  Connection* conn_;
  PStream stream_;
};

void BM_PullEvents(benchmark::State& state) {
  Client client;
  uint64_t events = 0;
  for (auto _ : state) {
    uint64_t since = 0;
    events = 0;
    for (;;) {
      PObject req = client.Base("pull_event");
      req["sync_id"] = static_cast<unsigned long long>(since);
      req["path"] = "/";
      req["recursive"] = 1;
      PObject reply = client.Call(6, req);
      events += reply["event_list"].size();
      uint64_t next = reply["next_sync_id"].asUInt64();
      if (next == since) break;
      since = next;
    }
  }
  state.counters["events"] = static_cast<double>(events);
  state.counters["events_per_s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}

void BM_Upload4K(benchmark::State& state) {
  static int round = 0;
  const std::string body(4096, 'b');
  uint64_t done = 0;
  for (auto _ : state) {
    ++round;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        Client client;
        const std::string local = g_dir + "/up" + std::to_string(t);
        for (uint64_t i = 0; i < g_uploads; ++i) {
          // Distinct content each time, so nothing is de-duplicated.
          std::string content = body;
          std::snprintf(content.data(), 64, "%d/%d/%llu", round, t, static_cast<unsigned long long>(i));
          std::ofstream(local, std::ios::binary | std::ios::trunc) << content;
          const std::string path = "/u" + std::to_string(round) + "/" + std::to_string(t) + "/" + std::to_string(i);
          uint8_t d[kMD4DigestSize];
          MD4Digest(content.data(), content.size(), d);
          static const char kHex[] = "0123456789abcdef";
          std::string md4;
          for (uint8_t b : d) {
            md4 += kHex[b >> 4];
            md4 += kHex[b & 0xF];
          }
          client.Call(23, client.Upload(path, local, content.size(), md4));
        }
      });
    }
    for (auto& th : threads) th.join();
    done = 2 * g_uploads;
  }
  state.counters["uploads_per_s"] = benchmark::Counter(static_cast<double>(done), benchmark::Counter::kIsRate);
  state.counters["batches"] = static_cast<double>(g_server->context()->committer.batches());
}

// A source file of g_bytes whose first bytes differ per round.
std::string MakeSource(int round) {
  const std::string path = g_dir + "/source";
  static bool made = false;
  if (!made) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::mt19937_64 rng(7);
    std::vector<uint64_t> block(1 << 17);
    for (uint64_t left = g_bytes; left > 0;) {
      for (auto& w : block) w = rng();
      size_t n = static_cast<size_t>(std::min<uint64_t>(left, block.size() * 8));
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
      left -= n;
    }
    made = true;
  }
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.write(reinterpret_cast<const char*>(&round), sizeof(round));
  return path;
}

void BM_UploadLarge(benchmark::State& state) {
  static int round = 0;
  long peak_extra = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string source = MakeSource(++round);
    const std::string md4 = Md4Hex(source);
    Client client;
    const long base = ResidentKiB();
    std::atomic<bool> running{true};
    std::atomic<long> peak{0};
    std::thread sampler([&] {
      while (running.load()) {
        long now = ResidentKiB() - base;
        if (now > peak.load()) peak.store(now);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    state.ResumeTiming();
    PObject reply = client.Call(27, client.Base("resume_get_token"));
    PObject req = client.Upload("/large" + std::to_string(round), source, g_bytes, md4);
    req["_action"] = "resume_upload";
    req["_resume_token"] = reply["resume_token"];
    PObject probe = req;
    probe["_action"] = "upload";
    probe.asMap().erase("_resume_token");
    probe["dry_run"] = true;
    probe["file"].asMap().erase("data");
    client.Call(23, probe);
    client.Call(27, req);
    state.PauseTiming();
    running.store(false);
    sampler.join();
    peak_extra = std::max(peak_extra, peak.load());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_bytes));
  state.counters["peak_extra_KiB"] = static_cast<double>(peak_extra);
}

// The wire reference: one PStream binary of the same size over loopback.
void BM_PStreamFile(benchmark::State& state) {
  const std::string source = MakeSource(0);
  for (auto _ : state) {
    int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(lfd, 1) != 0) std::abort();
    getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &len);
    std::thread receiver([&] {
      int c = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
      Channel ch;
      if (ch.Open(c, true) != 0) std::abort();
      PStream ps;
      PObject value;
      PObject::binary_type target;
      target.path = ustring(g_dir + "/received");
      value = target;
      if (ps.Recv(ch, value) != 0) std::abort();
    });
    Channel ch;
    if (ch.Open("127.0.0.1", ntohs(sa.sin_port)) != 0) std::abort();
    PStream ps;
    PObject::binary_type data;
    data.path = ustring(source);
    data.length = g_bytes;
    if (ps.Send(ch, PObject(data)) != 0) std::abort();
    receiver.join();
    ::close(lfd);
    std::remove((g_dir + "/received").c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_bytes));
}

// Fills the store with g_changes files below one folder, one id each.
void Populate(const std::string& data_dir) {
  std::unique_ptr<Store> store = OpenSqliteStore(DatabasePath(data_dir), false);
  if (store == nullptr) std::abort();
  int rc = store->Write([&](StoreTxn& txn) {
    ObjectRow root;
    if (txn.GetObject(g_view, "/", root) != 1) return -1;
    uint64_t id = 0;
    if (txn.NextSyncId(g_view, id) != 0) return -1;
    ObjectRow folder;
    folder.view_id = g_view;
    folder.path = "/bulk";
    folder.parent_id = root.id;
    folder.is_dir = true;
    folder.sync_id = folder.subtree_max = id;
    if (txn.InsertObject(folder) != 0) return -1;
    for (uint64_t i = 0; i < g_changes; ++i) {
      if (txn.NextSyncId(g_view, id) != 0) return -1;
      ObjectRow row;
      row.view_id = g_view;
      row.path = "/bulk/file" + std::to_string(i) + ".txt";
      row.parent_id = folder.id;
      row.sync_id = row.subtree_max = id;
      row.size = 4096;
      row.md4 = "0123456789abcdef0123456789abcdef";
      row.mtime = 1700000000;
      if (txn.InsertObject(row) != 0) return -1;
    }
    return 0;
  });
  if (rc != 0) std::abort();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--changes=", 10) == 0) {
      g_changes = std::strtoull(argv[i] + 10, nullptr, 10);
    } else if (std::strncmp(argv[i], "--uploads=", 10) == 0) {
      g_uploads = std::strtoull(argv[i] + 10, nullptr, 10);
    } else if (std::strncmp(argv[i], "--bytes=", 8) == 0) {
      g_bytes = std::max<uint64_t>(1, std::strtoull(argv[i] + 8, nullptr, 10));
    } else if (std::strncmp(argv[i], "--dir=", 6) == 0) {
      g_base = argv[i] + 6;
    } else {
      args.push_back(argv[i]);
    }
  }
  std::string tmpl = g_base + "/server-bench-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) return 1;
  g_dir = tmpl;
  const std::string data = g_dir + "/data";
  AdminResult admin;
  std::string error;
  if (InitStore(data, "bench", admin, error) != 0) {
    std::fprintf(stderr, "init: %s\n", error.c_str());
    return 1;
  }
  g_session = admin.session;
  g_view = admin.view_id;
  Populate(data);
  ServerOptions options;
  options.data_dir = data;
  options.port = 0;
  g_server = std::make_unique<Server>(options);
  if (g_server->Start() != 0) return 1;

  for (auto* b : {benchmark::RegisterBenchmark("BM_PullEvents", BM_PullEvents),
                  benchmark::RegisterBenchmark("BM_Upload4K", BM_Upload4K),
                  benchmark::RegisterBenchmark("BM_PStreamFile", BM_PStreamFile),
                  benchmark::RegisterBenchmark("BM_UploadLarge", BM_UploadLarge)}) {
    b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
  }
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  benchmark::RunSpecifiedBenchmarks();
  g_server->Stop();
  g_server.reset();
  (void)RemoveDirectoryRecursive(ustring(g_dir));
  return 0;
}
