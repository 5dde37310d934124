// The daemon killed with SIGKILL at 20 random moments of a 1,000-file sync,
// in both directions. Two clients, each a real tidewell-daemon run by the
// `tidewell` front end, against the real server: A writes 500 files and,
// while they travel to B, A's daemon (uploading) and B's daemon
// (downloading) are killed five times each; then B writes 500 more and the
// same happens the other way (files of 1 B-32 KiB, each connection
// slowed to 1 MB/s each way). Each kill waits for a random point of the
// batch's progress (that many files on the server for the uploading side,
// in the folder for the downloading side) plus a random 0-300 ms, so kills
// fall all along the sync: in scans, uploads, downloads and database
// commits. The front end restarts a daemon that dies; after five deaths in
// two minutes it gives up, and the test starts it again as a user would.
//
// Afterwards both folders must hold exactly the 1,000 written files, both
// clients must be idle and `tidewell verify` must be clean on both (the
// folder's content, the event database's records and the server's objects
// agree): nothing lost, nothing corrupted, no stray copy, no stale record.
//
// Kill points come from the printed seed (replay with TIDEWELL_SEED); which
// file a kill interrupts depends on timing, so a replay is close to, not
// exactly, the same run.

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/forwarder.h"
#include "common/random.h"
#include "common/server_client.h"
#include "common/server_process.h"
#include "common/tidewell_client.h"
#include "platform/process.h"

namespace tidewell::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

constexpr int kBatch = 500;
constexpr int kKillsPerSide = 5;  // per batch and role

// Files of `batch` the server holds with their content's hash: every page
// of a pull from sync id 0, later events replacing earlier ones.
int OnServer(ServerProcess& server, const std::map<std::string, std::string>& hashes) {
  ServerClient peer(server);
  std::map<std::string, std::string> tree;
  for (uint64_t since = 0;;) {
    PObject reply = peer.Pull(since);
    if (reply["event_list"].asArray().empty()) break;
    for (const PObject& e : reply["event_list"].asArray()) {
      const std::string path(e["path"].asStringRef().utf8_view());
      tree[path] = e["is_removed"].asBool() || e["is_dir"].asBool()
                       ? std::string()
                       : std::string(e["file"]["hash"].asStringRef().utf8_view());
    }
    const uint64_t next = reply["next_sync_id"].asUInt64();
    if (next <= since) break;
    since = next;
  }
  int n = 0;
  for (const auto& [rel, hash] : hashes) {
    auto it = tree.find("/" + rel);
    n += it != tree.end() && it->second == hash ? 1 : 0;
  }
  return n;
}

// Files of `batch` present in `c`'s folder with their full size.
int Arrived(const TidewellClient& c, const std::map<std::string, std::string>& batch) {
  int n = 0;
  std::error_code ec;
  for (const auto& [rel, content] : batch) n += fs::file_size(c.Path(rel), ec) == content.size() && !ec ? 1 : 0;
  return n;
}

// SIGKILL of `c`'s daemon; returns once a new daemon runs, started by the
// front end or, when the front end gave up, by `tidewell start`.
void KillDaemon(TidewellClient& c) {
  const pid_t old = c.DaemonPid();
  ASSERT_GT(old, 0) << c.name() << " has no daemon";
  ASSERT_EQ(0, SignalProcess(old, SIGKILL));
  bool restarted = false;
  ASSERT_TRUE(WaitFor(
      [&] {
        const pid_t now = c.DaemonPid();
        if (now > 0 && now != old && ProcessExists(now)) return restarted = true;
        // The front end gave up (its runtime file is gone): start again.
        if (now > 0) return false;
        const nlohmann::json s = c.Status();
        return s.is_null() || s.is_discarded() || !s.value("running", false);
      },
      seconds(60)))
      << c.name() << "'s daemon neither came back nor was given up on";
  if (!restarted) {
    std::printf("  %s's front end gave up after repeated deaths; started again\n", c.name().c_str());
    ASSERT_NO_FATAL_FAILURE(c.Start());
    ASSERT_TRUE(WaitFor([&] { return c.DaemonPid() > 0; }, seconds(60))) << c.name() << " did not start";
  }
}

