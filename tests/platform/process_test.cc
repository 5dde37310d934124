// Child processes and the instance lock: the pieces
// the front end uses to run and find the daemon.

#include "platform/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>

#include "common/temp_dir.h"
#include "platform/instance_lock.h"

namespace tidewell {
namespace {

TEST(ProcessTest, ExitCodesSignalsAndFailedExecAreReported) {
  testing::TempDir dir;
  SpawnOptions o;
  o.argv = {"/bin/sh", "-c", "echo out; echo err >&2; exit 7"};
  o.output_file = dir.Join("log");
  pid_t pid = SpawnProcess(o);
  ASSERT_GT(pid, 0);
  int code = -1;
  ASSERT_EQ(1, WaitProcess(pid, 30000, &code));
  EXPECT_EQ(7, code);
  EXPECT_EQ("out\nerr\n", dir.ReadFile("log"));

  o.argv = {"/bin/sleep", "60"};
  o.output_file.clear();
  o.new_process_group = true;
  pid = SpawnProcess(o);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(0, WaitProcess(pid, 50, &code));  // still running
  EXPECT_TRUE(ProcessExists(pid));
  EXPECT_NE(std::string::npos, ProcessCommandLine(pid).find("sleep 60"));
  EXPECT_EQ(pid, getpgid(pid));  // a group of its own
  ASSERT_EQ(0, SignalProcess(pid, SIGKILL));
  ASSERT_EQ(1, WaitProcess(pid, 30000, &code));
  EXPECT_EQ(128 + SIGKILL, code);
  EXPECT_EQ(-1, WaitProcess(pid, 0, &code));  // already reaped
  EXPECT_EQ(-1, WaitProcess(0, 0, &code));    // never "any child"

  o.argv = {dir.Join("no-such-program")};
  errno = 0;
  EXPECT_EQ(-1, SpawnProcess(o));
  EXPECT_EQ(ENOENT, errno);
}

TEST(ProcessTest, InstanceLockAdmitsOneHolderAcrossProcesses) {
  testing::TempDir dir;
  const std::string path = dir.Join("lock");
  EXPECT_EQ(0, IsInstanceLockHeld(path));  // no file yet
  // Another process holds the lock while it lives.
  SpawnOptions o;
  // The shell opens the file, locks it and becomes `sleep`, which then
  // holds the lock until it dies.
  o.argv = {"/bin/sh", "-c", "exec 9>\"$0\" && flock -n 9 && exec sleep 60", path};
  pid_t holder = SpawnProcess(o);
  ASSERT_GT(holder, 0);
  InstanceLock lock;
  int got = 0;
  for (int i = 0; i < 3000 && IsInstanceLockHeld(path) != 1; ++i) usleep(10000);  // until flock has it
  ASSERT_EQ(1, IsInstanceLockHeld(path));
  EXPECT_EQ(0, lock.TryAcquire(path));
  ASSERT_EQ(0, SignalProcess(holder, SIGKILL));
  ASSERT_EQ(1, WaitProcess(holder, 30000, nullptr));
  // A killed holder leaves no stale lock.
  got = lock.TryAcquire(path);
  EXPECT_EQ(1, got);
  InstanceLock second;
  EXPECT_EQ(0, second.TryAcquire(path));
  EXPECT_EQ(1, IsInstanceLockHeld(path));
  lock.Release();
  EXPECT_EQ(0, IsInstanceLockHeld(path));
}

}  // namespace
}  // namespace tidewell
