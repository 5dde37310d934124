#include "db/file_event_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/temp_dir.h"

namespace tidewell {
namespace {

namespace fs = std::filesystem;

std::string S(const ustring& u) { return std::string(u.utf8_view()); }

std::vector<std::string> Walk(const FileList& list) {
  std::vector<std::string> out;
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    out.push_back((it->attrb ? "D " : "F ") + S(it->path));
  }
  return out;
}

ClientFileEventInfo FileInfo(const char* path, uint64_t sync_id, uint64_t size = 1) {
  ClientFileEventInfo info;
  info.fileType = 0;
  info.isExist = 1;
  info.syncID = sync_id;
  info.maxSyncID = sync_id;
  info.fileSize = size;
  info.fileModTime = 1000 + static_cast<uint32_t>(sync_id);
  info.fileCheckSum = ustring("sum-" + std::to_string(sync_id));
  info.path = path;
  std::string p(path);
  info.baseName = ustring(p.substr(p.rfind('/') + 1));
  info.updateClient = "client";
  info.macHash = "mac";
  info.execBit = 0;
  return info;
}

class FileEventDBTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_.Join("db"));
    db_path_ = dir_.Join("db/event-db.sqlite");
    ASSERT_EQ(0, db_.initialize(ustring(db_path_)));
  }

  // Runs SQL on a second connection, as another reader of the file would.
  std::vector<std::string> Sql(const std::string& sql) {
    sqlite3* raw = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_open(db_path_.c_str(), &raw));
    std::vector<std::string> rows;
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(raw, sql.c_str(), -1, &st, nullptr)) << sqlite3_errmsg(raw);
    while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        const unsigned char* t = sqlite3_column_text(st, i);
        row += (i ? "|" : "") + std::string(t ? reinterpret_cast<const char*>(t) : "NULL");
      }
      rows.push_back(row);
    }
    sqlite3_finalize(st);
    sqlite3_close(raw);
    return rows;
  }

  // A signature file handed over by a caller.
  ustring Signature(const std::string& name, const std::string& content) {
    dir_.WriteFile("work/" + name, content);
    return ustring(dir_.Join("work/" + name));
  }

  std::string SignPath(uint64_t id) { return dir_.Join("db/sign/" + FileEventDB::SignatureName(id)); }

  uint64_t IdOf(const char* path) {
    FileEventDB::EventInfo ei;
    EXPECT_EQ(1, db_.contains(path, ei));
    return ei.row_id;
  }

  testing::TempDir dir_;
  std::string db_path_;
  FileEventDB db_;
};

TEST_F(FileEventDBTest, SchemaKeepsItsStoredLayout) {
  std::vector<std::string> cols = Sql("SELECT name FROM pragma_table_info('eventinfo') ORDER BY cid;");
  EXPECT_EQ((std::vector<std::string>{"id", "fileType", "isExist", "syncID", "maxSyncID", "pDirID",
                                      "fileSize", "fileModTime", "fileCheckSum", "baseName", "path",
                                      "filePrivilege", "updateClient", "signPath", "macHash",
                                      "windowsHash", "linuxHash", "veltHash", "inode", "execBit"}),
            cols);
  EXPECT_EQ((std::vector<std::string>{"id", "path", "fileSize", "fileCheckSum", "macHash", "time"}),
            Sql("SELECT name FROM pragma_table_info('recycle_bin_table') ORDER BY cid;"));
  EXPECT_EQ(std::vector<std::string>{"7"}, Sql("SELECT value FROM config_table WHERE key = 'version';"));
  EXPECT_EQ(std::vector<std::string>{"wal"}, Sql("PRAGMA journal_mode;"));
  EXPECT_EQ(11u, Sql("SELECT name FROM sqlite_master WHERE type = 'index' AND name LIKE '%_idx';").size());
}

TEST_F(FileEventDBTest, SyncIdStartsAtZeroAndPersistsAcrossReopen) {
  uint64_t id = 99;
  ASSERT_EQ(0, db_.getSyncId(id));
  EXPECT_EQ(0u, id);
  ASSERT_EQ(0, db_.setSyncId(18446744073709551615ull));
  ASSERT_EQ(0, db_.setEventInfo(FileInfo("/keep.txt", 3)));
  EXPECT_EQ(0, db_.initialize(ustring(db_path_)));  // already open: no-op
  db_.destroy();
  EXPECT_EQ(-1, db_.getSyncId(id));
  ASSERT_EQ(0, db_.initialize(ustring(db_path_)));
  ASSERT_EQ(0, db_.getSyncId(id));
  EXPECT_EQ(18446744073709551615ull, id);
  ClientFileEventInfo info;
  EXPECT_EQ(1, db_.getEventInfo("/keep.txt", info));
}

