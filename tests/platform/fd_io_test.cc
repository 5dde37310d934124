#include "platform/fd_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include "common/blocked_thread.h"
#include "common/temp_dir.h"

namespace tidewell {
namespace {

using Clock = std::chrono::steady_clock;

// A connected pair of non-blocking stream sockets, closed at the end.
struct SocketPair {
  SocketPair() {
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fd));
    // Small buffers, so a writer fills them quickly.
    int size = 4096;
    setsockopt(fd[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(fd[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  ~SocketPair() {
    for (int f : fd) {
      if (f >= 0) close(f);
    }
  }
  int fd[2] = {-1, -1};
};

// An eventfd to stop waits with.
struct StopFd {
  StopFd() : fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~StopFd() { close(fd); }
  void Raise() const {
    uint64_t one = 1;
    EXPECT_EQ(static_cast<ssize_t>(sizeof one), write(fd, &one, sizeof one));
  }
  int fd;
};

TEST(FdIoTest, WaitEndsForEachReasonWithItsResult) {
  SocketPair quiet;  // nothing to read on quiet.fd[1]
  SocketPair ready;
  ASSERT_EQ(1, write(ready.fd[0], "x", 1));
  StopFd stop;
  std::atomic<int> abort{0};

  // Ready beats a passed deadline: a descriptor is polled at least once.
  EXPECT_EQ(FdWait::kReady, WaitFd(ready.fd[1], POLLIN, WaitLimits{Clock::now() - std::chrono::seconds(1)}));

  const auto before = Clock::now();
  const Deadline deadline = DeadlineAfterMs(30);
  EXPECT_EQ(FdWait::kTimeout, WaitFd(quiet.fd[1], POLLIN, WaitLimits{deadline}));
  EXPECT_GE(Clock::now(), deadline);
  EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(30));

  // The stop descriptor is looked at first, even when the descriptor is ready.
  stop.Raise();
  EXPECT_EQ(FdWait::kStopped, WaitFd(ready.fd[1], POLLIN, WaitLimits{kNoDeadline, stop.fd}));

  abort = 1;
  EXPECT_EQ(FdWait::kAborted, WaitFd(ready.fd[1], POLLIN, WaitLimits{kNoDeadline, -1, &abort}));

  int closed = dup(quiet.fd[1]);
  ASSERT_GE(closed, 0);
  close(closed);
  EXPECT_EQ(FdWait::kInvalid, WaitFd(closed, POLLIN, WaitLimits{DeadlineAfterMs(10000)}));
}

TEST(FdIoTest, AbortRaisedDuringAnEndlessWaitEndsIt) {
  SocketPair quiet;
  std::atomic<int> abort{0};
  const pid_t waiter = testing::CurrentThreadId();
  std::thread raiser([&] {
    EXPECT_TRUE(testing::AwaitAsleep(waiter));
    abort = 1;
  });
  // No deadline: only the flag, raised while this thread sleeps in poll,
  // can end this wait.
  EXPECT_EQ(FdWait::kAborted, WaitFd(quiet.fd[1], POLLIN, WaitLimits{kNoDeadline, -1, &abort}));
  raiser.join();
}

TEST(FdIoTest, WriteAllDeliversEverythingThroughWouldBlock) {
  SocketPair pair;
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 9));
  std::string got;
  std::thread reader([&] {
    char buf[8192];
    while (got.size() < data.size()) {
      pollfd p{pair.fd[1], POLLIN, 0};
      ASSERT_GT(poll(&p, 1, 30000), 0);
      ssize_t n = read(pair.fd[1], buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
  });
  size_t written = 0;
  EXPECT_EQ(kWriteOk, WriteAll(pair.fd[0], data.data(), data.size(), WaitLimits{DeadlineAfterMs(60000)}, &written));
  reader.join();
  EXPECT_EQ(data.size(), written);
  EXPECT_TRUE(got == data);
}

TEST(FdIoTest, WriteAllReportsWhyItStopped) {
  const std::string big(1 << 20, 'b');
  {
    SocketPair nobody_reads;
    size_t written = 0;
    EXPECT_EQ(kWriteTimeout,
              WriteAll(nobody_reads.fd[0], big.data(), big.size(), WaitLimits{DeadlineAfterMs(20)}, &written));
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
  }
  {
    SocketPair nobody_reads;
    StopFd stop;
    stop.Raise();
    EXPECT_EQ(kWriteStopped, WriteAll(nobody_reads.fd[0], big.data(), big.size(), WaitLimits{kNoDeadline, stop.fd}));
  }
  {
    SocketPair nobody_reads;
    std::atomic<int> abort{1};
    EXPECT_EQ(kWriteAborted,
              WriteAll(nobody_reads.fd[0], big.data(), big.size(), WaitLimits{kNoDeadline, -1, &abort}));
  }
  {
    // A vanished peer is an error, not a SIGPIPE that ends the test program.
    SocketPair gone;
    close(gone.fd[1]);
    gone.fd[1] = -1;
    errno = 0;
    EXPECT_EQ(kWriteFailed, WriteAll(gone.fd[0], "x", 1));
    EXPECT_EQ(EPIPE, errno);
  }
  {
    int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    EXPECT_EQ(kWriteNoSpace, WriteAll(full, "x", 1));
    EXPECT_EQ(ENOSPC, errno);
    close(full);
  }
}

TEST(FdIoTest, WriteAllWritesFilesAndPipes) {
  testing::TempDir dir;
  int file = open(dir.Join("f").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(file, 0);
  EXPECT_EQ(kWriteOk, WriteAll(file, "hello ", 6));
  EXPECT_EQ(kWriteOk, WriteAll(file, "world", 5));
  EXPECT_EQ(kWriteOk, WriteAll(file, "", 0));
  close(file);
  EXPECT_EQ("hello world", dir.ReadFile("f"));

  int p[2];
  ASSERT_EQ(0, pipe2(p, O_CLOEXEC));
  EXPECT_EQ(kWriteOk, WriteAll(p[1], "abc", 3));
  char buf[3];
  EXPECT_EQ(3, read(p[0], buf, 3));
  EXPECT_EQ(0, memcmp(buf, "abc", 3));
  close(p[0]);
  close(p[1]);
}

}  // namespace
}  // namespace tidewell
