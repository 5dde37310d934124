#include "cli/verify.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "common/temp_dir.h"
#include "db/file_event_db.h"
#include "db/file_status_db.h"

namespace tidewell::cli {
namespace {

// MD4 of "abc" and of nothing (RFC 1320 test vectors).
constexpr const char* kAbc = "a448017aaf21d8525fc10ae87aa6729d";
constexpr const char* kEmpty = "31d6cfe0d16ae931b73c59d7e0c089c0";

TreeItem File(const std::string& hash, uint64_t size = 3) { return TreeItem{false, size, hash}; }
TreeItem Folder() { return TreeItem{true, 0, ""}; }
ServerObject SFile(const std::string& hash, uint64_t size = 3) { return ServerObject{false, size, hash, 7}; }
ServerObject SFolder() { return ServerObject{true, 0, "", 7}; }

TEST(VerifyTest, EachKindOfDisagreementIsNamedOncePerPath) {
  std::map<std::string, TreeItem> local = {
      {"/same", File(kAbc)},
      {"/d", Folder()},
      {"/d/same", File(kAbc)},
      {"/local-only", File(kAbc)},
      {"/differs", File(kAbc)},
      {"/stale", File(kAbc)},
      {"/no-record", File(kAbc)},
      {"/kind", Folder()},
      {"/busy", File(kAbc)},
      {"/busy-dir", Folder()},
      {"/busy-dir/x", File(kAbc)},
      {"/excluded", File(kAbc)},
  };
  std::map<std::string, TreeItem> records = {
      {"/same", File("A448017AAF21D8525FC10AE87AA6729D")},  // hex case does not matter
      {"/d", Folder()},
      {"/d/same", File(kAbc)},
      {"/differs", File(kAbc)},
      {"/stale", File(kEmpty, 0)},
      {"/kind", Folder()},
      {"/gone", File(kAbc)},
      {"/busy", File(kAbc)},
  };
  std::map<std::string, ServerObject> server = {
      {"/same", SFile(kAbc)},
      {"/d", SFolder()},
      {"/d/same", SFile(kAbc)},
      {"/server-only", SFile(kEmpty, 0)},
      {"/differs", SFile(kEmpty, 0)},
      {"/stale", SFile(kAbc)},
      {"/no-record", SFile(kAbc)},
      {"/kind", SFile(kAbc)},
      {"/busy", SFile(kEmpty, 0)},
      {"/busy-dir/y", SFile(kAbc)},
  };
  std::set<std::string> pending = {"/busy", "/busy-dir"};
  ExcludedFn excluded = [](const std::string& path, bool, uint64_t) { return path == "/excluded"; };
  std::vector<std::pair<std::string, VerifyKind>> got;
  for (const VerifyFinding& f : CompareTrees(local, records, server, pending, excluded)) got.push_back({f.path, f.kind});
  const std::vector<std::pair<std::string, VerifyKind>> expected = {
      {"/busy", VerifyKind::kPending},  // differs, but the daemon works on it
      {"/busy-dir", VerifyKind::kPending},    // local only, but pending itself
      {"/busy-dir/x", VerifyKind::kPending},  // below a pending folder
      {"/busy-dir/y", VerifyKind::kPending},
      {"/differs", VerifyKind::kContentDiffers},
      {"/gone", VerifyKind::kRecordStale},  // recorded, on neither side
      {"/kind", VerifyKind::kContentDiffers},  // folder here, file there
      {"/local-only", VerifyKind::kLocalOnly},
      {"/no-record", VerifyKind::kRecordStale},
      {"/server-only", VerifyKind::kServerOnly},
      {"/stale", VerifyKind::kRecordStale},
  };
  EXPECT_EQ(expected, got);
}

TEST(VerifyTest, LocalScanHashesFilesAndSkipsLinksAndTheWorkingFolder) {
  testing::TempDir dir;
  dir.WriteFile("root/a.txt", "abc");
  dir.WriteFile("root/empty", "");
  dir.WriteFile("root/sub/deeper/b.txt", "abc");
  dir.WriteFile("root/.VeltronaWorkingDirectory/#VeltRecycle/old.txt", "x");
  dir.WriteFile("outside.txt", "secret");
  ASSERT_EQ(0, symlink(dir.Join("outside.txt").c_str(), dir.Join("root/link").c_str()));
  std::map<std::string, TreeItem> out;
  std::string error;
  ASSERT_EQ(0, ScanLocalTree(dir.Join("root"), out, error)) << error;
  std::vector<std::string> paths;
  for (const auto& [p, _] : out) paths.push_back(p);
  EXPECT_EQ((std::vector<std::string>{"/a.txt", "/empty", "/sub", "/sub/deeper", "/sub/deeper/b.txt"}), paths);
  EXPECT_EQ(kAbc, out["/a.txt"].hash);
  EXPECT_EQ(kEmpty, out["/empty"].hash);
  EXPECT_TRUE(out["/sub"].is_dir);
  EXPECT_EQ(-1, ScanLocalTree(dir.Join("missing"), out, error));
}

TEST(VerifyTest, RecordsAreReadFromTheEventDatabaseWithoutWritingIt) {
  testing::TempDir dir;
  std::filesystem::create_directories(dir.Join("db"));
  const std::string file = dir.Join("db/event-db.sqlite");
  std::map<std::string, TreeItem> out;
  std::string error;
  EXPECT_EQ(0, ReadEventRecords(file, out, error));  // never synchronised
  {
    FileEventDB db;
    ASSERT_EQ(0, db.initialize(ustring(file)));
    ClientFileEventInfo info;
    info.path = "/a/b.txt";
    info.fileType = 0;
    info.isExist = 1;
    info.syncID = 5;
    info.maxSyncID = 5;
    info.fileSize = 3;
    info.fileCheckSum = kAbc;
    info.baseName = "b.txt";
    ASSERT_EQ(0, db.setEventInfo(info));
    // While the daemon's connection is still open, as during a sync.
    ASSERT_EQ(1, ReadEventRecords(file, out, error)) << error;
  }
  ASSERT_EQ(1, ReadEventRecords(file, out, error)) << error;
  ASSERT_EQ(2u, out.size());
  EXPECT_TRUE(out["/a"].is_dir);  // the ancestor row the database made
  EXPECT_EQ(kAbc, out["/a/b.txt"].hash);
  EXPECT_EQ(3u, out["/a/b.txt"].size);
  // Read-only: a file the reader cannot write is still read.
  ASSERT_EQ(0, chmod(file.c_str(), 0400));
  if (access(file.c_str(), W_OK) != 0) {
    EXPECT_EQ(1, ReadEventRecords(file, out, error)) << error;
  }
}

TEST(VerifyTest, SyncingMarksOfTheSessionBecomePendingPaths) {
  testing::TempDir dir;
  const std::string file = dir.Join("file-status.sqlite");
  ASSERT_EQ(0, FileStatusDB::initialize(ustring(file)));
  for (const char* p : {"/home/u/Sync/a.txt", "/home/u/Sync/d/e", "/home/u/Syncthing/x", "/other/y"}) {
    FileStatusInfo info;
    info.path = p;
    info.syncStatus = FSTAT_SYNCING;
    ASSERT_EQ(0, FileStatusDB::setFileSyncStat(info));
  }
  FileStatusInfo done;
  done.path = "/home/u/Sync/done.txt";
  done.syncStatus = FSTAT_SYNCED;
  ASSERT_EQ(0, FileStatusDB::setFileSyncStat(done));
  FileStatusDB::destroy();
  std::set<std::string> out;
  ASSERT_EQ(0, ReadSyncingPaths(file, "/home/u/Sync", out));
  EXPECT_EQ((std::set<std::string>{"/a.txt", "/d/e"}), out);
}

TEST(VerifyTest, Md4OfAFileMatchesTheReferenceVectors) {
  testing::TempDir dir;
  dir.WriteFile("abc", "abc");
  std::string big(3 << 20, 'x');  // several read buffers
  dir.WriteFile("big", big);
  std::string hex;
  ASSERT_EQ(0, FileMd4Hex(dir.Join("abc"), hex));
  EXPECT_EQ(kAbc, hex);
  ASSERT_EQ(0, FileMd4Hex(dir.Join("big"), hex));
  EXPECT_EQ(32u, hex.size());
  EXPECT_EQ(-1, FileMd4Hex(dir.Join("missing"), hex));
}

}  // namespace
}  // namespace tidewell::cli
