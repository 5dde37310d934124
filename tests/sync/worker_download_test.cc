// Server-to-client changes against the real server: what arrives on disk,
// what the records say, and what travelled on the wire (counted by a
// forwarder between the client and the server). Contents are random from a
// printed seed; replay with TIDEWELL_SEED=<seed>.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "common/engine_harness.h"
#include "common/forwarder.h"
#include "common/server_client.h"
#include "common/server_process.h"
#include "common/temp_dir.h"
#include "events/event_generator.h"
#include "sync/conflict_rename.h"

namespace tidewell {
namespace {

using testing::EngineClient;
using testing::Forwarder;
using testing::Md4Hex;
using testing::ServerClient;
using testing::ServerProcess;

constexpr uint32_t kServerTime = 1700000000;  // the time ServerClient uploads carry

unsigned Seed() {
  static const unsigned seed = [] {
    const char* env = std::getenv("TIDEWELL_SEED");
    unsigned s = env ? static_cast<unsigned>(std::strtoul(env, nullptr, 10)) : std::random_device{}();
    std::printf("worker download tests: TIDEWELL_SEED=%u\n", s);
    return s;
  }();
  return seed;
}

std::string RandomBytes(size_t n, unsigned salt) {
  std::mt19937_64 rng(Seed() * 7919ULL + salt);
  std::string out(n, '\0');
  for (size_t i = 0; i < n; i += 8) {
    uint64_t v = rng();
    for (size_t k = 0; k < 8 && i + k < n; ++k) out[i + k] = static_cast<char>(v >> (8 * k));
  }
  return out;
}

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

uint32_t MtimeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<uint32_t>(st.st_mtime) : 0;
}

// The names in `names` that begin with `prefix`.
std::vector<std::string> Starting(const std::vector<std::string>& names, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& n : names)
    if (n.rfind(prefix, 0) == 0) out.push_back(n);
  return out;
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Seed();
    ASSERT_TRUE(server.Start());
    peer = std::make_unique<ServerClient>(server);
    forwarder = std::make_unique<Forwarder>(server.port());
  }

  // A client that reaches the server through the forwarder.
  std::unique_ptr<EngineClient> Client(EngineClient::Options options = {}) {
    options.port = forwarder->port();
    auto client = std::make_unique<EngineClient>(server, options);
    client->StartWorkers(2);
    return client;
  }

  // A server event for `path` as the puller would make it from the server's
  // current listing.
  Event ListedEvent(EngineClient& c, const std::string& path) {
    PObject list = peer->Pull(0);
    for (const PObject& obj : list["event_list"].asArray()) {
      if (std::string(obj["path"].asStringRef().utf8_view()) != path) continue;
      Event e;
      e.m_sess_id = c.sess_id();
      e.m_type = Event::EV_CREATE;
      e.m_mode = Event::F_SERVER | (obj["is_dir"].asBool() ? Event::F_DIR : 0);
      e.m_path = ustring(path);
      e.m_sync_id = e.m_max_id = obj["sync_id"].asUInt64();
      e.m_data_hash = obj["file"]["hash"].asString();
      e.m_data_size = obj["file"]["size"].asUInt64();
      e.m_time = obj["mtime"]["mtime"].asUInt32();
      return e;
    }
    ADD_FAILURE() << "the server lists no " << path;
    return Event();
  }

  // Only the recycle folder is left in the working folder: no temporary of
  // a transfer stays behind.
  void ExpectCleanWorkingFolder(EngineClient& c) {
    EXPECT_EQ(std::vector<std::string>{"#VeltRecycle"}, c.List("/.VeltronaWorkingDirectory"));
  }

  ServerProcess server;
  std::unique_ptr<ServerClient> peer;
  std::unique_ptr<Forwarder> forwarder;
};

