// The removal road against the real server: server removals into the
// recycle folder (and what must never go there), local removals to the
// server, and the server's answers to a removal.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "common/engine_harness.h"
#include "common/forwarder.h"
#include "common/server_client.h"
#include "db/file_event_db.h"
#include "events/event_generator.h"
#include "sync/worker.h"

namespace tidewell {
namespace {

namespace fs = std::filesystem;
using testing::EngineClient;
using testing::Forwarder;
using testing::Md4Hex;
using testing::ServerClient;
using testing::ServerProcess;

std::map<std::string, std::string> ServerFiles(ServerProcess& server) {
  ServerClient peer(server);
  PObject reply = peer.Pull(0);
  std::map<std::string, std::string> out;
  for (const PObject& e : reply["event_list"].asArray())
    out[std::string(e["path"].asStringRef().utf8_view())] = std::string(e["file"]["hash"].asStringRef().utf8_view());
  return out;
}

// The one name in folder `rel` that starts with `prefix` and holds
// `marker`; "" when there is none or more than one.
std::string OneNamed(EngineClient& client, const std::string& rel, const std::string& prefix,
                     const std::string& marker) {
  std::string found;
  int n = 0;
  for (const std::string& name : client.List(rel))
    if (name.rfind(prefix, 0) == 0 && name.find(marker) != std::string::npos) {
      found = name;
      ++n;
    }
  return n == 1 ? found : std::string();
}

class WorkerRemoveTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.Start()); }

  // Writes the files and lets the engine upload them.
  void Seed(EngineClient& client, const std::map<std::string, std::string>& files) {
    for (const auto& [path, content] : files) client.Write(path, content);
    client.events().IssueRescan(client.sess_id(), ustring("/"), false);
    ASSERT_TRUE(client.AwaitIdle());
    ASSERT_TRUE(client.SyncFromServer());  // the uploads' echoes, dropped
  }

  ServerProcess server;
};

TEST_F(WorkerRemoveTest, ServerRemovalsRecycleWhatIsKnownAndKeepEverythingElse) {
  EngineClient client(server);
  client.StartWorkers();
  Seed(client, {{"/keep.txt", "unchanged"},
                {"/edit.txt", "before"},
                {"/dir/a.txt", "synchronised"},
                {"/dir/b.txt", "synchronised, then edited"},
                {"/dir/sub/c.txt", "deep and synchronised"}});
  const std::string kept_hash = Md4Hex("unchanged");

  // Local work the server does not know yet.
  client.Write("/edit.txt", "edited locally");
  client.Write("/dir/b.txt", "edited here");
  client.Write("/dir/new.txt", "created here");
  client.Write("/dir/sub/newer/d.txt", "created deeper");
  ServerClient peer(server);
  for (const char* p : {"/keep.txt", "/edit.txt", "/dir"}) ASSERT_FALSE(peer.Remove(p).hasMember("error")) << p;
  ASSERT_TRUE(client.SyncFromServer());
  ASSERT_TRUE(client.AwaitIdle());

  // The unchanged file is in the recycle folder, with a row that finds it.
  EXPECT_FALSE(client.Exists("/keep.txt"));
  ustring recycled;
  ASSERT_EQ(1, client.db().getFilePathByHashFromRecycle(ustring(kept_hash), ustring(), recycled));
  EXPECT_EQ("unchanged", client.Read("/.VeltronaWorkingDirectory/#VeltRecycle" + std::string(recycled.utf8_view())));
  EXPECT_NE(0u, client.entry().recycle_time);

  // The edited file survives as a conflict copy, uploaded as new.
  EXPECT_FALSE(client.Exists("/edit.txt"));
  const std::string copy = OneNamed(client, "/", "edit_PC1_", "_Conflict");
  ASSERT_FALSE(copy.empty());
  EXPECT_EQ("edited locally", client.Read("/" + copy));

  // Of the folder only the synchronised content went to the recycle folder;
  // the new and edited files stay in the session under the folder's
  // conflict copy, with their places inside it.
  EXPECT_FALSE(client.Exists("/dir"));
  const std::string dir_copy = OneNamed(client, "/", "dir_PC1_", "_Conflict");
  ASSERT_FALSE(dir_copy.empty());
  EXPECT_EQ("edited here", client.Read("/" + dir_copy + "/b.txt"));
  EXPECT_EQ("created here", client.Read("/" + dir_copy + "/new.txt"));
  EXPECT_EQ("created deeper", client.Read("/" + dir_copy + "/sub/newer/d.txt"));
  EXPECT_FALSE(client.Exists("/" + dir_copy + "/a.txt"));
  EXPECT_FALSE(client.Exists("/" + dir_copy + "/sub/c.txt"));
  ASSERT_EQ(1, client.db().getFilePathByHashFromRecycle(ustring(Md4Hex("synchronised")), ustring(), recycled));
  EXPECT_EQ("synchronised",
            client.Read("/.VeltronaWorkingDirectory/#VeltRecycle" + std::string(recycled.utf8_view())));
  ClientFileEventInfo info;
  EXPECT_EQ(0, client.Record("/dir/a.txt", info));

  // What stayed is on the server again, and nothing else came back.
  ASSERT_TRUE(client.AwaitIdle());
  auto files = ServerFiles(server);
  EXPECT_EQ(Md4Hex("edited locally"), files["/" + copy]);
  EXPECT_EQ(Md4Hex("edited here"), files["/" + dir_copy + "/b.txt"]);
  EXPECT_EQ(Md4Hex("created deeper"), files["/" + dir_copy + "/sub/newer/d.txt"]);
  EXPECT_EQ(0u, files.count("/keep.txt"));
  EXPECT_EQ(0u, files.count("/dir"));
}

