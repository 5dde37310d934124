#include "session/notice_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tidewell {
namespace {

using Clock = std::chrono::steady_clock;

PObject FileNotice(const char* kind, uint64_t sess, int n) {
  PObject msg;
  msg["notify"] = kind;
  msg["session_id"] = static_cast<unsigned long long>(sess);
  msg["path"] = "/f" + std::to_string(n);
  msg["is_dir"] = false;
  msg["event_type"] = 1;
  return msg;
}

PObject ErrorNotice(int code) {
  PObject msg;
  msg["notify"] = "error";
  msg["session_id"] = 1ull;
  msg["error_type"] = code;
  return msg;
}

// Collects what the queue sends; can be made to stall like a user interface
// that accepted a connection and never reads.
class FakeUi {
 public:
  int Send(const PObject& msg, const std::atomic<int>* abort) {
    std::unique_lock<std::mutex> lock(mu_);
    // Like a channel's poll interval: the abort flag is looked at now and
    // then while the peer does not read.
    while (stalled_ && abort->load() == 0) cv_.wait_for(lock, std::chrono::milliseconds(2));
    if (stalled_) return -1;  // gave up on the abort flag
    got_.push_back(msg);
    return 0;
  }
  void Stall(bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    stalled_ = on;
    cv_.notify_all();
  }
  std::vector<PObject> got() {
    std::lock_guard<std::mutex> lock(mu_);
    return got_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool stalled_ = false;
  std::vector<PObject> got_;
};

NoticeQueue::Sender To(FakeUi& ui) {
  return [&ui](const PObject& msg, const char*, const std::atomic<int>* abort) { return ui.Send(msg, abort); };
}

TEST(NoticeQueueTest, AFloodBecomesOneNoticePerSessionAndKindWithItsCount) {
  FakeUi ui;
  NoticeQueue::Options options;
  options.window = std::chrono::milliseconds(1000);
  NoticeQueue queue(To(ui), options);
  ASSERT_EQ(0, queue.Start());
  const std::map<std::pair<uint64_t, std::string>, int> posted = {
      {{1, "syncing_file"}, 1000}, {{2, "syncing_file"}, 500}, {{1, "recent_file"}, 300}};
  auto began = Clock::now();
  for (int i = 0; i < 1000; ++i) {
    for (const auto& [key, n] : posted) {
      if (i < n) {
        ASSERT_EQ(0, queue.Post(FileNotice(key.second.c_str(), key.first, i), "x"));
      }
    }
    if (i % 400 == 0) {
      ASSERT_EQ(0, queue.Post(ErrorNotice(-(i / 400) - 1), "x"));
    }
  }
  auto posting = Clock::now() - began;
  queue.Stop();

  std::map<std::pair<uint64_t, std::string>, std::vector<PObject>> sent;
  std::vector<int> errors;
  for (const PObject& msg : ui.got()) {
    std::string kind = msg["notify"].asString().c_str_utf8();
    if (kind == "error") {
      errors.push_back(msg["error_type"].asInt32());
      continue;
    }
    sent[{msg["session_id"].asUInt64(), kind}].push_back(msg);
  }
  // Errors are never merged and keep their order.
  EXPECT_EQ((std::vector<int>{-1, -2, -3}), errors);
  const long windows = std::chrono::duration_cast<std::chrono::milliseconds>(posting).count() / 1000 + 1;
  for (const auto& [key, n] : posted) {
    const std::vector<PObject>& notices = sent[key];
    ASSERT_FALSE(notices.empty());
    // One notice per window at most.
    EXPECT_LE(static_cast<long>(notices.size()), windows + 1) << key.second;
    uint64_t total = 0;
    for (const PObject& msg : notices) total += msg.hasMember("count") ? msg["count"].asUInt64() : 1;
    EXPECT_EQ(static_cast<uint64_t>(n), total) << key.second << " of session " << key.first;
    // The notice that goes last names the latest item.
    EXPECT_EQ(ustring("/f" + std::to_string(n - 1)), notices.back()["path"].asString());
  }
  NoticeQueue::Stats stats = queue.GetStats();
  EXPECT_EQ(0u, stats.dropped);
  EXPECT_EQ(ui.got().size(), stats.sent);
}

TEST(NoticeQueueTest, AStalledUserInterfaceNeverHoldsUpTheReporter) {
  FakeUi ui;
  ui.Stall(true);
  NoticeQueue::Options options;
  options.capacity = 64;
  options.stop_grace = std::chrono::milliseconds(200);
  NoticeQueue queue(To(ui), options);
  ASSERT_EQ(0, queue.Start());
  // Errors are not merged, so they fill the queue; the reporter is never
  // made to wait, and what does not fit is dropped.
  int accepted = 0;
  for (int i = 0; i < 10000; ++i) accepted += queue.Post(ErrorNotice(-2), "x") == 0 ? 1 : 0;
  EXPECT_EQ(64, accepted);
  // Stop gives up on the stalled delivery after the grace time.
  auto began = Clock::now();
  queue.Stop();
  EXPECT_LT(Clock::now() - began, std::chrono::seconds(10));
  NoticeQueue::Stats stats = queue.GetStats();
  EXPECT_EQ(0u, stats.sent);
  EXPECT_EQ(10000u, stats.dropped + stats.failed);
  EXPECT_EQ(-1, queue.Post(ErrorNotice(-2), "x")) << "a stopped queue takes nothing";
}

}  // namespace
}  // namespace tidewell
