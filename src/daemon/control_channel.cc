#include "daemon/control_channel.h"

#include <algorithm>

#include "base/error_code.h"
#include "net/socket_ops.h"

namespace tidewell {

using Clock = std::chrono::steady_clock;

struct ControlChannel::Budget {
  size_t bytes_left = 0;
  Clock::time_point deadline;
  Exceeded exceeded = Exceeded::kNone;
};

namespace {

// Plain socket operations that count and time what they read.
class BoundedOps final : public ChannelOps {
 public:
  BoundedOps(int fd, std::shared_ptr<ControlChannel::Budget> budget) : plain_(fd), budget_(std::move(budget)) {}

  int read(uint8_t* buf, size_t len, const timeval& wait) override {
    if (len == 0) return ERR_INVAL;
    Clock::time_point now = Clock::now();
    if (now >= budget_->deadline) {
      budget_->exceeded = ControlChannel::Exceeded::kTooSlow;
      return ERR_TIMEOUT;
    }
    if (budget_->bytes_left == 0) {
      budget_->exceeded = ControlChannel::Exceeded::kTooLarge;
      return ERR_IO;
    }
    // Never wait past the deadline.
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(budget_->deadline - now);
    long wait_us = wait.tv_sec * 1000000L + wait.tv_usec;
    wait_us = std::min<long>(wait_us, static_cast<long>(left.count()));
    timeval bounded{wait_us / 1000000L, wait_us % 1000000L};
    int n = plain_.read(buf, std::min(len, budget_->bytes_left), bounded);
    if (n > 0) budget_->bytes_left -= static_cast<size_t>(n);
    return n;
  }
  int write(const uint8_t* buf, size_t len, const timeval& wait) override { return plain_.write(buf, len, wait); }
  int get_fd() const override { return plain_.get_fd(); }
  void close() override { plain_.close(); }
  bool isInvalid() const override { return plain_.isInvalid(); }

 private:
  PlainSocketOps plain_;
  std::shared_ptr<ControlChannel::Budget> budget_;
};

}  // namespace

ControlChannel::ControlChannel(const Limits& limits) : limits_(limits), budget_(std::make_shared<Budget>()) {
  SetTimeout(limits_.idle_seconds);
}

ControlChannel::~ControlChannel() { Close(); }

int ControlChannel::Adopt(int fd) {
  if (fd < 0 || !IsClosed()) {
    CloseSocket(fd);
    return ERR_INVAL;
  }
  if (SetLinger(fd, 1) < 0 || SetNonBlock(fd) < 0) {
    CloseSocket(fd);
    return ERR_SYS;
  }
  budget_->bytes_left = limits_.max_bytes;
  budget_->deadline = Clock::now() + limits_.total;
  budget_->exceeded = Exceeded::kNone;
  InstallOps(std::make_unique<BoundedOps>(fd, budget_), false);
  return ERR_OK;
}

ControlChannel::Exceeded ControlChannel::exceeded() const { return budget_->exceeded; }

}  // namespace tidewell