TEST_F(FileEventDBTest, InitializeFailsWhereNoFileCanBeCreated) {
  FileEventDB other;
  EXPECT_EQ(-1, other.initialize(ustring(dir_.Join("missing/dir/event-db.sqlite"))));
  ClientFileEventInfo info;
  EXPECT_EQ(-1, other.getEventInfo("/x", info));
  EXPECT_EQ(-1, other.setEventInfo(FileInfo("/x", 1)));
}

TEST_F(FileEventDBTest, QueryFailureIsNotReadAsFound) {
  // SQLite's own failure code is 1, the value that means "found"; a broken
  // table must come back as an error so nobody acts on an empty record.
  Sql("DROP TABLE eventinfo");
  ClientFileEventInfo info;
  EXPECT_EQ(-1, db_.getEventInfo("/keep.txt", info));
}

TEST_F(FileEventDBTest, SetEventInfoCreatesAncestorDirectories) {
  ASSERT_EQ(0, db_.setEventInfo(FileInfo("/a/b/c.txt", 42, 7)));
  EXPECT_EQ((std::vector<std::string>{"1|1|42|42|0|0|1042||a|1", "1|1|42|42|0|0|1042||a/b|1",
                                      "0|1|42|42|0|7|1042|sum-42|a/b/c.txt|0"}),
            Sql("SELECT fileType, isExist, syncID, maxSyncID, pDirID, fileSize, fileModTime, "
                "fileCheckSum, path, execBit FROM eventinfo ORDER BY path;"));
  ClientFileEventInfo info;
  ASSERT_EQ(1, db_.getEventInfo("/a/b/c.txt", info));
  EXPECT_EQ("/a/b/c.txt", S(info.path));
  EXPECT_EQ("c.txt", S(info.baseName));
  EXPECT_EQ("client", S(info.updateClient));
  EXPECT_EQ("mac", S(info.macHash));
  EXPECT_EQ("", S(info.filePrivilege));
  EXPECT_EQ(7u, info.fileSize);
  EXPECT_EQ(SignPath(IdOf("/a/b/c.txt")), S(info.signaturePath));
  ASSERT_EQ(1, db_.getEventInfo("a/b", info));  // the leading "/" is optional
  EXPECT_EQ(1, info.fileType);
  EXPECT_EQ("", S(info.signaturePath));
}

TEST_F(FileEventDBTest, LowerSyncIdLeavesRowButRaisesLowerAncestors) {
  ClientFileEventInfo newer = FileInfo("/d/f", 10, 100);
  newer.signaturePath = Signature("s10", "sig of 10");
  ASSERT_EQ(0, db_.setEventInfo(newer));
  ASSERT_EQ(0, db_.setEventInfo(FileInfo("/d/g", 5)));
  // d now has maxSyncID 10; a record of 7 must not lower it.
  ClientFileEventInfo older = FileInfo("/d/f", 7, 200);
  older.signaturePath = Signature("s7", "sig of 7");
  ASSERT_EQ(0, db_.setEventInfo(older));
  ClientFileEventInfo info;
  ASSERT_EQ(1, db_.getEventInfo("/d/f", info));
  EXPECT_EQ(10u, info.syncID);
  EXPECT_EQ(100u, info.fileSize);
  EXPECT_EQ(std::vector<std::string>{"10"}, Sql("SELECT maxSyncID FROM eventinfo WHERE path = 'd';"));
  // The stored row's signature stays; the stale one is not left behind.
  EXPECT_EQ("sig of 10", dir_.ReadFile("db/sign/" + FileEventDB::SignatureName(IdOf("/d/f"))));
  EXPECT_FALSE(fs::exists(dir_.Join("work/s7")));
  // A later record raises the ancestor and replaces the signature.
  ClientFileEventInfo later = FileInfo("/d/f", 12, 300);
  later.signaturePath = Signature("s12", "sig of 12");
  ASSERT_EQ(0, db_.setEventInfo(later));
  EXPECT_EQ(std::vector<std::string>{"12"}, Sql("SELECT maxSyncID FROM eventinfo WHERE path = 'd';"));
  EXPECT_EQ("sig of 12", dir_.ReadFile("db/sign/" + FileEventDB::SignatureName(IdOf("/d/f"))));
}