TEST_F(WorkerRemoveTest, LocalRemovalsReachTheServerAndUnknownOnesSendNothing) {
  Forwarder wire(server.port());
  EngineClient client(server, {.port = wire.port()});
  client.StartWorkers();
  Seed(client, {{"/x.txt", "x"}, {"/d/y.txt", "y"}, {"/d/z.txt", "z"}, {"/stay.txt", "s"}});

  fs::remove(client.Path("/x.txt"));
  fs::remove_all(client.Path("/d"));
  Registry::Entry e = client.entry();
  PushLocalRemoveEvent(e, ustring("/x.txt"), false, client.events());
  PushLocalRemoveEvent(e, ustring("/d"), true, client.events());
  ASSERT_TRUE(client.AwaitIdle());
  EXPECT_EQ((std::map<std::string, std::string>{{"/stay.txt", Md4Hex("s")}}), ServerFiles(server));
  ClientFileEventInfo info;
  for (const char* p : {"/x.txt", "/d", "/d/y.txt"}) EXPECT_EQ(0, client.Record(p, info)) << p;

  // A removal of something never synchronised, or of something that is
  // there again, asks the server nothing.
  wire.ResetCounters();
  PushLocalRemoveEvent(e, ustring("/never.txt"), false, client.events());
  PushLocalRemoveEvent(e, ustring("/stay.txt"), false, client.events());
  ASSERT_TRUE(client.AwaitIdle());
  EXPECT_EQ(0u, wire.to_server());
  EXPECT_EQ(1, client.Record("/stay.txt", info));
}

TEST_F(WorkerRemoveTest, AFolderChangedOnTheServerIsRescannedInsteadOfRemoved) {
  EngineClient client(server);
  client.StartWorkers();
  Seed(client, {{"/d/old.txt", "old"}});
  ServerClient peer(server);
  ASSERT_FALSE(peer.Upload("/d/newer.txt", "another client's").hasMember("error"));

  fs::remove_all(client.Path("/d"));
  Registry::Entry e = client.entry();
  PushLocalRemoveEvent(e, ustring("/d"), true, client.events());
  ASSERT_TRUE(client.AwaitIdle());
  // The server refused (0xA002): the folder and the other client's file
  // stay; the rescan that followed removed what this client had seen.
  auto files = ServerFiles(server);
  EXPECT_EQ(1u, files.count("/d"));
  EXPECT_EQ(Md4Hex("another client's"), files["/d/newer.txt"]);
  EXPECT_EQ(0u, files.count("/d/old.txt"));
  ClientFileEventInfo info;
  EXPECT_EQ(0, client.Record("/d/old.txt", info));
}

}  // namespace
}  // namespace tidewell
