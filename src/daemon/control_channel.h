// The channel of one control connection, with hard limits on what a peer
// may make the daemon read: at most `max_bytes` for the request, nothing
// after the `total` time since the connection was adopted, and no more than
// `idle_seconds` without a byte. A peer that breaks a limit costs the
// daemon its connection and nothing else; exceeded() says which limit it
// broke, for the log.
//
// Not thread-safe: the control loop's thread owns it.

#ifndef TIDEWELL_DAEMON_CONTROL_CHANNEL_H_
#define TIDEWELL_DAEMON_CONTROL_CHANNEL_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "net/channel.h"

namespace tidewell {

class ControlChannel : public Channel {
 public:
  struct Limits {
    size_t max_bytes = 1 << 20;
    std::chrono::milliseconds total{10000};
    uint32_t idle_seconds = 3;
  };

  enum class Exceeded { kNone, kTooLarge, kTooSlow };

  explicit ControlChannel(const Limits& limits);
  ~ControlChannel() override;

  // Adopts an accepted socket, making it lingering and non-blocking. 0, or
  // a negative code; the socket is closed on failure too.
  [[nodiscard]] int Adopt(int fd);

  // The limit the peer broke, if any.
  Exceeded exceeded() const;

  // What is left of the limits; shared with the socket operations.
  struct Budget;

 private:
  const Limits limits_;
  std::shared_ptr<Budget> budget_;
};

}  // namespace tidewell

#endif  // TIDEWELL_DAEMON_CONTROL_CHANNEL_H_