TEST_F(FileEventDBTest, UpdateKeepsColumnsTheUpdateDoesNotName) {
  ClientFileEventInfo first = FileInfo("/u", 1);
  first.updateClient = "first-client";
  first.windowsHash = "win";
  ASSERT_EQ(0, db_.setEventInfo(first));
  ClientFileEventInfo second = FileInfo("/u", 2, 9);
  second.updateClient = "second-client";
  second.isExist = 0;
  second.execBit = 1;
  ASSERT_EQ(0, db_.setEventInfo(second));
  ClientFileEventInfo info;
  ASSERT_EQ(1, db_.getEventInfo("/u", info));
  EXPECT_EQ("first-client", S(info.updateClient));
  EXPECT_EQ("win", S(info.windowsHash));
  EXPECT_EQ(1, info.isExist);
  EXPECT_EQ(1u, info.execBit);
  EXPECT_EQ(9u, info.fileSize);
}

TEST_F(FileEventDBTest, SignatureNamesFollowTheRowIdBytes) {
  EXPECT_EQ(".00", FileEventDB::SignatureName(0));
  EXPECT_EQ(".01", FileEventDB::SignatureName(1));
  EXPECT_EQ(".ff", FileEventDB::SignatureName(255));
  EXPECT_EQ("01/.00", FileEventDB::SignatureName(256));
  EXPECT_EQ("12/.34", FileEventDB::SignatureName(4660));
  EXPECT_EQ("01/02/.03", FileEventDB::SignatureName(66051));
  EXPECT_EQ("ff/ee/dd/cc/bb/aa/99/.88", FileEventDB::SignatureName(0xffeeddccbbaa9988ull));
}

TEST_F(FileEventDBTest, SignatureIsMovedInAndDeletedWithItsRow) {
  // The next row gets id 4660.
  Sql("INSERT INTO eventinfo (id, fileType, isExist, syncID, maxSyncID, fileSize, fileModTime, "
      "fileCheckSum, baseName, path, updateClient) VALUES (4659, 0, 1, 1, 1, 0, 0, '', '', 'z', '');");
  ClientFileEventInfo info = FileInfo("/f.bin", 3);
  info.signaturePath = Signature("sig.tmp", "signature bytes");
  ASSERT_EQ(0, db_.setEventInfo(info));
  ASSERT_EQ(4660u, IdOf("/f.bin"));
  EXPECT_EQ("signature bytes", dir_.ReadFile("db/sign/12/.34"));
  EXPECT_FALSE(fs::exists(dir_.Join("work/sig.tmp")));
  // Handing the stored signature back in moves nothing.
  ClientFileEventInfo again;
  ASSERT_EQ(1, db_.getEventInfo("/f.bin", again));
  again.syncID = 4;
  ASSERT_EQ(0, db_.setEventInfo(again));
  EXPECT_EQ("signature bytes", dir_.ReadFile("db/sign/12/.34"));
  EXPECT_EQ(0, db_.rmEventInfo("/f.bin"));
  EXPECT_FALSE(fs::exists(dir_.Join("db/sign/12/.34")));
}

TEST_F(FileEventDBTest, FailedSignatureMoveLeavesNoRow) {
  ClientFileEventInfo info = FileInfo("/n/x", 1);
  info.signaturePath = ustring(dir_.Join("work/never-written"));
  EXPECT_EQ(-1, db_.setEventInfo(info));
  EXPECT_TRUE(Sql("SELECT path FROM eventinfo;").empty());
}

TEST_F(FileEventDBTest, RemovalCoversTheSubtreeOnly) {
  for (const char* p : {"/a/x", "/a/y/z", "/ab", "/abc/q", "/a*/k", "/b[1]/m", "/b1/m"}) {
    ASSERT_EQ(0, db_.setEventInfo(FileInfo(p, 1)));
  }
  EXPECT_EQ(0, db_.rmEventInfo("/a"));
  EXPECT_EQ((std::vector<std::string>{"a*", "a*/k", "ab", "abc", "abc/q", "b1", "b1/m", "b[1]", "b[1]/m"}),
            Sql("SELECT path FROM eventinfo ORDER BY path;"));
  // Wildcards in a name match only themselves.
  EXPECT_EQ(0, db_.rmEventInfoV3("/a*/k"));
  EXPECT_EQ(0, db_.rmEventInfoV3("/a*"));
  EXPECT_EQ(0, db_.rmEventInfo("/b[1]"));
  EXPECT_EQ((std::vector<std::string>{"ab", "abc", "abc/q", "b1", "b1/m"}),
            Sql("SELECT path FROM eventinfo ORDER BY path;"));
  EXPECT_EQ(-1, db_.rmEventInfo(""));
}