TEST_F(DownloadTest, CreatesItemsThenAppliesAnEditAsADeltaAndSendsNothingForEchoes) {
  const std::string big = RandomBytes(300000, 1);
  ASSERT_FALSE(peer->MakeDir("/docs").hasMember("error"));
  ASSERT_FALSE(peer->Upload("/docs/a.bin", big).hasMember("error"));
  ASSERT_FALSE(peer->Upload("/top.txt", "hello").hasMember("error"));

  auto c = Client();
  ASSERT_TRUE(c->SyncFromServer());
  EXPECT_EQ(big, c->Read("/docs/a.bin"));
  EXPECT_EQ("hello", c->Read("/top.txt"));
  EXPECT_EQ(kServerTime, MtimeOf(c->Path("/docs/a.bin")));
  ClientFileEventInfo rec;
  ASSERT_EQ(1, c->Record("/docs/a.bin", rec));
  EXPECT_EQ(peer->SyncIdOf("/docs/a.bin"), rec.syncID);
  EXPECT_EQ(Md4Hex(big), std::string(rec.fileCheckSum.utf8_view()));
  EXPECT_EQ(300000u, rec.fileSize);
  ASSERT_EQ(1, c->Record("/docs", rec));
  EXPECT_EQ(1, rec.fileType);
  EXPECT_GE(c->notices().Count("file", "/docs/a.bin"), 1);
  ExpectCleanWorkingFolder(*c);

  // One byte changed in the middle: the server sends a delta against the
  // version the client holds, far smaller than the file.
  std::string edited = big;
  edited[150000] ^= 0x5a;
  ASSERT_FALSE(peer->Upload("/docs/a.bin", edited, peer->SyncIdOf("/docs/a.bin"), kServerTime + 10).hasMember("error"));
  forwarder->ResetCounters();
  ASSERT_TRUE(c->SyncFromServer());
  EXPECT_EQ(edited, c->Read("/docs/a.bin"));
  EXPECT_EQ(kServerTime + 10, MtimeOf(c->Path("/docs/a.bin")));
  EXPECT_LT(forwarder->to_client(), 60000u) << "the edit did not travel as a delta";
  ASSERT_EQ(1, c->Record("/docs/a.bin", rec));
  EXPECT_EQ(Md4Hex(edited), std::string(rec.fileCheckSum.utf8_view()));
  ExpectCleanWorkingFolder(*c);

  // An event for the version the client already holds needs no request.
  forwarder->ResetCounters();
  c->events().PushServerEvent(ListedEvent(*c, "/docs/a.bin"));
  ASSERT_TRUE(c->AwaitIdle());
  EXPECT_EQ(0u, forwarder->to_server());
  EXPECT_EQ(edited, c->Read("/docs/a.bin"));
}

TEST_F(DownloadTest, MergesAnIdenticalLocalFileWithoutFetchingIt) {
  const std::string content = RandomBytes(100000, 2);
  ASSERT_FALSE(peer->Upload("/same.bin", content).hasMember("error"));
  auto c = Client();
  c->Write("/same.bin", content);
  ASSERT_TRUE(c->SyncFromServer());
  ClientFileEventInfo rec;
  ASSERT_EQ(1, c->Record("/same.bin", rec));
  EXPECT_EQ(peer->SyncIdOf("/same.bin"), rec.syncID);
  EXPECT_EQ(content, c->Read("/same.bin"));
  EXPECT_EQ(kServerTime, MtimeOf(c->Path("/same.bin")));  // the server's time is taken over
  EXPECT_LT(forwarder->to_client(), 20000u) << "the content was fetched although it was there";
}

TEST_F(DownloadTest, TakesContentFromTheRecycleFolderAndFromACopyInTheSession) {
  const std::string recycled = RandomBytes(80000, 3);
  const std::string copied = RandomBytes(90000, 4);
  ASSERT_FALSE(peer->Upload("/orig/copy.bin", copied).hasMember("error"));
  auto c = Client();
  ASSERT_TRUE(c->SyncFromServer());

  c->Write("/.VeltronaWorkingDirectory/#VeltRecycle/r1", recycled);
  ASSERT_EQ(0, c->db().addFileToRecycleBin(ustring("r1"), recycled.size(), ustring(Md4Hex(recycled)), ustring()));
  ASSERT_FALSE(peer->Upload("/restored.bin", recycled).hasMember("error"));
  ASSERT_FALSE(peer->Upload("/second/copy2.bin", copied).hasMember("error"));
  forwarder->ResetCounters();
  ASSERT_TRUE(c->SyncFromServer());

  EXPECT_EQ(recycled, c->Read("/restored.bin"));
  EXPECT_FALSE(c->Exists("/.VeltronaWorkingDirectory/#VeltRecycle/r1"));  // moved back, not copied
  ustring where;
  EXPECT_EQ(0, c->db().getFilePathByHashFromRecycle(ustring(Md4Hex(recycled)), ustring(), where));
  EXPECT_EQ(copied, c->Read("/second/copy2.bin"));
  EXPECT_EQ(copied, c->Read("/orig/copy.bin"));
  EXPECT_EQ(kServerTime, MtimeOf(c->Path("/second/copy2.bin")));
  EXPECT_LT(forwarder->to_client(), 20000u) << "content was fetched although the session held it";
  ClientFileEventInfo rec;
  ASSERT_EQ(1, c->Record("/restored.bin", rec));
  EXPECT_EQ(Md4Hex(recycled), std::string(rec.fileCheckSum.utf8_view()));
  ExpectCleanWorkingFolder(*c);
}

