// End to end: one real tidewell-server and two clients, each a real
// tidewell-daemon run by the `tidewell` front end with folders of its own,
// all on 127.0.0.1. Every scenario ends with both folders holding the same
// content, both clients idle and `tidewell verify` clean on both
// (Converged). Waits have deadlines; nothing sleeps a fixed time.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <iostream>
#include <random>

#include "cli/conflicts.h"
#include "common/forwarder.h"
#include "common/server_process.h"
#include "common/tidewell_client.h"
#include "platform/process.h"
#include "platform/session_fs.h"
#include "sync/removal_guard.h"

namespace tidewell::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

class SyncE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Start());
    ca_file_ = server_.data_dir() + "/server.crt";
    ASSERT_TRUE(fs::exists(ca_file_)) << ca_file_;
  }

  // Login over SSL (through `port` when given), add the folder, start.
  void Join(TidewellClient& c, int port = 0) {
    c.Login(port != 0 ? port : server_.port(), server_.session(), server_.view_id(), ca_file_);
    c.Add();
    c.Start();
  }

  // The client's only session, from `tidewell status --json`.
  nlohmann::json Session(TidewellClient& c) {
    nlohmann::json s = c.Status();
    if (s.is_null() || s.is_discarded() || s["sessions"].empty()) return nullptr;
    return s["sessions"][0];
  }

  ServerProcess server_;
  std::string ca_file_;
  // Declared after the server, so they stop before it does.
  TidewellClient a_{"alice"};
  TidewellClient b_{"bob"};
};

TEST_F(SyncE2ETest, CreateEditRenameMoveAndDeleteOnEitherSideConverge) {
  a_.Write("top.txt", "first version\n");
  a_.Write("docs/a.txt", "alpha\n");
  a_.Write("docs/deep/b.bin", RandomBytes(100 * 1024, 1));
  a_.Write("empty", "");
  fs::create_directories(a_.Path("empty-folder"));
  Join(a_);
  Join(b_);
  ASSERT_TRUE(Converged(a_, b_));
  EXPECT_EQ("alpha\n", b_.Read("docs/a.txt"));

  a_.Write("top.txt", "second version, longer than the first\n");
  b_.Write("from-bob.txt", "hello from bob\n");
  ASSERT_TRUE(Converged(a_, b_));
  EXPECT_EQ("second version, longer than the first\n", b_.Read("top.txt"));
  EXPECT_EQ("hello from bob\n", a_.Read("from-bob.txt"));

  fs::rename(b_.Path("docs/a.txt"), b_.Path("docs/renamed.txt"));
  fs::create_directories(a_.Path("moved"));
  fs::rename(a_.Path("docs/deep"), a_.Path("moved/deep"));
  ASSERT_TRUE(Converged(a_, b_));
  EXPECT_EQ("alpha\n", a_.Read("docs/renamed.txt"));
  EXPECT_FALSE(a_.Exists("docs/a.txt"));
  EXPECT_EQ(RandomBytes(100 * 1024, 1), b_.Read("moved/deep/b.bin"));
  EXPECT_FALSE(b_.Exists("docs/deep"));

  fs::remove(a_.Path("top.txt"));
  fs::remove_all(b_.Path("moved"));
  ASSERT_TRUE(Converged(a_, b_));
  EXPECT_FALSE(b_.Exists("top.txt"));
  EXPECT_FALSE(a_.Exists("moved"));
  EXPECT_TRUE(a_.Exists("empty-folder"));
  EXPECT_TRUE(b_.Exists("empty"));
}

TEST_F(SyncE2ETest, ALargeFileEditedByOneByteTravelsAsADelta) {
  Forwarder to_a(server_.port()), to_b(server_.port());
  constexpr size_t kSize = 8 << 20;
  std::string content = RandomBytes(kSize, 2);
  a_.Write("big.bin", content);
  Join(a_, to_a.port());
  Join(b_, to_b.port());
  ASSERT_TRUE(Converged(a_, b_, seconds(240)));
  ASSERT_GT(to_b.to_client(), kSize);  // the first copy travelled whole

  to_a.ResetCounters();
  to_b.ResetCounters();
  content[kSize / 2] ^= 0x5a;
  a_.Write("big.bin", content);
  ASSERT_TRUE(Converged(a_, b_, seconds(240)));
  EXPECT_EQ(content, b_.Read("big.bin"));
  // A whole copy would be 8 MiB each way; the signature of 8 MiB in 2 KiB
  // blocks and one changed block are far less.
  EXPECT_LT(to_a.to_server(), kSize / 8) << "upload bytes " << to_a.to_server();
  EXPECT_LT(to_b.to_client(), kSize / 8) << "download bytes " << to_b.to_client();
  std::cout << "one-byte edit of 8 MiB: alice sent " << to_a.to_server() << " and received " << to_a.to_client()
            << " bytes, bob sent " << to_b.to_server() << " and received " << to_b.to_client() << " bytes\n";
}

