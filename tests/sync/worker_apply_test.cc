// Placing a download against the real server while the user edits the
// local file: an edit that lands after the conflict check and before the
// new content is put in place must survive, under the item's name or a
// conflict name. The edit is made from the worker's own thread at the one
// moment in between (a test seam), so the race is hit every run.

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/engine_harness.h"
#include "common/server_client.h"
#include "common/server_process.h"

namespace tidewell {
namespace {

using testing::EngineClient;
using testing::ServerClient;
using testing::ServerProcess;

unsigned Seed() {
  static const unsigned seed = [] {
    const char* env = std::getenv("TIDEWELL_SEED");
    unsigned s = env ? static_cast<unsigned>(std::strtoul(env, nullptr, 10)) : std::random_device{}();
    std::printf("worker apply tests: TIDEWELL_SEED=%u\n", s);
    return s;
  }();
  return seed;
}

std::string RandomBytes(size_t n, unsigned salt) {
  std::mt19937_64 rng(Seed() * 7919ULL + salt);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(rng());
  return out;
}

// A worker that runs `edit` once, the first time the conflict check of a
// download of `path` has passed.
class EditingWorker : public Worker {
 public:
  using Worker::Worker;
  std::string path;
  std::function<void()> edit;
  int edits = 0;

 protected:
  void OnDownloadConflictChecked(const ustring& p) override {
    if (edits == 0 && std::string(p.utf8_view()) == path) {
      ++edits;
      edit();
    }
  }
};

// Every file of the session folder (without the working folder) and its
// content.
void CollectContents(EngineClient& c, const std::string& rel, std::vector<std::string>& out) {
  for (const std::string& name : c.List(rel)) {
    const std::string child = rel == "/" ? "/" + name : rel + "/" + name;
    struct stat st;
    ASSERT_EQ(0, lstat(c.Path(child).c_str(), &st));
    if (S_ISDIR(st.st_mode))
      CollectContents(c, child, out);
    else
      out.push_back(c.Read(child));
  }
}

struct Case {
  const char* name;
  size_t new_size;         // of the server's new version
  bool copy_in_session;    // the new version already lies elsewhere in the session
  bool keep_second;        // the edit keeps the size and the second of the file's time
};

TEST(ApplyRaceTest, AnEditLandingAfterTheConflictCheckIsNeverOverwritten) {
  Seed();
  const Case cases[] = {
      // The new content is copied from another file of the session and
      // renamed over the item.
      {"content taken from a copy in the session", 5000, true, false},
      // A fetched download; the edit keeps the file's size and lands in
      // the second the check looked, as any quick save does.
      {"an edit of the same size within the same second", 5000, false, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ServerProcess server;
    ASSERT_TRUE(server.Start());
    ServerClient peer(server);
    const std::string v1 = RandomBytes(4000, 1);
    const std::string v2 = RandomBytes(k.new_size, 2);
    ASSERT_FALSE(peer.Upload("/f.txt", v1).hasMember("error"));
    if (k.copy_in_session) {
      ASSERT_FALSE(peer.Upload("/g.txt", v2).hasMember("error"));
    }

    EngineClient c(server);
    EditingWorker& w = c.AddWorker<EditingWorker>();
    c.StartWorkers(1);
    ASSERT_TRUE(c.SyncFromServer());
    ASSERT_EQ(v1, c.Read("/f.txt"));

    std::string mine = v1;
    mine[7] ^= 0x55;
    w.path = "/f.txt";
    w.edit = [&] {
      const std::string file = c.Path("/f.txt");
      struct stat before;
      ASSERT_EQ(0, lstat(file.c_str(), &before));
      if (!k.keep_second) mine += " and more";
      c.Write("/f.txt", mine);
      if (k.keep_second) {
        // Saved within the same second as the check looked: only the
        // sub-second part of the time differs.
        timespec t[2];
        t[0].tv_nsec = UTIME_OMIT;
        t[1].tv_sec = before.st_mtim.tv_sec;
        t[1].tv_nsec = before.st_mtim.tv_nsec == 999999999 ? 0 : before.st_mtim.tv_nsec + 1;
        ASSERT_EQ(0, utimensat(AT_FDCWD, file.c_str(), t, AT_SYMLINK_NOFOLLOW));
      }
    };
    ASSERT_FALSE(peer.Upload("/f.txt", v2, peer.SyncIdOf("/f.txt")).hasMember("error"));
    ASSERT_TRUE(c.SyncFromServer());
    ASSERT_EQ(1, w.edits) << "the download never reached the point between check and placement";

    std::vector<std::string> contents;
    CollectContents(c, "/", contents);
    EXPECT_EQ(v2, c.Read("/f.txt"));
    EXPECT_EQ(1, std::count(contents.begin(), contents.end(), mine)) << "the local edit was lost";
    c.StopWorkers();
  }
}

}  // namespace
}  // namespace tidewell
