// setEventInfo and rmEventInfo in random order against a std::map model of
// the table and of the signature directory.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/random.h"
#include "common/temp_dir.h"
#include "db/file_event_db.h"

namespace tidewell {
namespace {

namespace fs = std::filesystem;

struct Row {
  int type = 0;
  uint64_t sync = 0;
  uint64_t max_sync = 0;
  uint64_t size = 0;
  std::string signature;  // expected content of a file row's signature
};

TEST(FileEventDBRandomTest, MatchesMapModel) {
  const uint64_t seed = testing::TestSeed();
  SCOPED_TRACE("seed=" + std::to_string(seed));
  std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));

  testing::TempDir dir;
  fs::create_directories(dir.Join("db"));
  FileEventDB db;
  ASSERT_EQ(0, db.initialize(ustring(dir.Join("db/event-db.sqlite"))));

  // Directories are only ever ancestors and files only leaves, so a path
  // never changes kind.
  const std::vector<std::string> dirs = {"", "/d", "/d/e", "/d*", "/x_y", "/d/e/f"};
  const std::vector<std::string> leaves = {"a", "b.txt", "c d"};
  std::map<std::string, Row> model;  // stored path (no leading "/") -> row
  int sig_counter = 0;

  for (int step = 0; step < 400; ++step) {
    std::string path = dirs[rng() % dirs.size()] + "/" + leaves[rng() % leaves.size()];
    std::string stored = path.substr(1);
    if (rng() % 5 == 0) {
      // Remove a file or a whole directory.
      std::string target = rng() % 2 ? path : dirs[1 + rng() % (dirs.size() - 1)];
      ASSERT_EQ(0, db.rmEventInfo(ustring(target)));
      std::string t = target.substr(1);
      for (auto it = model.begin(); it != model.end();) {
        bool below = it->first == t || it->first.compare(0, t.size() + 1, t + "/") == 0;
        it = below ? model.erase(it) : std::next(it);
      }
      continue;
    }
    ClientFileEventInfo info;
    info.fileType = 0;
    info.isExist = 1;
    info.syncID = 1 + rng() % 50;
    info.maxSyncID = info.syncID;
    info.fileSize = rng() % 1000;
    info.path = ustring(path);
    std::string content = "sig" + std::to_string(++sig_counter);
    std::string name = "work/s" + std::to_string(sig_counter);
    dir.WriteFile(name, content);
    info.signaturePath = ustring(dir.Join(name));
    ASSERT_EQ(0, db.setEventInfo(info));

    auto it = model.find(stored);
    if (it == model.end()) {
      model[stored] = {0, info.syncID, info.maxSyncID, info.fileSize, content};
    } else if (it->second.sync <= info.syncID) {
      it->second = {0, info.syncID, info.maxSyncID, info.fileSize, content};
    }
    for (size_t end = stored.rfind('/'); end != std::string::npos && end > 0;
         end = stored.rfind('/', end - 1)) {
      std::string parent = stored.substr(0, end);
      auto p = model.find(parent);
      if (p == model.end()) {
        model[parent] = {1, info.syncID, info.syncID, 0, ""};
      } else if (p->second.max_sync < info.syncID) {
        p->second.max_sync = info.syncID;
      }
    }
  }

  size_t signatures = 0;
  for (const auto& [stored, row] : model) {
    SCOPED_TRACE(stored);
    ClientFileEventInfo info;
    ASSERT_EQ(1, db.getEventInfo(ustring(stored), info));
    EXPECT_EQ(row.type, info.fileType);
    EXPECT_EQ(row.sync, info.syncID);
    EXPECT_EQ(row.max_sync, info.maxSyncID);
    EXPECT_EQ(row.size, info.fileSize);
    if (row.type == 0) {
      ++signatures;
      EXPECT_EQ(row.signature, dir.ReadFile(info.signaturePath.c_str_utf8() + dir.path().size() + 1));
    }
  }
  size_t sign_files = 0;
  if (fs::exists(dir.Join("db/sign"))) {
    for (auto& e : fs::recursive_directory_iterator(dir.Join("db/sign"))) sign_files += e.is_regular_file();
  }
  EXPECT_EQ(signatures, sign_files);
  StringBuffer buf;
  FileList all(buf);
  ASSERT_EQ(0, db.getFileList(&all, "/"));
  size_t listed = 0;
  for (auto it = all.rbegin(); it != all.rend(); ++it) {
    ++listed;
    EXPECT_EQ(1u, model.count(std::string(it->path.utf8_view()).substr(1))) << it->path.c_str_utf8();
  }
  EXPECT_EQ(model.size(), listed);
}

}  // namespace
}  // namespace tidewell