TEST_F(FileEventDBTest, RecursiveListingIsRelativeToThePrefix) {
  for (const char* p : {"/a/x", "/a/y/z", "/ab/w", "/top"}) ASSERT_EQ(0, db_.setEventInfo(FileInfo(p, 2)));
  ClientFileEventInfo gone = FileInfo("/a/gone", 3);
  gone.isExist = 0;
  ASSERT_EQ(0, db_.setEventInfo(gone));
  StringBuffer buf;
  FileList under_a(buf);
  ASSERT_EQ(0, db_.getFileList(&under_a, "/a"));
  EXPECT_EQ((std::vector<std::string>{"F /y/z", "D /y", "F /x"}), Walk(under_a));
  FileList trailing(buf);
  ASSERT_EQ(0, db_.getFileList(&trailing, "/a/"));
  EXPECT_EQ(Walk(under_a), Walk(trailing));
  FileList all(buf);
  ASSERT_EQ(0, db_.getFileList(&all, "/"));
  EXPECT_EQ((std::vector<std::string>{"F /top", "F /ab/w", "D /ab", "F /a/y/z", "D /a/y", "F /a/x", "D /a"}),
            Walk(all));
  auto it = all.rbegin();
  EXPECT_EQ(1002u, it->mtime);
  EXPECT_EQ(1u, it->size);
}

TEST_F(FileEventDBTest, OneLevelListingTakesOnlyDirectChildrenOfThatFolder) {
  for (const char* p : {"/a/x", "/a/x/y", "/A/up", "/a_b/u", "/axb/v", "/a%/w", "/ab/t", "/top"}) {
    ClientFileEventInfo info = FileInfo(p, std::string(p) == "/top" ? 9 : 2);
    ASSERT_EQ(0, db_.setEventInfo(info));
  }
  StringBuffer buf;
  FileList root(buf);
  ASSERT_EQ(0, db_.getFileListWithoutRecursive(&root, "/"));
  EXPECT_EQ((std::vector<std::string>{"F /top", "D /axb", "D /ab", "D /a_b", "D /a%", "D /a", "D /A"}),
            Walk(root));
  FileList a(buf);
  ASSERT_EQ(0, db_.getFileListWithoutRecursive(&a, "/a"));
  EXPECT_EQ(std::vector<std::string>{"F /x"}, Walk(a));  // not x/y
  FileList a_b(buf);
  ASSERT_EQ(0, db_.getFileListWithoutRecursive(&a_b, "/a_b"));
  EXPECT_EQ(std::vector<std::string>{"F /u"}, Walk(a_b));
  FileList pct(buf);
  ASSERT_EQ(0, db_.getFileListWithoutRecursive(&pct, "/a%"));
  EXPECT_EQ(std::vector<std::string>{"F /w"}, Walk(pct));
  FileList old(buf);
  ASSERT_EQ(0, db_.getFileListWithoutRecursive(&old, "/", 2));
  EXPECT_EQ((std::vector<std::string>{"D /axb", "D /ab", "D /a_b", "D /a%", "D /a", "D /A"}), Walk(old));
  FileList none(buf);
  EXPECT_EQ(0, db_.getFileListWithoutRecursive(&none, ""));
  EXPECT_TRUE(none.rbegin() == none.rend());
}

TEST_F(FileEventDBTest, RmAllFoldersKeepsTopLevelFiles) {
  for (const char* p : {"/a/x", "/f1", "/f2"}) ASSERT_EQ(0, db_.setEventInfo(FileInfo(p, 1)));
  ASSERT_EQ(0, db_.rmAllFolders());
  EXPECT_EQ((std::vector<std::string>{"f1", "f2"}), Sql("SELECT path FROM eventinfo ORDER BY path;"));
}

