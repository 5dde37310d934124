// The change detector on real folders: what happens on disk must arrive as
// events in the event manager (awaited with a deadline).

#include "sync/detector.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "common/temp_dir.h"
#include "db/file_event_db.h"
#include "events/event_manager.h"
#include "session/registry.h"

namespace tidewell {
namespace {

namespace fs = std::filesystem;

class Worker : public Task {};

// "local file /a.txt EV_MODIFY", "local dir /d EV_ADD expand", ...
std::string Describe(const Event& e) {
  std::string s = e.IsServerEvent() ? "server " : "local ";
  s += e.IsDir() ? "dir " : "file ";
  s += std::string(e.m_path.utf8_view()) + " " + Event::TypeName(e.m_type);
  if (e.IsExpand()) s += e.m_mode & Event::F_RESCAN ? " rescan" : " expand";
  return s;
}

class DetectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::path(dir.path()) / "sync";
    outside = fs::path(dir.path()) / "outside";
    fs::create_directories(root);
    fs::create_directories(outside);
    fs::create_directories(fs::path(dir.path()) / "conf");
    db = std::make_shared<FileEventDB>();
    ASSERT_EQ(db->initialize((fs::path(dir.path()) / "conf" / "event-db.sqlite").string()), 0);
    Registry::Entry e;
    e.sess_id = kSess;
    e.local_path = root.string();
    e.event_db = db;
    sessions.Set(e);
  }

  void Start(size_t max_watches = 0, int rescan_interval = 60) {
    detector = std::make_unique<Detector>(manager, sessions, max_watches);
    detector->SetDegradedRescanInterval(rescan_interval);
    ASSERT_EQ(detector->Run(), 0);
    ASSERT_EQ(detector->AddWatch(root.string(), kSess), 0);
  }

  void TearDown() override {
    detector.reset();
    sessions.Clear();
  }

  // Records that the database knows `rel` (as a folder when `is_dir`).
  void Known(const std::string& rel, bool is_dir) {
    ClientFileEventInfo info;
    info.path = rel;
    info.fileType = is_dir ? 1 : 0;
    info.isExist = 1;
    info.syncID = 5;
    ASSERT_EQ(db->setEventInfo(info), 0);
  }

  // Pulls (and finishes) events until `want` has been seen; returns all
  // seen, in order. Fails after 10 seconds.
  std::vector<std::string> Await(const std::string& want) {
    std::vector<std::string> seen;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      Event e;
      if (manager.PullEvent(&worker, e) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // polling, not waiting
        continue;
      }
      seen.push_back(Describe(e));
      while (manager.DoneEvent(&worker, e) != 0) seen.push_back(Describe(e));
      for (const std::string& s : seen)
        if (s == want) return seen;
    }
    ADD_FAILURE() << "no '" << want << "' within the deadline";
    return seen;
  }

  static int Count(const std::vector<std::string>& v, const std::string& prefix) {
    int n = 0;
    for (const std::string& s : v) n += s.rfind(prefix, 0) == 0;
    return n;
  }

  void Write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }

  static constexpr uint64_t kSess = 42;
  testing::TempDir dir;
  fs::path root, outside;
  std::shared_ptr<FileEventDB> db;
  Registry sessions;
  EventManager manager{sessions};
  Worker worker;
  std::unique_ptr<Detector> detector;
};

TEST_F(DetectorTest, CreateModifyAndRenameInside) {
  Start();
  Write(root / "a.txt", "hello");
  auto seen = Await("local file /a.txt EV_MODIFY");
  Write(root / "a.txt", "hello again");
  Await("local file /a.txt EV_MODIFY");
  fs::rename(root / "a.txt", root / "b.txt");
  seen = Await("local file /b.txt EV_ADD");
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[seen.size() - 2], "local file /a.txt EV_REMOVE");
  for (const std::string& s : seen) EXPECT_EQ(s.find("VeltronaWorkingDirectory"), std::string::npos);
}

TEST_F(DetectorTest, NewFolderIsExpandedAndItsContentsFollowed) {
  Start();
  fs::create_directories(root / "d" / "e");
  auto seen = Await("local dir /d EV_ADD expand");
  EXPECT_EQ(Count(seen, "local dir /d EV_ADD"), 2);  // the event and its expand request
  // /d/e may have been made after /d's watch: then its own notice adds its
  // watch, possibly in a later read. Notices are handled in order, so once
  // a file written now is handed on, /d/e is watched.
  Write(root / "barrier", "b");
  Await("local file /barrier EV_MODIFY");
  Write(root / "d" / "e" / "f.txt", "x");
  Await("local file /d/e/f.txt EV_MODIFY");
  // A folder's own modification is not an event.
  fs::last_write_time(root / "d", fs::file_time_type::clock::now() - std::chrono::hours(1));
  Write(root / "sentinel", "s");
  seen = Await("local file /sentinel EV_MODIFY");
  EXPECT_EQ(Count(seen, "local dir /d EV_MODIFY"), 0);
}

