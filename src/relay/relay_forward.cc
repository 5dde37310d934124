#include "relay/relay_forward.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

namespace tidewell {

namespace {

constexpr size_t kBufferSize = 65536;

// One direction: bytes read from `from`, waiting to be written to `to`.
struct Pipe {
  int from;
  int to;
  std::unique_ptr<char[]> buf{new char[kBufferSize]};
  size_t head = 0;  // first unsent byte
  size_t size = 0;  // unsent bytes
  bool eof = false;       // `from` finished sending
  bool shut = false;      // `to`'s sending direction has been shut down
  uint64_t delivered = 0;

  bool WantsRead() const { return !eof && head + size < kBufferSize; }
  bool WantsWrite() const { return size > 0; }
  bool Done() const { return shut; }

  // Returns false when the socket failed.
  bool DoRead() {
    for (;;) {
      ssize_t n = recv(from, buf.get() + head + size, kBufferSize - head - size, MSG_DONTWAIT);
      if (n > 0) {
        size += static_cast<size_t>(n);
        return true;
      }
      if (n == 0) {
        eof = true;
        return true;
      }
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
  }

  bool DoWrite() {
    for (;;) {
      ssize_t n = send(to, buf.get() + head, size, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        head += static_cast<size_t>(n);
        size -= static_cast<size_t>(n);
        delivered += static_cast<uint64_t>(n);
        if (size == 0) head = 0;
        return true;
      }
      if (n < 0 && errno == EINTR) continue;
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }

  // After the end of stream has been delivered, pass it on.
  void MaybeShut() {
    if (eof && size == 0 && !shut) {
      shutdown(to, SHUT_WR);
      shut = true;
    }
  }
};

void MakeNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

}  // namespace

const char* ForwardEndText(ForwardEnd end) {
  switch (end) {
    case ForwardEnd::kClosed:
      return "closed";
    case ForwardEnd::kError:
      return "connection error";
    case ForwardEnd::kStopped:
      return "relay stopping";
    case ForwardEnd::kIdle:
      return "idle time-out";
  }
  return "?";
}

ForwardResult ForwardBoth(int client, int target, const std::string& first_to_target, int stop_fd,
                          uint32_t idle_seconds) {
  MakeNonBlocking(client);
  MakeNonBlocking(target);
  Pipe up{client, target};
  Pipe down{target, client};
  ForwardResult result;
  auto finish = [&](ForwardEnd end) {
    result.end = end;
    result.client_to_target = up.delivered;
    result.target_to_client = down.delivered;
    return result;
  };

  // Bytes that came with the handshake go first (they fit: the request
  // header is far smaller than the buffer).
  size_t first = std::min(first_to_target.size(), kBufferSize);
  std::memcpy(up.buf.get(), first_to_target.data(), first);
  up.size = first;

  const int timeout_ms = idle_seconds == 0 ? -1 : static_cast<int>(std::min<uint64_t>(idle_seconds * 1000ULL, INT32_MAX));
  while (!(up.Done() && down.Done())) {
    short client_events = static_cast<short>((down.WantsWrite() ? POLLOUT : 0) | (up.WantsRead() ? POLLIN : 0));
    short target_events = static_cast<short>((up.WantsWrite() ? POLLOUT : 0) | (down.WantsRead() ? POLLIN : 0));
    pollfd fds[3] = {{client, client_events, 0}, {target, target_events, 0}, {stop_fd, POLLIN, 0}};
    int n = poll(fds, stop_fd >= 0 ? 3 : 2, timeout_ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      return finish(ForwardEnd::kError);
    }
    if (n == 0) return finish(ForwardEnd::kIdle);
    if (stop_fd >= 0 && fds[2].revents != 0) return finish(ForwardEnd::kStopped);

    // Errors and hang-ups show up as failures of the transfers below. A
    // socket that reports them while nothing is wanted from it is gone for
    // good; waiting on would spin, since poll keeps reporting it.
    for (int i = 0; i < 2; ++i) {
      if (fds[i].events == 0 && fds[i].revents != 0) {
        return finish((fds[i].revents & (POLLERR | POLLNVAL)) ? ForwardEnd::kError : ForwardEnd::kClosed);
      }
    }
    const short kIn = POLLIN | POLLHUP | POLLERR;
    const short kOut = POLLOUT | POLLHUP | POLLERR;
    if ((fds[0].revents & kIn) && up.WantsRead() && !up.DoRead()) return finish(ForwardEnd::kError);
    if ((fds[1].revents & kIn) && down.WantsRead() && !down.DoRead()) return finish(ForwardEnd::kError);
    if ((fds[1].revents & kOut) && up.WantsWrite() && !up.DoWrite()) return finish(ForwardEnd::kError);
    if ((fds[0].revents & kOut) && down.WantsWrite() && !down.DoWrite()) return finish(ForwardEnd::kError);
    up.MaybeShut();
    down.MaybeShut();
  }
  return finish(ForwardEnd::kClosed);
}

}  // namespace tidewell