TEST_F(DownloadTest, ForcedDownloadLeavesAnUnchangedFileAndKeepsALocalEdit) {
  ASSERT_FALSE(peer->Upload("/f.txt", "server version").hasMember("error"));
  auto c = Client();
  ASSERT_TRUE(c->SyncFromServer());

  Registry::Entry e = c->entry();
  forwarder->ResetCounters();
  PushDownloadEvent(e, ustring("/f.txt"), false, c->events());
  ASSERT_TRUE(c->AwaitIdle());
  EXPECT_EQ(0u, forwarder->to_server());
  EXPECT_EQ("server version", c->Read("/f.txt"));

  c->Write("/f.txt", "my local edit");
  PushDownloadEvent(e, ustring("/f.txt"), false, c->events());
  ASSERT_TRUE(c->AwaitIdle());
  EXPECT_EQ("server version", c->Read("/f.txt"));
  auto kept = Starting(c->List("/"), "f_PC1_");
  ASSERT_EQ(1u, kept.size());
  EXPECT_EQ("my local edit", c->Read("/" + kept[0]));
}

TEST_F(DownloadTest, BothSidesEditedKeepsBothUnderTheConflictName) {
  const std::string v1 = RandomBytes(200000, 5);
  ASSERT_FALSE(peer->Upload("/c.bin", v1).hasMember("error"));
  auto c = Client();
  ASSERT_TRUE(c->SyncFromServer());

  // Local edit (same size, so only the hash tells), then a server edit
  // whose delta is made against v1: the patched basis is not v1.
  std::string mine = v1;
  mine[10] ^= 1;
  c->Write("/c.bin", mine);
  std::string theirs = v1;
  theirs[100000] ^= 2;
  const time_t before = time(nullptr);
  ASSERT_FALSE(peer->Upload("/c.bin", theirs, peer->SyncIdOf("/c.bin"), kServerTime + 5).hasMember("error"));
  ASSERT_TRUE(c->SyncFromServer());
  const time_t after = time(nullptr);

  EXPECT_EQ(theirs, c->Read("/c.bin"));
  auto kept = Starting(c->List("/"), "c_PC1_");
  ASSERT_EQ(1u, kept.size());
  EXPECT_EQ(mine, c->Read("/" + kept[0]));
  bool named = false;
  for (time_t t = before - 60; t <= after + 60; t += 60)
    named |= kept[0] == "c_PC1_" + std::string(ConflictTimeStamp(t).utf8_view()) + "_Conflict.bin";
  EXPECT_TRUE(named) << kept[0];
  ExpectCleanWorkingFolder(*c);
}

TEST_F(DownloadTest, PausedTransferResumesFromTheBytesAlreadyReceived) {
  constexpr size_t kSize = 32u << 20;
  const std::string content = RandomBytes(kSize, 6);
  ASSERT_FALSE(peer->Upload("/large.bin", content).hasMember("error"));
  forwarder->SetClientRate(8u << 20);
  auto c = Client();
  ASSERT_EQ(1, c->PullOnce());

  // Pause once half the body has arrived.
  Worker* busy = nullptr;
  ASSERT_TRUE(c->Await(
      [&] {
        for (size_t i = 0; i < 2; ++i) {
          uint64_t sess, sent, total;
          ustring path;
          Worker::WorkingType type;
          c->worker(i).GetWorkingStatus(sess, path, type, sent, total);
          if (type == Worker::W_TYPE_DOWNLOAD && total == kSize && sent >= kSize / 2) busy = &c->worker(i);
        }
        return busy != nullptr;
      },
      "half of the body received"));
  busy->Pause();
  ASSERT_TRUE(c->Await(
      [&] {
        auto names = c->List("/.VeltronaWorkingDirectory");
        return names.size() == 2;  // the recycle folder and the partial body
      },
      "the partial body is kept"));
  EXPECT_FALSE(c->Exists("/large.bin"));

  forwarder->SetClientRate(0);
  busy->Resume();
  ASSERT_TRUE(c->AwaitIdle());
  EXPECT_TRUE(content == c->Read("/large.bin"));
  // A restart from zero would have carried at least 1.5 times the file.
  EXPECT_LT(forwarder->to_client(), kSize + kSize / 2 - (2u << 20));
  ExpectCleanWorkingFolder(*c);
}

