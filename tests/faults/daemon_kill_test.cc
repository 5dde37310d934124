// The daemon killed with SIGKILL at 20 random moments of a 1,000-file sync,
// in both directions: client A writes 500 files and, while they travel to
// B, A's daemon (uploading) and B's daemon (downloading) are killed in
// turn, five times each; then B writes 500 more and the same happens the
// other way. Each kill waits for a random point of the batch's progress
// (that many files on the server for the uploading side, in the folder for
// the downloading side) plus a random 0-300 ms, so kills fall all along the
// sync: in scans, uploads, downloads and database commits. Each restart is
// what the front end does at every start: the same configuration,
// databases and folder, the connection and the session handed over again.
//
// Afterwards both folders must hold exactly the 1,000 written files, and
// the audit `tidewell verify` makes (the folder's content, the event
// database's records and the server's objects, compared three ways) must
// find nothing on either client: nothing lost, nothing corrupted, no stray
// copy, no stale record.
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
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cli/server_session.h"
#include "cli/verify.h"
#include "common/daemon_process.h"
#include "common/forwarder.h"
#include "common/random.h"
#include "common/server_client.h"
#include "common/server_process.h"
#include "common/temp_dir.h"

namespace tidewell {
namespace {

using testing::DaemonProcess;
using testing::Forwarder;
using testing::ServerClient;
using testing::ServerProcess;
using testing::TempDir;
using testing::UiEndpoint;
using Clock = std::chrono::steady_clock;

namespace fs = std::filesystem;
constexpr uint64_t kSession = 7;
constexpr int kBatch = 500;
constexpr int kKillsPerBatch = 10;

// One client: a daemon and its folder, restarted on the same files. It
// reaches the server through `port` (a counting forwarder).
class Client {
 public:
  Client(ServerProcess& server, int port, const char* name) : server_(server), port_(port), name_(name) {
    testing::WriteOpenRuleFiles(dir_, "config");
    fs::create_directories(folder());
  }
  const std::string& name() const { return name_; }
  std::string folder() const { return dir_.Join("local"); }
  std::string event_db() const { return dir_.Join("config") + "/db/event-db.sqlite"; }

  // Starts the daemon and hands it the connection and the session.
  void Up() {
    ui_ = std::make_unique<UiEndpoint>();
    daemon_ = std::make_unique<DaemonProcess>(dir_, *ui_);
    daemon_->Start();
    ASSERT_FALSE(daemon_->Request("link").hasMember("error"));
    PObject conn;
    conn["connection_id"] = 5;
    conn["server_ip"] = "127.0.0.1";
    conn["server_port"] = port_;
    conn["session"] = server_.session();
    conn["use_ssl"] = 0;
    conn["computer_name"] = name_;
    ASSERT_FALSE(daemon_->Request("link_connection", conn).hasMember("error"));
    PObject add;
    add["connection_id"] = 5;
    add["session_id"] = static_cast<unsigned long long>(kSession);
    add["view_id"] = static_cast<unsigned long long>(server_.view_id());
    add["config_path"] = dir_.Join("config");
    add["sync_folder"] = folder();
    add["remote_path"] = "/";
    PObject reply = daemon_->Request("add_session", add);
    ASSERT_FALSE(reply.hasMember("error")) << reply.toString().c_str_utf8();
    PObject id;
    id["session_id"] = static_cast<unsigned long long>(kSession);
    ASSERT_FALSE(daemon_->Request("resume", id).hasMember("error"));
  }

  void Kill() {
    ASSERT_EQ(0, ::kill(daemon_->pid(), SIGKILL));
    ASSERT_EQ(-2, daemon_->Wait(30)) << "the daemon did not die of the signal";
  }

  std::string LogTail() const {
    const std::string log = daemon_ ? daemon_->Log() : std::string();
    return log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
  }

