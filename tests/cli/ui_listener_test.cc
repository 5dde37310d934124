// The front end's user-interface port with real loopback connections: the
// daemon's notices (whose sender hangs up at once) arrive, requests are
// answered on their own connection, and a slow request does not hold up
// notices behind it.

#include "cli/ui_listener.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "base/error_code.h"
#include "net/channel.h"
#include "net/pstream.h"

namespace tidewell::cli {
namespace {

// Sends one value and hangs up at once, as the daemon's notices do.
void SendAndHangUp(int port, const PObject& message) {
  Channel ch;
  ASSERT_EQ(ERR_OK, ch.Open("127.0.0.1", port));
  PStream ps;
  ASSERT_EQ(kStreamOk, ps.Send(ch, message));
  ch.Close();
}

class UiListenerTest : public ::testing::Test {
 protected:
  void Handle(const PObject& m, PObject& reply) {
    if (m["action"].asStringRef() == ustring("slow")) {
      std::unique_lock<std::mutex> lock(mutex_);
      cond_.wait(lock, [&] { return release_; });
      reply["answer"] = "slow done";
      return;
    }
    if (m.hasMember("action")) {
      reply["answer"] = std::string("done ") + m["action"].asStringRef().c_str_utf8();
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    got_.push_back(m["path"].asStringRef().c_str_utf8());
    cond_.notify_all();
  }

  bool AwaitNotices(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, std::chrono::seconds(30), [&] { return got_.size() >= n; });
  }

  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<std::string> got_;
  bool release_ = false;
  UiListener listener_;
};

TEST_F(UiListenerTest, NoticesArriveAndRequestsAreAnsweredWithoutHoldingThemUp) {
  const int port = listener_.Start([this](const PObject& m, PObject& r) { Handle(m, r); });
  ASSERT_GT(port, 0);
  // A request that waits, on a connection of its own.
  Channel slow;
  ASSERT_EQ(ERR_OK, slow.Open("127.0.0.1", port));
  PObject req;
  req["action"] = "slow";
  PStream ps;
  ASSERT_EQ(kStreamOk, ps.Send(slow, req));
  // Meanwhile a burst of notices from senders that hang up at once.
  for (int i = 0; i < 50; ++i) {
    PObject n;
    n["notify"] = "recent_file";
    n["path"] = "/f" + std::to_string(i);
    SendAndHangUp(port, n);
  }
  ASSERT_TRUE(AwaitNotices(50));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    release_ = true;
    cond_.notify_all();
  }
  PObject reply;
  ASSERT_EQ(kStreamOk, ps.Recv(slow, reply));
  EXPECT_EQ(ustring("slow done"), reply["answer"].asStringRef());
  // A plain request on a fresh connection.
  Channel quick;
  ASSERT_EQ(ERR_OK, quick.Open("127.0.0.1", port));
  req["action"] = "front_end_status";
  PStream qs;
  ASSERT_EQ(kStreamOk, qs.Send(quick, req));
  ASSERT_EQ(kStreamOk, qs.Recv(quick, reply));
  EXPECT_EQ(ustring("done front_end_status"), reply["answer"].asStringRef());
  EXPECT_EQ(0, listener_.refused());
  listener_.Stop();
}

}  // namespace
}  // namespace tidewell::cli
