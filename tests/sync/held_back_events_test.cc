// Selective sync tightened and loosened again on one client, against the
// real server, step by step as the daemon does it: the rule file read
// (CompareFilterList), the change detector's report of what the engine
// removed, the held-back changes offered again once the rule is gone, and
// the resume pull. Another client keeps working on the server meanwhile.
// Leaving items out on one client never removes them on the server, and
// loosening the rule brings back everything the server holds under it.

#include "sync/held_back_events.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/engine_harness.h"
#include "common/server_client.h"
#include "common/server_process.h"
#include "db/filter_db.h"
#include "db/progress_cache.h"
#include "db/selective_sync.h"
#include "filter/black_list.h"
#include "filter/filter.h"
#include "sync/progress_syncer.h"

namespace tidewell {
namespace {

using testing::EngineClient;
using testing::ServerClient;
using testing::ServerProcess;

// Paths the server currently holds (the latest event of each path wins).
std::set<std::string> OnServer(ServerClient& client) {
  const PObject reply = client.Pull(0);
  std::map<std::string, bool> present;
  for (const PObject& e : reply["event_list"].asArray())
    present[std::string(e["path"].asString().utf8_view())] = !e["is_removed"].asBool();
  std::set<std::string> out;
  for (const auto& [path, here] : present)
    if (here) out.insert(path);
  return out;
}

class HeldBackEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The folder a new path rule removes goes to a trash in the test folder.
    setenv("XDG_DATA_HOME", dir.Join("xdg").c_str(), 1);
    // The rules and resume conditions live in the process-wide database, as
    // the session control keeps them; held-back changes in the client's.
    ASSERT_EQ(0, FilterDB::getInstance().initialize(ustring(dir.Join("rules.sqlite"))));
    ASSERT_TRUE(server.Start());
    other = std::make_unique<ServerClient>(server);
    client = std::make_unique<EngineClient>(server);
  }
  void TearDown() override {
    client.reset();
    FilterDB::getInstance().destroy();
    ProgressCache::Entry e;
    while (ProgressCache::getInstance().getProgressEntry(e)) ProgressCache::getInstance().rmProgressEntry(e.row_id);
  }

  // The session's rule file edited and read again, as "reload_session" does
  // it: the list in force first, then the comparison with the stored rules.
  void Rules(int type, const std::string& rule_text, const std::set<FilterInfo>& before,
             const std::set<FilterInfo>& after) {
    dir.WriteFile("blacklist.filter", rule_text);
    ASSERT_EQ(0, client->entry().black_list->Load(ustring(dir.Join("blacklist.filter"))));
    ASSERT_EQ(0, CompareFilterList(client->sess_id(), type, before, after, ustring(client->root()), &client->db()));
  }

  // What the daemon does once the rules were read: the held-back changes
  // offered again; then the workers finish them.
  void OfferHeldBack() {
    std::set<FilterLocalEvent> held_back;
    ASSERT_EQ(0, client->filter_db().dumpLocalFilteredEvent(client->sess_id(), held_back));
    OfferHeldBackEvents(client->entry(), held_back, client->filter_db(), client->events());
    ASSERT_TRUE(client->AwaitIdle());
  }

  // The resume pull of the loosened rule, to its end.
  void ResumePull() {
    ProgressSyncer resume(client->env());
    ASSERT_EQ(0, resume.Run());
    ASSERT_TRUE(client->Await([&] { return !ProgressCache::getInstance().isInProgrssCache(client->sess_id()); },
                              "the resume pull completed"));
    resume.StopAndJoin();
    ASSERT_TRUE(client->AwaitIdle());
  }

  void LocalRemoval(const std::string& path, bool is_dir) {
    Event e;
    e.m_type = Event::EV_REMOVE;
    e.m_mode = is_dir ? Event::F_DIR : 0;
    e.m_sess_id = client->sess_id();
    e.m_path = ustring(path);
    client->events().PushLocalEvent(e);
    ASSERT_TRUE(client->AwaitIdle());
  }

  testing::TempDir dir;
  ServerProcess server;
  std::unique_ptr<ServerClient> other;
  std::unique_ptr<EngineClient> client;
};