 private:
  ServerProcess& server_;
  const int port_;
  const std::string name_;
  TempDir dir_;
  std::unique_ptr<UiEndpoint> ui_;
  std::unique_ptr<DaemonProcess> daemon_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What the server holds now, as `tidewell verify` lists it: every page of a
// pull from sync id 0, later events replacing earlier ones.
std::map<std::string, cli::ServerObject> ServerTree(ServerProcess& server) {
  ServerClient peer(server);
  std::map<std::string, cli::ServerObject> out;
  for (uint64_t since = 0;;) {
    PObject reply = peer.Pull(since);
    if (reply["event_list"].asArray().empty()) break;
    for (const PObject& e : reply["event_list"].asArray()) {
      const std::string path(e["path"].asStringRef().utf8_view());
      if (e["is_removed"].asBool()) {
        out.erase(path);
        const std::string below = path + "/";
        for (auto it = out.lower_bound(below); it != out.end() && it->first.rfind(below, 0) == 0;) it = out.erase(it);
        continue;
      }
      cli::ServerObject o;
      o.is_dir = e["is_dir"].asBool();
      o.sync_id = e["sync_id"].asUInt64();
      if (!o.is_dir) {
        o.size = e["file"]["size"].asUInt64();
        o.hash = std::string(e["file"]["hash"].asStringRef().utf8_view());
      }
      out[path] = o;
    }
    const uint64_t next = reply["next_sync_id"].asUInt64();
    if (next <= since) break;
    since = next;
  }
  return out;
}

// The findings of verify's three-way comparison for one client; the
// string names each finding, empty when the client is in step.
std::string Audit(const Client& c, const std::map<std::string, cli::ServerObject>& server) {
  std::map<std::string, cli::TreeItem> local, records;
  std::string error;
  if (cli::ScanLocalTree(c.folder(), local, error) != 0) return c.name() + ": " + error;
  if (cli::ReadEventRecords(c.event_db(), records, error) < 0) return c.name() + ": " + error;
  const auto findings =
      cli::CompareTrees(local, records, server, {}, [](const std::string&, bool, uint64_t) { return false; });
  std::string out;
  for (const cli::VerifyFinding& f : findings) {
    if (out.size() < 2000) out += c.name() + ": " + cli::VerifyKindName(f.kind) + " " + f.path + " " + f.detail + "\n";
  }
  if (!findings.empty()) out += c.name() + ": " + std::to_string(findings.size()) + " findings\n";
  return out;
}

// Files of `expected` present under `root` with their full size.
int Arrived(const std::string& root, const std::map<std::string, std::string>& expected) {
  int n = 0;
  std::error_code ec;
  for (const auto& [rel, content] : expected) n += fs::file_size(root + rel, ec) == content.size() && !ec ? 1 : 0;
  return n;
}

// Files of `expected` the server holds with their content's hash.
int OnServer(ServerProcess& server, const std::map<std::string, std::string>& expected) {
  const auto tree = ServerTree(server);
  int n = 0;
  for (const auto& [rel, content] : expected) {
    auto it = tree.find(rel);
    n += it != tree.end() && it->second.hash == testing::Md4Hex(content) ? 1 : 0;
  }
  return n;
}

// Relative path -> content of every file below `root`, outside the working
// folder.
std::map<std::string, std::string> Files(const std::string& root) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    if (it->path().filename() == ".VeltronaWorkingDirectory") {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file()) out["/" + fs::relative(it->path(), root).string()] = ReadFile(it->path().string());
  }
  return out;
}

// Polls `done` until it holds or `seconds` pass; false on time-out.
bool Await(const std::function<bool()>& done, int seconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    pollfd none{-1, 0, 0};
    ::poll(&none, 0, 100);  // the next look, not a synchronisation
  }
  return true;
}

