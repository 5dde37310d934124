// Faults on the way from a client to the server, against the real
// tidewell-server: the connection cut at random byte offsets of an upload,
// and the server killed with SIGKILL while it holds part of a body. The
// upload must end with the server holding the file's exact content, and
// what is sent again must stay bounded: the figures are printed so that
// they can be recorded.
//
// Offsets come from the printed seed; replay with TIDEWELL_SEED=<seed>.

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "common/engine_harness.h"
#include "common/forwarder.h"
#include "common/random.h"
#include "common/server_client.h"
#include "common/server_process.h"
#include "events/event_generator.h"
#include "sync/worker.h"

namespace tidewell {
namespace {

using testing::EngineClient;
using testing::Forwarder;
using testing::Md4Hex;
using testing::ServerClient;
using testing::ServerProcess;

// The hash the server lists for `path` ("" when it lists none).
std::string ServerHash(ServerProcess& server, const std::string& path) {
  ServerClient peer(server);
  PObject reply = peer.Pull(0);
  for (const PObject& e : reply["event_list"].asArray())
    if (e["path"].asStringRef().utf8_view() == path) return std::string(e["file"]["hash"].asStringRef().utf8_view());
  return "";
}

// A worker whose transfer state the test can read.
class ProbeWorker : public Worker {
 public:
  using Worker::cached_request;
  using Worker::Worker;
};

class UploadFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rng.seed(testing::TestSeed());
    ASSERT_TRUE(server.Start());
  }

  void Upload(EngineClient& client, const std::string& path) {
    Registry::Entry e = client.entry();
    ASSERT_GE(PushUploadEvent(e, ustring(path), false, client.events()), 0);
  }

  std::mt19937_64 rng;
  ServerProcess server;
};

TEST_F(UploadFaultTest, CutsAtRandomOffsetsResumeFromWhatTheServerHolds) {
  constexpr size_t kSize = 24u << 20;
  constexpr int kCuts = 6;
  Forwarder wire(server.port());
  EngineClient client(server, {.port = wire.port()});
  Worker& w = client.AddWorker();
  const std::string content = testing::RandomBytes(rng, kSize);
  client.Write("/big.bin", content);
  Upload(client, "/big.bin");

  // Each attempt is cut after a random share of what is left; the counter
  // restarts with every cut, so the bytes of each attempt are added up.
  std::uniform_int_distribution<uint64_t> share(1, kSize / kCuts);
  uint64_t sent = 0;
  int cuts = 0;
  Worker::PassOutcome last = Worker::kPassIdle;
  for (int attempt = 0; attempt < 40 && last != Worker::kPassDone; ++attempt) {
    if (cuts < kCuts) {
      wire.CutToServerAfter(share(rng));
    } else {
      wire.CutToServerAfter(0);
      wire.ResetCounters();
    }
    last = w.RunOnePass();
    sent += wire.to_server();
    if (last == Worker::kPassRetry) ++cuts;
  }
  ASSERT_EQ(Worker::kPassDone, last);
  EXPECT_EQ(Md4Hex(content), ServerHash(server, "/big.bin"));
  const uint64_t again = sent > kSize ? sent - kSize : 0;
  std::printf("cut upload: %d cuts, %zu bytes of content, %llu bytes towards the server, %llu beyond the content "
              "(sent again plus protocol)\n",
              cuts, kSize, static_cast<unsigned long long>(sent), static_cast<unsigned long long>(again));
  EXPECT_GE(cuts, 1);
  // Starting afresh after each cut would resend everything before it.
  EXPECT_LT(again, static_cast<uint64_t>(cuts + 1) * (1u << 20));
}

TEST_F(UploadFaultTest, ServerKilledHoldingPartOfABodyTheUploadContinuesFromItsOffset) {
  constexpr size_t kSize = 24u << 20;
  constexpr uint64_t kCut = 8u << 20;
  Forwarder wire(server.port());
  EngineClient client(server, {.port = wire.port()});
  auto& w = client.AddWorker<ProbeWorker>();
  const std::string content = testing::RandomBytes(rng, kSize);
  client.Write("/big.bin", content);
  // The body stops after 8 MiB, and the server is killed while it holds
  // what it received and the client waits to try again.
  wire.CutToServerAfter(kCut);
  Upload(client, "/big.bin");
  ASSERT_EQ(Worker::kPassRetry, w.RunOnePass());
  const PObject token = w.cached_request["_resume_token"];
  ASSERT_FALSE(token.asStringRef().empty());
  server.Kill();
  ASSERT_TRUE(server.Start());
  wire.SetTarget(server.port());

  // What the restarted server still holds of the body, asked the way the
  // worker asks.
  PObject status_request;
  status_request["_action"] = "resume_get_status";
  status_request["_resume_token"] = token;
  PObject status = ServerClient(server).Request(27, status_request);
  const uint64_t held = status["file"]["offset"].asUInt64();
  EXPECT_LE(held, kCut);
  wire.ResetCounters();

  Worker::PassOutcome last = Worker::kPassIdle;
  for (int attempt = 0; attempt < 10 && last != Worker::kPassDone; ++attempt) last = w.RunOnePass();
  ASSERT_EQ(Worker::kPassDone, last);
  EXPECT_EQ(Md4Hex(content), ServerHash(server, "/big.bin"));
  const uint64_t after = wire.to_server();
  std::printf("server killed after %llu bytes of a %zu-byte upload: it kept %llu; %llu bytes sent after the "
              "restart\n",
              static_cast<unsigned long long>(kCut), kSize, static_cast<unsigned long long>(held),
              static_cast<unsigned long long>(after));
  // The rest from the offset the server kept, and no more than that.
  EXPECT_GE(after, kSize - held);
  EXPECT_LT(after, kSize - held + (64u << 10));
}

}  // namespace
}  // namespace tidewell