TEST_F(HeldBackEventsTest, AnExcludedFolderIncludedAgainIsRestoredAndNeverRemovedOnTheServer) {
  // Two folders: "/photos" as the engine leaves it, "/albums" as a database
  // written by an older version left it (records below the folder and a
  // held-back removal of it), which must be just as safe.
  ASSERT_FALSE(other->Upload("/keep.txt", "kept").hasMember("error"));
  for (const std::string top : {"/photos", "/albums"}) {
    ASSERT_FALSE(other->Upload(top + "/p1.jpg", "photo one").hasMember("error"));
    ASSERT_FALSE(other->Upload(top + "/sub/p2.jpg", "photo two").hasMember("error"));
  }
  client->StartWorkers(2);
  ASSERT_TRUE(client->SyncFromServer());
  ASSERT_EQ("photo two", client->Read("/albums/sub/p2.jpg"));
  std::vector<ClientFileEventInfo> old_records;
  for (const char* path : {"/albums", "/albums/p1.jpg", "/albums/sub", "/albums/sub/p2.jpg"}) {
    ClientFileEventInfo info;
    ASSERT_EQ(1, client->Record(path, info)) << path;
    old_records.push_back(info);
  }
  const std::set<std::string> all = OnServer(*other);
  ASSERT_EQ(9u, all.size());

  // Excluded: the engine takes the folders away, the change detector
  // reports their disappearance, and a rescan (as after a restart) finds
  // what the database still knows below them.
  const std::string rule = "[Common]\nblack_path_prefix_selective_sync = \"/photos\", \"/albums\"\n";
  const std::set<FilterInfo> rules = {FilterInfo{0, ustring("/photos")}, FilterInfo{0, ustring("/albums")}};
  Rules(FILTER_PATH_PREFIX_SELECTIVE_SYNC, rule, {}, rules);
  ASSERT_FALSE(client->Exists("/photos"));
  ASSERT_FALSE(client->Exists("/albums"));
  LocalRemoval("/photos", true);
  LocalRemoval("/albums", true);
  client->events().IssueRescan(client->sess_id(), ustring("/"), false);
  ASSERT_TRUE(client->AwaitIdle());
  EXPECT_EQ(all, OnServer(*other)) << "leaving a folder out removes nothing on the server";
  for (ClientFileEventInfo info : old_records) {
    info.signaturePath = ustring();  // went with the row
    ASSERT_EQ(0, client->db().setEventInfo(info)) << info.path.c_str_utf8();
  }
  FilterLocalEvent removal;
  removal.sess_id = client->sess_id();
  removal.path = ustring("/albums");
  removal.file_type = 1;
  removal.event_type = Event::EV_REMOVE;
  removal.filtered_type = FILTER_PATH_PREFIX_SELECTIVE_SYNC;
  removal.is_exist = 0;
  ASSERT_EQ(0, client->filter_db().setLocalFilteredEvent(removal));

  // Meanwhile another client adds photos: the server's folders are newer
  // than anything this client saw of them.
  ASSERT_FALSE(other->Upload("/photos/p3.jpg", "photo three").hasMember("error"));
  ASSERT_FALSE(other->Upload("/albums/p3.jpg", "photo three").hasMember("error"));

  // Included again.
  Rules(FILTER_PATH_PREFIX_SELECTIVE_SYNC, "", rules, {});
  OfferHeldBack();
  std::set<std::string> with_p3 = all;
  with_p3.insert("/photos/p3.jpg");
  with_p3.insert("/albums/p3.jpg");
  EXPECT_EQ(with_p3, OnServer(*other)) << "including a folder again removes nothing on the server";
  ResumePull();
  EXPECT_EQ(with_p3, OnServer(*other));
  for (const std::string top : {"/photos", "/albums"}) {
    EXPECT_EQ("photo one", client->Read(top + "/p1.jpg")) << top;
    EXPECT_EQ("photo two", client->Read(top + "/sub/p2.jpg")) << top;
    EXPECT_EQ("photo three", client->Read(top + "/p3.jpg")) << top;
  }
}

TEST_F(HeldBackEventsTest, AFileDeletedWhileExcludedIsNoDeletionForTheServerAndComesBack) {
  ASSERT_FALSE(other->Upload("/movie.iso", "an image").hasMember("error"));
  ASSERT_FALSE(other->Upload("/notes.txt", "notes").hasMember("error"));
  client->StartWorkers(2);
  ASSERT_TRUE(client->SyncFromServer());
  ASSERT_EQ("an image", client->Read("/movie.iso"));

  // An extension rule leaves the local copy in place; the user deletes it
  // while the rule is in force, and a rescan looks at the folder after.
  const uint64_t since = client->stored_sync_id();
  Rules(FILTER_EXT_SELECTIVE_SYNC, "[File]\nblack_ext_selective_sync = \"iso\"\n", {}, {FilterInfo{since, ustring("iso")}});
  ASSERT_TRUE(std::filesystem::remove(client->Path("/movie.iso")));
  LocalRemoval("/movie.iso", false);
  client->events().IssueRescan(client->sess_id(), ustring("/"), false);
  ASSERT_TRUE(client->AwaitIdle());
  const std::set<std::string> both = {"/movie.iso", "/notes.txt"};
  EXPECT_EQ(both, OnServer(*other)) << "the file was not being synchronised";

  Rules(FILTER_EXT_SELECTIVE_SYNC, "", {FilterInfo{since, ustring("iso")}}, {});
  OfferHeldBack();
  ResumePull();
  EXPECT_EQ(both, OnServer(*other));
  EXPECT_EQ("an image", client->Read("/movie.iso")) << "what the server holds under the rule comes back";
}

}  // namespace
}  // namespace tidewell