TEST(DaemonKillTest, TwentyKillsDuringAThousandFileSyncLoseNothing) {
  std::mt19937_64 rng(TestSeed());
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  // Counts what the kills cost on the wire, and slows each connection to
  // 1 MB/s each way so that a batch takes seconds to travel however fast
  // the machine: the kills land in the middle of it.
  Forwarder wire(server.port());
  ASSERT_NE(0, wire.port());
  wire.SetClientRate(1 << 20);
  wire.SetServerRate(1 << 20);
  TidewellClient a("pc-a"), b("pc-b");
  for (TidewellClient* c : {&a, &b}) {
    fs::create_directories(c->folder());
    c->Login(wire.port(), server.session(), server.view_id());
    c->Add();
    c->Start();
  }
  ASSERT_TRUE(WaitFor([&] { return a.DaemonPid() > 0 && b.DaemonPid() > 0; }, seconds(60)));

  std::map<std::string, std::string> expected;
  std::uniform_int_distribution<size_t> size(1, 32 << 10);
  std::uniform_int_distribution<int> point(0, kBatch - 1);
  std::uniform_int_distribution<int> delay_ms(0, 300);
  int kills = 0, kills_mid_sync = 0;
  for (TidewellClient* writer : {&a, &b}) {
    TidewellClient* reader = writer == &a ? &b : &a;
    std::map<std::string, std::string> batch, hashes;
    for (int i = 0; i < kBatch; ++i) {
      const std::string rel = writer->name() + "-" + std::to_string(i % 10) + "/f" + std::to_string(i) + ".bin";
      batch[rel] = RandomBytes(rng, size(rng));
      hashes[rel] = Md4Hex(batch[rel]);
      writer->Write(rel, batch[rel]);
    }
    expected.insert(batch.begin(), batch.end());
    // Whichever side reaches its next kill point first is killed.
    auto draw = [&] {
      std::vector<int> p(kKillsPerSide);
      for (int& x : p) x = point(rng);
      std::sort(p.begin(), p.end());
      return p;
    };
    const std::vector<int> up_points = draw(), down_points = draw();
    size_t up = 0, down = 0;
    while (up < up_points.size() || down < down_points.size()) {
      int on_server = 0, arrived = 0;
      auto due = [&] {
        on_server = OnServer(server, hashes);
        arrived = Arrived(*reader, batch);
        return (up < up_points.size() && on_server >= up_points[up]) ||
               (down < down_points.size() && arrived >= down_points[down]);
      };
      ASSERT_TRUE(WaitFor(due, seconds(300)))
          << "the sync stalled with " << on_server << " of " << kBatch << " files on the server and " << arrived
          << " in " << reader->name() << "'s folder before kill " << kills;
      const bool uploader = up < up_points.size() && on_server >= up_points[up];
      TidewellClient& victim = uploader ? *writer : *reader;
      (uploader ? up : down)++;
      pollfd none{-1, 0, 0};
      ::poll(&none, 0, delay_ms(rng));  // the random moment, not a synchronisation
      const int seen = uploader ? OnServer(server, hashes) : Arrived(*reader, batch);
      std::printf("kill %d: %s's daemon (%s) with %d of %d files %s\n", kills, victim.name().c_str(),
                  uploader ? "uploading" : "downloading", seen, kBatch, uploader ? "on the server" : "in its folder");
      std::fflush(stdout);
      kills_mid_sync += seen < kBatch ? 1 : 0;
      ASSERT_NO_FATAL_FAILURE(KillDaemon(victim));
      ++kills;
    }
  }
  // The run means something only if kills interrupted the sync.
  EXPECT_GE(kills_mid_sync, kills / 2) << "most kills came after their batch had already arrived";

  // Idle, folders equal, `tidewell verify` clean on both; then the content
  // is exactly what was written.
  ASSERT_TRUE(Converged(a, b, seconds(480)));
  std::map<std::string, std::string> want;
  for (const auto& [rel, content] : expected) {
    want["/" + rel] = Md4Hex(content);
    for (fs::path p = fs::path("/" + rel).parent_path(); p != "/"; p = p.parent_path()) want[p.string()] = "<dir>";
  }
  EXPECT_EQ(want, FolderContent(a.folder()));
  EXPECT_EQ(want, FolderContent(b.folder()));
  uint64_t content = 0;
  for (const auto& [rel, bytes] : expected) content += bytes.size();
  // Each file goes up once and down once; the rest is protocol, pulls and
  // what the kills made the clients send or fetch again.
  std::printf("daemon kills: %d kills (%d mid-sync), %zu files (%llu bytes) equal in both folders, tidewell verify "
              "clean on both, 0 lost; on the wire %llu bytes to the server and %llu to the clients\n",
              kills, kills_mid_sync, expected.size(), static_cast<unsigned long long>(content),
              static_cast<unsigned long long>(wire.to_server()), static_cast<unsigned long long>(wire.to_client()));
}

}  // namespace
}  // namespace tidewell::testing