TEST_F(FileEventDBTest, RecycleRotationListsTopLevelEntriesOnly) {
  uint32_t oldest = 7;
  ASSERT_EQ(0, db_.getOldestRecyleTime(oldest));
  EXPECT_EQ(0u, oldest);
  ASSERT_EQ(0, db_.addFileToRecycleBin("/top1", 5, "h1", "m1"));
  ASSERT_EQ(0, db_.addFileToRecycleBin("/dir1/nested", 5, "h2", "m2"));
  EXPECT_EQ(-1, db_.addFileToRecycleBin("/top1", 5, "h1", "m1"));  // the path is unique
  Sql("UPDATE recycle_bin_table SET time = 100;");
  ASSERT_EQ(0, db_.addFileToRecycleBin("/top2", 5, "h3", "m3"));
  ASSERT_EQ(0, db_.getOldestRecyleTime(oldest));
  EXPECT_EQ(100u, oldest);
  std::set<ustring> rotate;
  ASSERT_EQ(0, db_.getRotateList(100, rotate));
  EXPECT_EQ(std::set<ustring>{"/top1"}, rotate);
  ASSERT_EQ(0, db_.rmRotateRecords(100));
  EXPECT_EQ(std::vector<std::string>{"/top2"}, Sql("SELECT path FROM recycle_bin_table;"));
  ASSERT_EQ(0, db_.rmRecycleByPath("/top2"));
  EXPECT_TRUE(Sql("SELECT path FROM recycle_bin_table;").empty());
  ASSERT_EQ(0, db_.addFileToRecycleBin("/it's", 1, "h", "m"));
  ASSERT_EQ(0, db_.resetRecycleBin());
  EXPECT_TRUE(Sql("SELECT path FROM recycle_bin_table;").empty());
}

TEST_F(FileEventDBTest, DumpFileMovesTheRowAndItsSignature) {
  ClientFileEventInfo info = FileInfo("/d/f.txt", 4, 44);
  info.signaturePath = Signature("s", "sig");
  ASSERT_EQ(0, db_.setEventInfo(info));
  std::string sign = SignPath(IdOf("/d/f.txt"));
  ASSERT_TRUE(fs::exists(sign));
  ASSERT_EQ(0, db_.dumpFileToRecycleBin("/f (1).txt", "/d/f.txt"));
  EXPECT_EQ(std::vector<std::string>{"/f (1).txt|44|sum-4|mac"},
            Sql("SELECT path, fileSize, fileCheckSum, macHash FROM recycle_bin_table;"));
  EXPECT_EQ(std::vector<std::string>{"d"}, Sql("SELECT path FROM eventinfo;"));
  EXPECT_FALSE(fs::exists(sign));
}

TEST_F(FileEventDBTest, DumpDirKeepsFilesUnderTheUniquePrefix) {
  for (const char* p : {"/d/x", "/d/s/y", "/d*/z", "/dd/w"}) ASSERT_EQ(0, db_.setEventInfo(FileInfo(p, 1)));
  ASSERT_EQ(0, db_.dumpDirToRecycleBin("/d.1", "/d"));
  EXPECT_EQ((std::vector<std::string>{"/d.1|0", "/d.1/s/y|1", "/d.1/x|1"}),
            Sql("SELECT path, fileSize FROM recycle_bin_table ORDER BY path;"));
  EXPECT_EQ((std::vector<std::string>{"d*", "d*/z", "dd", "dd/w"}),
            Sql("SELECT path FROM eventinfo ORDER BY path;"));
}

TEST_F(FileEventDBTest, FailedDumpChangesNothingAndLeavesNoTransactionOpen) {
  for (const char* p : {"/d/x", "/f"}) ASSERT_EQ(0, db_.setEventInfo(FileInfo(p, 1)));
  ASSERT_EQ(0, db_.addFileToRecycleBin("/d.1/x", 1, "h", "m"));  // collides with the dump
  EXPECT_EQ(-1, db_.dumpDirToRecycleBin("/d.1", "/d"));
  EXPECT_EQ((std::vector<std::string>{"d", "d/x", "f"}), Sql("SELECT path FROM eventinfo ORDER BY path;"));
  EXPECT_EQ(std::vector<std::string>{"/d.1/x"}, Sql("SELECT path FROM recycle_bin_table;"));
  ASSERT_EQ(0, db_.addFileToRecycleBin("/f.1", 1, "h", "m"));  // collides again
  EXPECT_EQ(-1, db_.dumpFileToRecycleBin("/f.1", "/f"));
  // Later writes are committed on their own, not kept in a dangling
  // transaction: another connection sees them.
  ASSERT_EQ(0, db_.setEventInfo(FileInfo("/later", 1)));
  EXPECT_EQ((std::vector<std::string>{"d", "d/x", "f", "later"}),
            Sql("SELECT path FROM eventinfo ORDER BY path;"));
}