TEST_F(DownloadTest, RefusesPathsThroughLinksAndUnsafeEventPaths) {
  testing::TempDir outside;
  outside.WriteFile("keep.txt", "outside");
  ASSERT_FALSE(peer->MakeDir("/link").hasMember("error"));
  ASSERT_FALSE(peer->Upload("/link/x.txt", "planted").hasMember("error"));
  ASSERT_FALSE(peer->Upload("/file.lnk", "planted").hasMember("error"));
  ASSERT_FALSE(peer->Upload("/fine.txt", "fine").hasMember("error"));

  auto c = Client();
  ASSERT_EQ(0, symlink(outside.path().c_str(), c->Path("/link").c_str()));
  ASSERT_EQ(0, symlink(outside.Join("keep.txt").c_str(), c->Path("/file.lnk").c_str()));
  ASSERT_TRUE(c->SyncFromServer());
  EXPECT_EQ("fine", c->Read("/fine.txt"));
  EXPECT_FALSE(PathExists(outside.Join("x.txt")));
  EXPECT_EQ("outside", outside.ReadFile("keep.txt"));
  struct stat st;
  ASSERT_EQ(0, lstat(c->Path("/file.lnk").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));

  // Paths a server must never name are refused before anything is done.
  for (std::string bad : {std::string("/../escape.txt"), std::string("/a/../../escape.txt"),
                          std::string("/n\0ul.txt", 8), std::string("/.VeltronaWorkingDirectory/#VeltRecycle/x")}) {
    Event e = ListedEvent(*c, "/fine.txt");
    e.m_path = ustring(bad);
    e.m_sync_id = e.m_max_id = e.m_sync_id + 100;
    c->events().PushServerEvent(e);
  }
  ASSERT_TRUE(c->AwaitIdle());
  EXPECT_FALSE(PathExists(c->root() + "/../escape.txt"));
  EXPECT_EQ((std::vector<std::string>{"file.lnk", "fine.txt", "link"}), c->List("/"));
  ExpectCleanWorkingFolder(*c);
}

}  // namespace
}  // namespace tidewell

namespace tidewell {
namespace {

TEST_F(DownloadTest, AFileReplacedByAFolderOnTheServerIsReplacedLocallyUnlessEdited) {
  ASSERT_FALSE(peer->Upload("/x", "was a file").hasMember("error"));
  ASSERT_FALSE(peer->Upload("/y", "was a file too").hasMember("error"));
  auto c = Client();
  ASSERT_TRUE(c->SyncFromServer());
  c->Write("/y", "edited here");  // an edit the folder must not destroy

  for (const char* p : {"/x", "/y"}) {
    ASSERT_FALSE(peer->Remove(p).hasMember("error"));
    ASSERT_FALSE(peer->MakeDir(p).hasMember("error"));
    ASSERT_FALSE(peer->Upload(std::string(p) + "/child.txt", "inside").hasMember("error"));
  }
  ASSERT_TRUE(c->SyncFromServer());
  EXPECT_EQ("inside", c->Read("/x/child.txt"));
  EXPECT_EQ("inside", c->Read("/y/child.txt"));
  auto kept = Starting(c->List("/"), "y_PC1_");
  ASSERT_EQ(1u, kept.size());
  EXPECT_EQ("edited here", c->Read("/" + kept[0]));
  EXPECT_TRUE(Starting(c->List("/"), "x_PC1_").empty());
  ClientFileEventInfo rec;
  ASSERT_EQ(1, c->Record("/x", rec));
  EXPECT_EQ(1, rec.fileType);
}

// Exposes the steps needed to run one helper in a loaded context.
class ProbeWorker : public Worker {
 public:
  using Worker::Worker;
  using Worker::GetEvent;
  using Worker::PreserveUnsyncedEntries;
  using Worker::UpdateContext;
};

TEST_F(DownloadTest, PreservingAFolderMovesOutEverythingTheDatabaseDoesNotKnow) {
  ASSERT_FALSE(peer->Upload("/d/a.txt", "a").hasMember("error"));
  ASSERT_FALSE(peer->Upload("/d/sub/b.txt", "b").hasMember("error"));
  auto c = Client();
  ASSERT_TRUE(c->SyncFromServer());
  c->StopWorkers();
  c->Write("/d/new.txt", "new");           // no record
  c->Write("/d/a.txt", "a, edited");       // differs from its record
  c->Write("/d/sub/new2/deep.txt", "deep");  // a new folder below a known one
  ASSERT_EQ(0, mkdir(c->Path("/d/empty").c_str(), 0755));

  ProbeWorker& w = c->AddWorker<ProbeWorker>();
  Event e;
  e.m_type = Event::EV_CREATE;
  e.m_mode = Event::F_SERVER;
  e.m_sess_id = c->sess_id();
  e.m_path = ustring("/d");
  e.m_sync_id = e.m_max_id = 1000;
  c->events().PushServerEvent(e);
  ASSERT_EQ(0, w.GetEvent());
  ASSERT_EQ(0, w.UpdateContext());
  EXPECT_EQ(4, w.PreserveUnsyncedEntries(ustring("/d")));

  auto kept = Starting(c->List("/"), "d_PC1_");
  ASSERT_EQ(1u, kept.size());
  const std::string k = "/" + kept[0];
  EXPECT_EQ("new", c->Read(k + "/new.txt"));
  EXPECT_EQ("a, edited", c->Read(k + "/a.txt"));
  EXPECT_EQ("deep", c->Read(k + "/sub/new2/deep.txt"));
  EXPECT_TRUE(c->Exists(k + "/empty"));
  // What is left is exactly what the database knows.
  EXPECT_EQ((std::vector<std::string>{"sub"}), c->List("/d"));
  EXPECT_EQ((std::vector<std::string>{"b.txt"}), c->List("/d/sub"));
}

}  // namespace
}  // namespace tidewell