TEST(DaemonKillTest, TwentyKillsDuringAThousandFileSyncLoseNothing) {
  if (access(testing::DaemonProgram().c_str(), X_OK) != 0) GTEST_SKIP() << "tidewell-daemon is not built";
  std::mt19937_64 rng(testing::TestSeed());
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  Forwarder wire(server.port());
  ASSERT_NE(0, wire.port());
  Client a(server, wire.port(), "pc-a");
  Client b(server, wire.port(), "pc-b");
  ASSERT_NO_FATAL_FAILURE(a.Up());
  ASSERT_NO_FATAL_FAILURE(b.Up());

  std::map<std::string, std::string> expected;
  std::uniform_int_distribution<size_t> size(1, 16 << 10);
  std::uniform_int_distribution<int> point(0, kBatch - 1);
  std::uniform_int_distribution<int> delay_ms(0, 300);
  int kills = 0, kills_mid_sync = 0;
  for (Client* writer : {&a, &b}) {
    Client* reader = writer == &a ? &b : &a;
    std::map<std::string, std::string> batch;
    for (int i = 0; i < kBatch; ++i) {
      const std::string rel = "/" + writer->name() + "-" + std::to_string(i % 10) + "/f" + std::to_string(i) + ".bin";
      batch[rel] = testing::RandomBytes(rng, size(rng));
      fs::create_directories(fs::path(writer->folder() + rel).parent_path());
      std::ofstream(writer->folder() + rel, std::ios::binary) << batch[rel];
    }
    expected.insert(batch.begin(), batch.end());
    // Five kill points for each side, each a number of the batch's files:
    // the uploading side's count on the server, the downloading side's in
    // its folder. Whichever side reaches its next point first is killed.
    auto draw = [&] {
      std::vector<int> p(kKillsPerBatch / 2);
      for (int& x : p) x = point(rng);
      std::sort(p.begin(), p.end());
      return p;
    };
    const std::vector<int> up_points = draw(), down_points = draw();
    size_t up = 0, down = 0;
    while (up < up_points.size() || down < down_points.size()) {
      int on_server = 0, arrived = 0;
      auto due = [&] {
        on_server = OnServer(server, batch);
        arrived = Arrived(reader->folder(), batch);
        return (up < up_points.size() && on_server >= up_points[up]) ||
               (down < down_points.size() && arrived >= down_points[down]);
      };
      ASSERT_TRUE(Await(due, 300)) << "the sync stalled with " << on_server << " of " << kBatch
                                   << " files on the server and " << arrived << " in " << reader->name()
                                   << "'s folder before kill " << kills << "\n"
                                   << writer->LogTail() << reader->LogTail();
      const bool uploader = up < up_points.size() && on_server >= up_points[up];
      Client* victim = uploader ? writer : reader;
      (uploader ? up : down)++;
      pollfd none{-1, 0, 0};
      ::poll(&none, 0, delay_ms(rng));  // the random moment, not a synchronisation
      const int seen = uploader ? OnServer(server, batch) : Arrived(reader->folder(), batch);
      std::printf("kill %d: %s's daemon (%s) with %d of %d files %s\n", kills, victim->name().c_str(),
                  uploader ? "uploading" : "downloading", seen, kBatch,
                  uploader ? "on the server" : "in its folder");
      kills_mid_sync += seen < kBatch ? 1 : 0;
      ASSERT_NO_FATAL_FAILURE(victim->Kill());
      ++kills;
      ASSERT_NO_FATAL_FAILURE(victim->Up());
    }
  }
  // The run means something only if kills interrupted the sync.
  EXPECT_GE(kills_mid_sync, kills / 2) << "most kills came after the batch had already arrived";

  std::string findings;
  const bool converged = Await(
      [&] {
        if (Files(a.folder()) != expected || Files(b.folder()) != expected) {
          findings = "folders differ from what was written";
          return false;
        }
        const auto tree = ServerTree(server);
        findings = Audit(a, tree) + Audit(b, tree);
        return findings.empty();
      },
      480);
  if (!converged) {
    const auto in_a = Files(a.folder()), in_b = Files(b.folder());
    int missing_a = 0, missing_b = 0, wrong = 0, extra = 0;
    for (const auto& [rel, content] : expected) {
      missing_a += in_a.count(rel) ? 0 : 1;
      missing_b += in_b.count(rel) ? 0 : 1;
      wrong += (in_a.count(rel) && in_a.at(rel) != content) || (in_b.count(rel) && in_b.at(rel) != content) ? 1 : 0;
    }
    for (const auto& [rel, content] : in_a) extra += expected.count(rel) ? 0 : 1;
    for (const auto& [rel, content] : in_b) extra += expected.count(rel) ? 0 : 1;
    FAIL() << "not converged: missing in A " << missing_a << ", missing in B " << missing_b << ", wrong content "
           << wrong << ", extra files " << extra << ", server holds " << OnServer(server, expected) << " of "
           << expected.size() << "\n"
           << findings << "--- end of A's log ---\n"
           << a.LogTail() << "--- end of B's log ---\n"
           << b.LogTail();
  }
  uint64_t content = 0;
  for (const auto& [rel, bytes] : expected) content += bytes.size();
  // Each file goes up once and down once; the rest is protocol, pulls and
  // what the kills made the clients send or fetch again.
  std::printf("daemon kills: %d kills (%d mid-sync), %zu files (%llu bytes) checked in both folders, records and on "
              "the server, 0 lost; on the wire %llu bytes to the server and %llu to the clients\n",
              kills, kills_mid_sync, expected.size(), static_cast<unsigned long long>(content),
              static_cast<unsigned long long>(wire.to_server()), static_cast<unsigned long long>(wire.to_client()));
}

}  // namespace
}  // namespace tidewell