TEST_F(FileEventDBTest, HashLookupsTreatTheHashAsData) {
  ASSERT_EQ(0, db_.setEventInfo(FileInfo("/h/a", 5)));
  ClientFileEventInfo gone = FileInfo("/h/b", 6);
  gone.isExist = 0;
  ASSERT_EQ(0, db_.setEventInfo(gone));
  ustring path;
  EXPECT_EQ(1, db_.getFilePathByHash("sum-5", "", path));
  EXPECT_EQ("/h/a", S(path)) << "session paths begin with /";
  EXPECT_EQ(0, db_.getFilePathByHash("sum-6", "", path));
  EXPECT_EQ(0, db_.getFilePathByHash("x' OR '1'='1", "", path));
  EXPECT_EQ(0, db_.getFilePathByHash("'; DELETE FROM eventinfo; --", "", path));
  EXPECT_EQ(3u, Sql("SELECT path FROM eventinfo;").size());
  ASSERT_EQ(0, db_.addFileToRecycleBin("/r", 1, "it's", "m"));
  EXPECT_EQ(1, db_.getFilePathByHashFromRecycle("it's", "", path));
  EXPECT_EQ("/r", S(path));
  EXPECT_EQ(0, db_.getFilePathByHashFromRecycle("x' OR '1'='1", "", path));
}

TEST_F(FileEventDBTest, HashLookupsAnswerOneFormAndOnlyFiles) {
  // Both lookups answer "/" + the path, however the row stores it, so that
  // a caller can always join the answer to its folder.
  ASSERT_EQ(0, db_.setEventInfo(FileInfo("/d/e/f", 7)));
  ASSERT_EQ(0, db_.addFileToRecycleBin("/u1", 1, "top", "m"));
  ASSERT_EQ(0, db_.addFileToRecycleBin("u2/inner", 1, "inner", "m"));
  ustring path;
  EXPECT_EQ(1, db_.getFilePathByHash("sum-7", "", path));
  EXPECT_EQ("/d/e/f", S(path));
  EXPECT_EQ(1, db_.getFilePathByHashFromRecycle("top", "", path));
  EXPECT_EQ("/u1", S(path));
  EXPECT_EQ(1, db_.getFilePathByHashFromRecycle("inner", "", path));
  EXPECT_EQ("/u2/inner", S(path));
  // What a lookup answered removes the row, whichever form it was stored in.
  ASSERT_EQ(0, db_.rmRecycleByPath(path));
  EXPECT_EQ(0, db_.getFilePathByHashFromRecycle("inner", "", path));
  // Folders (and recycled folders) have no content: an empty hash finds
  // nothing instead of a folder to copy from.
  ASSERT_EQ(0, db_.dumpDirToRecycleBin("/u3", "/d"));
  path = "untouched";
  EXPECT_EQ(0, db_.getFilePathByHash("", "", path));
  EXPECT_EQ(0, db_.getFilePathByHashFromRecycle("", "", path));
  EXPECT_EQ("untouched", S(path));
}

TEST_F(FileEventDBTest, LookupEdgeCases) {
  ClientFileEventInfo info;
  info.path = "stale";
  EXPECT_EQ(-1, db_.getEventInfo("", info));
  EXPECT_EQ("", S(info.path));
  EXPECT_EQ(0, db_.getEventInfo("/nothing", info));
  ASSERT_EQ(0, db_.setEventInfo(FileInfo("/it's here", 1)));
  EXPECT_EQ(1, db_.getEventInfo("/it's here", info));
  FileEventDB::EventInfo ei;
  EXPECT_EQ(0, db_.contains("/nothing", ei));
  EXPECT_EQ(-1, db_.setEventInfo(FileInfo("/", 1)));
  EXPECT_EQ(-1, db_.setEventInfo(FileInfo("", 1)));
  ustring p;
  EXPECT_EQ(-1, db_.getPathByInode(1, p));
  EXPECT_EQ(-1, db_.setPathInode("/it's here", 1));
}

}  // namespace
}  // namespace tidewell