namespace tidewell {
namespace {

TEST_F(DownloadTest, AnObjectGoneFromTheServerIsRemovedLocallyIntoTheRecycleFolder) {
  ASSERT_FALSE(peer->Upload("/gone.txt", "kept in the recycle folder").hasMember("error"));
  ASSERT_FALSE(peer->Upload("/edited.txt", "server").hasMember("error"));
  auto c = Client();
  ASSERT_TRUE(c->SyncFromServer());
  Event gone = ListedEvent(*c, "/gone.txt");
  Event edited = ListedEvent(*c, "/edited.txt");
  c->Write("/edited.txt", "edited here");
  ASSERT_FALSE(peer->Remove("/gone.txt").hasMember("error"));
  ASSERT_FALSE(peer->Remove("/edited.txt").hasMember("error"));

  // Edits that raced the removals: the server answers 0x8001.
  for (Event* e : {&gone, &edited}) {
    e->m_type = Event::EV_MODIFY;
    e->m_data_hash = ustring(Md4Hex("a newer version"));
    e->m_data_size = 15;
    e->m_sync_id = e->m_max_id = e->m_sync_id + 1000;
    c->events().PushServerEvent(*e);
  }
  ASSERT_TRUE(c->AwaitIdle());
  EXPECT_FALSE(c->Exists("/gone.txt"));
  auto recycled = c->List("/.VeltronaWorkingDirectory/#VeltRecycle");
  ASSERT_EQ(1u, recycled.size());
  EXPECT_EQ("kept in the recycle folder", c->Read("/.VeltronaWorkingDirectory/#VeltRecycle/" + recycled[0]));
  ClientFileEventInfo rec;
  EXPECT_EQ(0, c->Record("/gone.txt", rec));
  // A local edit is never recycled: it stays under a conflict name.
  EXPECT_FALSE(c->Exists("/edited.txt"));
  auto kept = Starting(c->List("/"), "edited_PC1_");
  ASSERT_EQ(1u, kept.size());
  EXPECT_EQ("edited here", c->Read("/" + kept[0]));
}

TEST_F(DownloadTest, AFolderReplacedByAFileKeepsWhatWasNotSynchronised) {
  ASSERT_FALSE(peer->Upload("/d/a.txt", "synced").hasMember("error"));
  auto c = Client();
  ASSERT_TRUE(c->SyncFromServer());
  c->Write("/d/new.txt", "only here");
  ASSERT_FALSE(peer->Remove("/d").hasMember("error"));
  ASSERT_FALSE(peer->Upload("/d", "now a file").hasMember("error"));
  ASSERT_TRUE(c->SyncFromServer());

  EXPECT_EQ("now a file", c->Read("/d"));
  auto kept = Starting(c->List("/"), "d_PC1_");
  ASSERT_EQ(1u, kept.size());
  EXPECT_EQ("only here", c->Read("/" + kept[0] + "/new.txt"));
  ClientFileEventInfo rec;
  ASSERT_EQ(1, c->Record("/d", rec));
  EXPECT_EQ(0, rec.fileType);
  EXPECT_EQ(0, c->Record("/d/a.txt", rec));
}

}  // namespace
}  // namespace tidewell