TEST_F(DetectorTest, MovesOutAndInOfTheFolder) {
  Write(root / "known.txt", "k");
  Write(root / "stranger.txt", "s");
  Known("/known.txt", false);
  fs::create_directories(outside / "arrive" / "inner");
  Start();
  fs::rename(root / "stranger.txt", outside / "stranger.txt");  // never synced: nothing
  fs::rename(root / "known.txt", outside / "known.txt");
  auto seen = Await("local file /known.txt EV_REMOVE");
  EXPECT_EQ(Count(seen, "local file /stranger.txt"), 0);
  fs::rename(outside / "arrive", root / "arrive");
  seen = Await("local dir /arrive EV_ADD expand");
  Write(root / "arrive" / "inner" / "n.txt", "n");
  Await("local file /arrive/inner/n.txt EV_MODIFY");
}

TEST_F(DetectorTest, DeletingNestedFoldersTakesKindsFromDatabase) {
  fs::create_directories(root / "d" / "e");
  Write(root / "d" / "e" / "f.txt", "f");
  Known("/d", true);
  Known("/d/e", true);
  Known("/d/e/f.txt", false);
  Start();
  fs::remove_all(root / "d");
  auto seen = Await("local dir /d EV_REMOVE");
  // Work below a folder being removed is swallowed by the removal when it
  // is still waiting; whatever got out first came out with the right kind.
  for (const std::string& s : seen) {
    if (s.find("/d/e/f.txt") != std::string::npos) {
      EXPECT_EQ(s, "local file /d/e/f.txt EV_REMOVE");
    }
    if (s.find("/d/e ") != std::string::npos) {
      EXPECT_EQ(s, "local dir /d/e EV_REMOVE");
    }
  }
}

TEST_F(DetectorTest, DeletedWorkingFolderIsCreatedAgainSilently) {
  Start();
  fs::path work = root / Detector::kWorkingDirectory;
  fs::path recycle = work / Detector::kRecycleBin;
  ASSERT_TRUE(fs::is_directory(recycle));
  Write(recycle / "old", "o");
  // Taken away whole (a recursive delete races with the re-creation of the
  // recycle folder inside it, which the detector wins).
  fs::rename(work, outside / "taken");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!fs::is_directory(recycle) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(fs::is_directory(recycle));
  // Only the recycle folder lost: recreated as well.
  fs::remove(recycle);
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!fs::is_directory(recycle) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(fs::is_directory(recycle));
  Write(root / "sentinel", "s");
  auto seen = Await("local file /sentinel EV_MODIFY");
  for (const std::string& s : seen) EXPECT_EQ(s.find("Veltrona"), std::string::npos) << s;
}

TEST_F(DetectorTest, AFolderThatComesBackWholeIsWatchedAgain) {
  Start();
  Write(root / "before", "b");
  Await("local file /before EV_MODIFY");
  fs::rename(root, outside / "away");
  // Changes while it is away are not the session's.
  Write(outside / "away" / "while-away", "w");
  fs::rename(outside / "away", root);
  // Looked at again within a second or so: a rescan for what was missed,
  // then live changes as before.
  Await("local dir / EV_ADD rescan");
  Write(root / "after", "a");
  Await("local file /after EV_MODIFY");
}

TEST_F(DetectorTest, AFolderBackWithoutItsWorkingFolderStaysUnwatched) {
  Start();
  fs::rename(root, outside / "away");
  fs::create_directories(root);  // an empty mount point in its place
  Write(root / "stray", "s");
  // A folder that is watched again is rescanned at once; give it several
  // looks, then check that nothing came.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  Event e;
  while (std::chrono::steady_clock::now() < deadline) {
    ASSERT_NE(manager.PullEvent(&worker, e), 0) << Describe(e);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // polling, not waiting
  }
}

