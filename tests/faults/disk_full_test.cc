// The client's disk filling up: the session's folder is a small tmpfs made
// for the test, too small for a file the server holds. The failure must be
// reported, nothing already in the folder may be damaged, no partial file
// may appear under the file's name, and once the file system grows the
// download must complete by itself.
//
// Mounting needs root (CAP_SYS_ADMIN); without it the test is skipped and
// says so.

#include <sys/mount.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "base/error_code.h"
#include "common/engine_harness.h"
#include "common/random.h"
#include "common/server_client.h"
#include "common/server_process.h"
#include "sync/detector.h"

namespace tidewell {
namespace {

using testing::EngineClient;
using testing::ServerClient;
using testing::ServerProcess;

constexpr testing::Deadline kLong{180000};

class DiskFullTest : public ::testing::Test {
 protected:
  void TearDown() override {
    client.reset();  // workers stopped before the file system goes
    if (mounted_) umount2(mount_point_.c_str(), MNT_DETACH);
  }

  // Mounts a tmpfs of `size` over `dir`; false when this process may not.
  bool MountSmall(const std::string& dir, const char* size) {
    const std::string opts = std::string("size=") + size + ",mode=0755";
    if (mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, opts.c_str()) != 0) {
      skip_reason_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
      return false;
    }
    mounted_ = true;
    mount_point_ = dir;
    return true;
  }

  bool Grow(const char* size) {
    const std::string opts = std::string("size=") + size + ",mode=0755";
    return mount("tmpfs", mount_point_.c_str(), "tmpfs", MS_REMOUNT | MS_NOSUID | MS_NODEV, opts.c_str()) == 0;
  }

  ServerProcess server;
  std::unique_ptr<EngineClient> client;
  std::string skip_reason_;
  bool mounted_ = false;
  std::string mount_point_;
};

TEST_F(DiskFullTest, ADownloadThatDoesNotFitIsReportedAndCompletesOnceThereIsRoom) {
  std::mt19937_64 rng(testing::TestSeed());
  const std::string small = testing::RandomBytes(rng, 100 << 10);
  const std::string large = testing::RandomBytes(rng, 6 << 20);
  ASSERT_TRUE(server.Start());
  ServerClient peer(server);
  ASSERT_FALSE(peer.Upload("/a-small.bin", small).hasMember("error"));

  client = std::make_unique<EngineClient>(server);
  EngineClient& c = *client;
  if (!MountSmall(c.root(), "4m")) GTEST_SKIP() << skip_reason_;
  // The session's working folder, as the daemon makes it, now on the small
  // file system.
  ASSERT_EQ(0, Detector::CreateWorkingDirectory(ustring(c.root())));
  c.StartWorkers(2);
  ASSERT_TRUE(c.SyncFromServer(kLong));
  ASSERT_TRUE(c.Read("/a-small.bin") == small);

  // The large file needs more room than is left.
  ASSERT_FALSE(peer.Upload("/b-large.bin", large).hasMember("error"));
  ASSERT_EQ(1, c.PullOnce());
  auto reported = [&] {
    for (const auto& n : c.notices().Snapshot())
      if (n.kind == "session_error" && n.code == ERR_LOCAL_DISKFULL) return true;
    return false;
  };
  ASSERT_TRUE(c.Await(reported, "the session to report the full disk", kLong));
  EXPECT_TRUE(c.Read("/a-small.bin") == small) << "a file already in place was damaged";
  EXPECT_FALSE(c.Exists("/b-large.bin") && c.Read("/b-large.bin") != large)
      << "a partial or wrong file appeared under the file's name";

  ASSERT_TRUE(Grow("64m"));
  ASSERT_TRUE(c.Await([&] { return c.Exists("/b-large.bin"); }, "the download once there is room", kLong));
  ASSERT_TRUE(c.AwaitIdle(kLong));
  EXPECT_TRUE(c.Read("/b-large.bin") == large);
  EXPECT_TRUE(c.Read("/a-small.bin") == small);
  EXPECT_EQ(std::vector<std::string>{"#VeltRecycle"}, c.List("/.VeltronaWorkingDirectory"));
}

}  // namespace
}  // namespace tidewell