TEST_F(SyncE2ETest, BothSidesEditingOneFileKeepBothContents) {
  a_.Write("shared.txt", "the base\n");
  Join(a_);
  Join(b_);
  ASSERT_TRUE(Converged(a_, b_));

  std::string out;
  ASSERT_EQ(0, b_.Run({"pause", b_.folder()}, &out)) << out;
  b_.Write("shared.txt", "bob's version\n");
  a_.Write("shared.txt", "alice's version\n");
  // Alice's edit reaches the server first; bob's then meets it.
  ASSERT_TRUE(InStepWithServer(a_));
  ASSERT_EQ(0, b_.Run({"resume", b_.folder()}, &out)) << out;
  ASSERT_TRUE(Converged(a_, b_));

  std::vector<cli::ConflictCopy> copies;
  ASSERT_EQ(0, cli::FindConflictCopies(a_.folder(), copies));
  ASSERT_EQ(1u, copies.size());
  EXPECT_EQ("/shared.txt", copies[0].original);
  std::set<std::string> contents = {a_.Read("shared.txt"), a_.Read(copies[0].path.substr(1))};
  EXPECT_EQ((std::set<std::string>{"alice's version\n", "bob's version\n"}), contents);
  ASSERT_EQ(0, b_.Run({"conflicts", "--json"}, &out)) << out;
  EXPECT_NE(std::string::npos, out.find("\"original\": \"/shared.txt\"")) << out;
}

TEST_F(SyncE2ETest, ChangesWhileOneClientIsStoppedConvergeAfterItStarts) {
  a_.Write("stays.txt", "unchanged\n");
  a_.Write("edited-by-alice.txt", "old\n");
  a_.Write("removed-by-alice.txt", "soon gone\n");
  a_.Write("edited-by-bob.txt", "old\n");
  Join(a_);
  Join(b_);
  ASSERT_TRUE(Converged(a_, b_));

  b_.Stop();
  a_.Write("edited-by-alice.txt", "new from alice\n");
  fs::remove(a_.Path("removed-by-alice.txt"));
  a_.Write("new-from-alice/n.txt", "fresh\n");
  b_.Write("edited-by-bob.txt", "new from bob, offline\n");
  b_.Write("new-from-bob.txt", "made offline\n");
  ASSERT_TRUE(InStepWithServer(a_));
  b_.Start();
  ASSERT_TRUE(Converged(a_, b_));
  EXPECT_EQ("new from alice\n", b_.Read("edited-by-alice.txt"));
  EXPECT_FALSE(b_.Exists("removed-by-alice.txt"));
  EXPECT_EQ("fresh\n", b_.Read("new-from-alice/n.txt"));
  EXPECT_EQ("new from bob, offline\n", a_.Read("edited-by-bob.txt"));
  EXPECT_EQ("made offline\n", a_.Read("new-from-bob.txt"));
}

TEST_F(SyncE2ETest, SelectiveSyncTightenedThenLoosened) {
  a_.Write("keep/x.txt", "kept\n");
  a_.Write("photos/p1.jpg", RandomBytes(4096, 3));
  a_.Write("photos/sub/p2.jpg", RandomBytes(4096, 4));
  Join(a_);
  Join(b_);
  ASSERT_TRUE(Converged(a_, b_));

  std::string out;
  ASSERT_EQ(0, b_.Run({"exclude", b_.folder(), "/photos"}, &out)) << out;
  // The new photo reaches the server before the marker file does, so once
  // bob has the marker, his puller has passed the photo.
  a_.Write("photos/p3.jpg", RandomBytes(4096, 5));
  ASSERT_TRUE(InStepWithServer(a_));
  a_.Write("keep/y.txt", "also kept\n");
  ASSERT_TRUE(WaitFor([&] { return b_.Exists("keep/y.txt"); }, seconds(60)));
  EXPECT_FALSE(b_.Exists("photos/p3.jpg"));
  // Leaving a folder out on one client never removes it for the others, and
  // what bob leaves out is no mismatch for bob.
  EXPECT_TRUE(InStepWithServer(a_));
  EXPECT_TRUE(a_.Exists("photos/p1.jpg"));
  EXPECT_TRUE(a_.Exists("photos/sub/p2.jpg"));
  EXPECT_TRUE(InStepWithServer(b_));

  ASSERT_EQ(0, b_.Run({"include", b_.folder(), "/photos"}, &out)) << out;
  ASSERT_TRUE(Converged(a_, b_));
  // Letting the folder in again removes nothing anywhere: alice keeps every
  // photo, including the one added while bob left the folder out, and bob
  // gets them all back.
  for (TidewellClient* c : {&a_, &b_}) {
    EXPECT_EQ(RandomBytes(4096, 3), c->Read("photos/p1.jpg")) << c->folder();
    EXPECT_EQ(RandomBytes(4096, 4), c->Read("photos/sub/p2.jpg")) << c->folder();
    EXPECT_EQ(RandomBytes(4096, 5), c->Read("photos/p3.jpg")) << c->folder();
  }
}