TEST_F(DetectorTest, LostNotificationsBecomeARescan) {
  std::ifstream limit("/proc/sys/fs/inotify/max_queued_events");
  long max_queued = 0;
  limit >> max_queued;
  if (max_queued <= 0 || max_queued > 100000) GTEST_SKIP() << "queue limit " << max_queued;
  Start();
  detector->Pause();
  Write(root / "f0", "");
  Write(root / "f1", "");
  for (long i = 0; i < 2 * max_queued; ++i) {
    int fd = open((root / ("f" + std::to_string(i % 2))).c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  detector->Resume();
  Await("local dir / EV_ADD rescan");
}

TEST_F(DetectorTest, WatchLimitFallsBackToPeriodicRescans) {
  fs::create_directories(root / "a" / "b");
  fs::create_directories(root / "c");
  Start(2, 1);  // the root and one more folder
  Await("local dir / EV_ADD rescan");
  Await("local dir / EV_ADD rescan");  // and again
}

TEST_F(DetectorTest, AFileWrittenInStepsIsHandedOnOnceAfterItsWriterCloses) {
  Start();
  // Long enough that only the close can hand the file on.
  detector->SetSettleDelay(std::chrono::seconds(600));
  int fd = open((root / "slow.bin").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  std::vector<std::string> seen;
  auto step = [&](const std::string& bytes, int n) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
    // Notices are handled in order: once a file written after this step is
    // handed on, a premature event for slow.bin would have come first.
    std::string sentinel = "sentinel" + std::to_string(n);
    Write(root / sentinel, "s");
    auto got = Await("local file /" + sentinel + " EV_MODIFY");
    seen.insert(seen.end(), got.begin(), got.end());
  };
  step("first part ", 1);
  ASSERT_EQ(0, fchmod(fd, 0600));  // an attribute change while writing
  step("second part ", 2);
  step("last part", 3);
  EXPECT_EQ(0, Count(seen, "local file /slow.bin")) << "handed on while its writer still writes";
  ASSERT_EQ(0, close(fd));
  auto got = Await("local file /slow.bin EV_MODIFY");
  seen.insert(seen.end(), got.begin(), got.end());
  Write(root / "sentinel4", "s");
  got = Await("local file /sentinel4 EV_MODIFY");
  seen.insert(seen.end(), got.begin(), got.end());
  EXPECT_EQ(1, Count(seen, "local file /slow.bin")) << "handed on exactly once";
}

TEST_F(DetectorTest, AFileLeftOpenIsHandedOnOnceItStaysUnchanged) {
  Start();
  detector->SetSettleDelay(std::chrono::milliseconds(300));
  int fd = open((root / "open.log").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(5, write(fd, "hello", 5));
  // Still open: handed on by the settle delay, as a creation.
  auto seen = Await("local file /open.log EV_ADD");
  EXPECT_EQ(1, Count(seen, "local file /open.log"));
  ASSERT_EQ(0, close(fd));
  Await("local file /open.log EV_MODIFY");  // the close hands on the final state
}

TEST_F(DetectorTest, SpecialFilesAreSkippedWithOneInfoLineEach) {
  dir.WriteFile("levels", "detector_debug = 6\n");
  ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, ustring(dir.Join("log")), ustring(dir.Join("levels")), 2));
  Write(outside / "target.txt", "t");
  Start();
  // Each row: a kind of file that is never synchronised.
  std::vector<std::string> names = {"link", "pipe", "sock"};
  fs::create_symlink(outside / "target.txt", root / "link");
  ASSERT_EQ(0, mkfifo((root / "pipe").c_str(), 0644));
  int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string sock_path = (root / "sock").string();
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sock_path.c_str(), sock_path.size());
  ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  if (mknod((root / "dev").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) names.push_back("dev");
  // Further notices for the same items add no line.
  int fifo = open((root / "pipe").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fifo, 0);
  ASSERT_EQ(1, write(fifo, "x", 1));
  close(fifo);
  timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, (root / "link").c_str(), times, AT_SYMLINK_NOFOLLOW));
  Write(root / "sentinel", "s");
  auto seen = Await("local file /sentinel EV_MODIFY");
  close(sock);
  Logger::Destroy();
  for (const std::string& name : names) EXPECT_EQ(0, Count(seen, "local file /" + name)) << name;
  std::string log = dir.ReadFile("log");
  for (const std::string& name : names) {
    std::string what = "Skipping " + (root / name).string() + " in session #42";
    size_t first = log.find(what);
    EXPECT_NE(std::string::npos, first) << name << "\n" << log;
    EXPECT_EQ(std::string::npos, log.find(what, first + 1)) << name << " named twice\n" << log;
  }
}

TEST(DetectorNamesTest, WorkingFolderAndRecycleBin) {
  EXPECT_TRUE(Detector::IsFromWorkingDirectory(ustring(".VeltronaWorkingDirectory")));
  EXPECT_TRUE(Detector::IsFromWorkingDirectory(ustring("/.VeltronaWorkingDirectory/#VeltRecycle/x")));
  EXPECT_FALSE(Detector::IsFromWorkingDirectory(ustring("/.VeltronaWorkingDirectoryX")));
  EXPECT_FALSE(Detector::IsFromWorkingDirectory(ustring("/.veltronaworkingdirectory")));
  EXPECT_FALSE(Detector::IsFromWorkingDirectory(ustring("/.VeltronaWorkingDirectory\\x")));
  EXPECT_FALSE(Detector::IsFromWorkingDirectory(ustring("/a/.VeltronaWorkingDirectory")));
  EXPECT_TRUE(Detector::IsRecycleBin(ustring("/.VeltronaWorkingDirectory/#VeltRecycle")));
  EXPECT_FALSE(Detector::IsRecycleBin(ustring("/.VeltronaWorkingDirectory/#VeltRecycle/x")));
}

}  // namespace
}  // namespace tidewell
