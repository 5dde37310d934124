// Waiting pulls: a "pull_event" with "wait_ms" that finds nothing new is
// held until another connection commits a change under the pulled folder,
// or until the time runs out, with keep-alives meanwhile; a server started
// with --no-pull-wait offers nothing and answers at once.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <utility>

#include "server/server_test_util.h"

namespace tidewell::testing {
namespace {

using std::chrono::seconds;

// Far below the 60 s a held pull may last: a reply within it was not
// the time running out.
constexpr seconds kReplyDeadline{30};

// How often the server's log holds `text`.
int CountInLog(const ServerProcess& server, const std::string& text) {
  const std::string log = server.Log();
  int n = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
  return n;
}

// True once the server's log holds `text` `times` times; false after 30 s.
bool AwaitLogCount(const ServerProcess& server, const std::string& text, int times) {
  const auto deadline = std::chrono::steady_clock::now() + seconds(30);
  while (CountInLog(server, text) < times) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

PObject WaitingPull(const TestClient& c, uint64_t since, const std::string& path, uint64_t wait_ms) {
  PObject req = c.Pull(since, path);
  req["wait_ms"] = static_cast<unsigned long long>(wait_ms);
  return req;
}

TEST(WaitingPullTest, AHeldPullEndsWithTheFirstChangeUnderItsFolderAndNotBefore) {
  ServerProcess server;
  // --verbose: the server logs each time a pull starts (or goes on) waiting.
  ASSERT_TRUE(server.Start({"--verbose"}));
  TestClient puller(server.port(), AccountOf(server), false, HandshakeTask::kEventPuller);
  TestClient other(server.port(), AccountOf(server));
  ASSERT_EQ(0, puller.Connect());
  ASSERT_EQ(0, other.Connect());
  EXPECT_TRUE(puller.pull_wait()) << "the connect reply offers waiting pulls";
  ASSERT_EQ(0u, other.PutDir("/x", 0));
  ASSERT_EQ(0u, other.Put("/y/seed", "seed", 0));
  uint64_t since = 0;
  puller.PullAll(0, "/", &since);
  ASSERT_GT(since, 0u);

  PObject reply;
  auto held = std::async(std::launch::async, [&] {
    return puller.Call(kCmdPull, WaitingPull(puller, since, "/x", 60000), reply);
  });
  const std::string waiting = "pull of /x waits up to";
  ASSERT_TRUE(AwaitLogCount(server, waiting, 1));
  // A change elsewhere in the view wakes the pull, which finds nothing
  // under /x and waits again instead of answering.
  ASSERT_EQ(0u, other.Put("/y/elsewhere", "e", 0));
  ASSERT_TRUE(AwaitLogCount(server, waiting, 2)) << server.Log();
  EXPECT_EQ(std::future_status::timeout, held.wait_for(seconds(0)));

  uint64_t new_id = 0;
  ASSERT_EQ(0u, other.Put("/x/new.txt", "fresh", 0, &new_id));
  ASSERT_EQ(std::future_status::ready, held.wait_for(kReplyDeadline));
  ASSERT_EQ(0, held.get());
  // Exactly what a plain pull answers.
  EXPECT_FALSE(reply.hasMember("error")) << reply.toString().c_str_utf8();
  ASSERT_EQ(1u, reply["event_list"].size()) << reply.toString().c_str_utf8();
  EXPECT_EQ("/new.txt", std::string(std::as_const(reply)["event_list"][0]["path"].asString().c_str_utf8()));
  EXPECT_EQ(new_id, reply["next_sync_id"].asUInt64());
  PObject plain;
  ASSERT_EQ(0u, puller.CallCode(kCmdPull, puller.Pull(since, "/x"), plain));
  EXPECT_TRUE(std::as_const(plain)["event_list"] == std::as_const(reply)["event_list"])
      << plain.toString().c_str_utf8();
  EXPECT_EQ(plain["next_sync_id"].asUInt64(), reply["next_sync_id"].asUInt64());
  // One log line for the held pull, one for the plain one.
  EXPECT_TRUE(AwaitLogCount(server, "action=pull_event path=/x result=0x0", 2)) << server.Log();

  // SIGTERM ends the server cleanly while a pull is held, without waiting
  // for the hold to run out (Stop would use SIGKILL after 20 s).
  auto cut = std::async(std::launch::async, [&] {
    return puller.Call(kCmdPull, WaitingPull(puller, new_id, "/x", 60000), reply);
  });
  ASSERT_TRUE(AwaitLogCount(server, waiting, 3));
  server.Stop(seconds(20));
  EXPECT_NE(std::string::npos, server.Log().find("stopped\n")) << server.Log();
  ASSERT_EQ(std::future_status::ready, cut.wait_for(kReplyDeadline));
}

TEST(WaitingPullTest, AWaitThatRunsOutAnswersAnEmptyPageKeepingTheIdAfterKeepAlives) {
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  TestClient puller(server.port(), AccountOf(server), false, HandshakeTask::kEventPuller);
  ASSERT_EQ(0, puller.Connect());
  uint64_t id = 0;
  ASSERT_EQ(0u, puller.Put("/a.txt", "a", 0, &id));

  // Longer than the 5 s between keep-alives: at least one comes first.
  ASSERT_EQ(0, ProtoWriteHeader(puller.channel(), 0, kCmdPull));
  PStream ps;
  ASSERT_EQ(0, ps.Send(puller.channel(), WaitingPull(puller, id, "/", 8000)));
  int keep_alives = 0;
  PObject reply;
  for (;;) {
    reply.clear();
    ASSERT_EQ(0, ps.Recv(puller.channel(), reply));
    if (std::as_const(reply)["type"].asString().utf8_view() != "keep_alive") break;
    ++keep_alives;
  }
  EXPECT_GE(keep_alives, 1);
  EXPECT_FALSE(reply.hasMember("error")) << reply.toString().c_str_utf8();
  EXPECT_EQ(id, reply["next_sync_id"].asUInt64());
  EXPECT_EQ(0u, reply["event_list"].size());
  EXPECT_EQ(120u, reply["alive"].asUInt64());

  // A "wait_ms" of the wrong type is refused like any other bad key.
  PObject bad = puller.Pull(id, "/");
  bad["wait_ms"] = "soon";
  EXPECT_EQ(0x5001u, puller.CallCode(kCmdPull, bad, reply));
  EXPECT_EQ(id, reply["next_sync_id"].asUInt64());
}

TEST(WaitingPullTest, WithoutPullWaitNothingIsOfferedAndAWaitIsIgnored) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"--no-pull-wait"}));
  TestClient puller(server.port(), AccountOf(server), false, HandshakeTask::kEventPuller);
  ASSERT_EQ(0, puller.Connect());
  EXPECT_FALSE(puller.pull_wait());
  uint64_t id = 0;
  ASSERT_EQ(0u, puller.Put("/a.txt", "a", 0, &id));
  PObject reply;
  auto answered = std::async(std::launch::async, [&] {
    return puller.Call(kCmdPull, WaitingPull(puller, id, "/", 60000), reply);
  });
  ASSERT_EQ(std::future_status::ready, answered.wait_for(kReplyDeadline));
  ASSERT_EQ(0, answered.get());
  EXPECT_FALSE(reply.hasMember("error")) << reply.toString().c_str_utf8();
  EXPECT_EQ(id, reply["next_sync_id"].asUInt64());
  EXPECT_EQ(0u, reply["event_list"].size());
}

}  // namespace
}  // namespace tidewell::testing
