#include "base/task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

namespace tidewell {
namespace {

// Waits in steps until stopped; records what each Wait returned.
class WaitingTask : public Task {
 public:
  ~WaitingTask() override { StopAndJoin(); }
  std::atomic<int> waits{0};
  std::atomic<int> last{1};
  std::promise<void> started;

 protected:
  void DoTask() override {
    started.set_value();
    while (GetState() != STOP) {
      last = Wait(30);
      ++waits;
      while (GetState() == PAUSE) WaitMs(10);
    }
  }
};

TEST(TaskTest, RunTwiceRefusedAndIdentifiersNeverReused) {
  WaitingTask t;
  EXPECT_EQ(t.GetId(), -1);
  EXPECT_EQ(t.Join(), -1);
  ASSERT_EQ(t.Run(), 0);
  int first = t.GetId();
  EXPECT_GE(first, 0);
  EXPECT_EQ(t.Run(), -1);
  EXPECT_EQ(t.GetState(), Task::RUN);
  t.Stop();
  EXPECT_EQ(t.Join(), 0);
  EXPECT_EQ(t.GetState(), Task::STOP);
  EXPECT_EQ(t.GetId(), -1);
  EXPECT_EQ(t.Join(), -1);
  // Runnable again after Join, under a new identifier.
  t.started = std::promise<void>();
  ASSERT_EQ(t.Run(), 0);
  EXPECT_GT(t.GetId(), first);
}

TEST(TaskTest, PauseAndStopCutWaitShort) {
  WaitingTask t;
  auto started = t.started.get_future();
  auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(t.Run(), 0);
  started.wait();
  t.Pause();  // the 30 s wait ends at once with -1
  while (t.waits.load() == 0) std::this_thread::yield();
  EXPECT_EQ(t.last.load(), -1);
  t.Stop();
  EXPECT_EQ(t.Join(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(20));
}

TEST(TaskTest, WaitRunsFullTimeWhileRunningAndFailsWhenNotRunning) {
  struct Idle : Task {} t;
  EXPECT_EQ(t.Wait(1), -1);  // a stopped task does not wait
  t.SetState(Task::RUN);
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(t.WaitMs(200), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(200));
  t.SetState(Task::STOP);
}

class LoopUntilStopped : public Task {
 public:
  explicit LoopUntilStopped(std::atomic<int>* exited) : exited_(exited) {}
  ~LoopUntilStopped() override { StopAndJoin(); }

 protected:
  void DoTask() override {
    while (Wait(30) == 0) {
    }
    exited_->store(1);
  }

 private:
  std::atomic<int>* const exited_;
};

TEST(TaskTest, DestroyingARunningTaskWaitsForItsThread) {
  std::atomic<int> exited{0};
  auto t = std::make_unique<LoopUntilStopped>(&exited);
  ASSERT_EQ(t->Run(), 0);
  t.reset();
  EXPECT_EQ(exited.load(), 1);
}

}  // namespace
}  // namespace tidewell