TEST_F(SyncE2ETest, AMissingOrEmptiedRootIsHeldNotPropagatedAsRemovals) {
  for (int i = 0; i < 150; ++i) a_.Write("many/f" + std::to_string(i) + ".txt", "file " + std::to_string(i) + "\n");
  Join(a_);
  Join(b_);
  ASSERT_TRUE(Converged(a_, b_, seconds(180)));
  const auto before = FolderContent(a_.folder());

  // Unmounted: the folder is gone while bob runs. Nothing is removed; once
  // it is back, bob syncs again.
  fs::rename(b_.folder(), b_.folder() + ".away");
  ASSERT_TRUE(WaitFor(
      [&] {
        nlohmann::json s = Session(b_);
        return !s.is_null() && s["state"] == "folder missing";
      },
      seconds(120)))
      << Session(b_).dump();
  a_.Write("while-away.txt", "made while bob's folder was away\n");
  ASSERT_TRUE(InStepWithServer(a_));
  auto expected = before;
  expected["/while-away.txt"] = FolderContent(a_.folder())["/while-away.txt"];
  EXPECT_EQ(expected, FolderContent(a_.folder()));
  fs::rename(b_.folder() + ".away", b_.folder());
  ASSERT_TRUE(Converged(a_, b_, seconds(180)));
  EXPECT_TRUE(b_.Exists("while-away.txt"));

  // Emptied: everything but the working folder vanishes from bob's folder.
  // The mass removal is held until bob confirms it.
  for (const auto& entry : fs::directory_iterator(b_.folder())) {
    if (entry.path().filename() != kWorkingFolderName) fs::remove_all(entry.path());
  }
  ASSERT_TRUE(WaitFor(
      [&] {
        nlohmann::json s = Session(b_);
        return !s.is_null() && s["state"] == "held" && s["held_removals"].get<uint64_t>() > 0;
      },
      seconds(120)))
      << Session(b_).dump();
  // The files vanish one by one, so the removals before the one that crosses
  // the guard's line (more than half of the items and more than 100) are
  // sent and reach alice; every later one is held, and alice keeps those.
  EXPECT_TRUE(InStepWithServer(a_));
  int kept = 0;
  for (int i = 0; i < 150; ++i) kept += a_.Exists("many/f" + std::to_string(i) + ".txt");
  std::cout << "alice kept " << kept << " of 150 files before bob confirmed\n";
  EXPECT_GE(kept, 150 - static_cast<int>(RemovalGuard::kMinimumItems)) << "the hold came too late";

  std::string out;
  ASSERT_EQ(0, b_.Run({"resume", b_.folder(), "--confirm-removals"}, &out)) << out;
  ASSERT_TRUE(Converged(a_, b_, seconds(180)));
  EXPECT_FALSE(a_.Exists("many/f0.txt"));
}

TEST_F(SyncE2ETest, ADaemonKilledMidTransferConvergesAfterItsRestart) {
  Forwarder to_b(server_.port());
  to_b.SetClientRate(512 * 1024);
  constexpr size_t kSize = 8 << 20;
  a_.Write("big.bin", RandomBytes(kSize, 6));
  Join(a_);
  ASSERT_TRUE(WaitFor(
      [&] {
        nlohmann::json s = Session(a_);
        return !s.is_null() && s["state"] == "up to date" && s["pending"] == 0;
      },
      seconds(120)));
  Join(b_, to_b.port());
  // Catch bob's download in the middle.
  ASSERT_TRUE(WaitFor(
      [&] {
        nlohmann::json s = b_.Status();
        if (s.is_null() || s.is_discarded()) return false;
        for (const auto& t : s["transfers"]) {
          if (t["path"] == "/big.bin" && t["bytes"].get<uint64_t>() > 0) return true;
        }
        return false;
      },
      seconds(120)));
  const pid_t daemon = b_.DaemonPid();
  ASSERT_GT(daemon, 0);
  ASSERT_EQ(0, SignalProcess(daemon, SIGKILL));
  // A download in progress lives in the working folder: no half file under
  // the real name.
  EXPECT_FALSE(b_.Exists("big.bin"));
  to_b.SetClientRate(0);
  // The front end starts a new daemon, which finishes the job.
  ASSERT_TRUE(WaitFor([&] { return b_.DaemonPid() > 0 && b_.DaemonPid() != daemon; }, seconds(60)));
  ASSERT_TRUE(Converged(a_, b_, seconds(180)));
  EXPECT_EQ(RandomBytes(kSize, 6), b_.Read("big.bin"));
}

}  // namespace
}  // namespace tidewell::testing
