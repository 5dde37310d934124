#include "events/event_tree.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "events/event_merge.h"
#include "events/sync_status_recorder.h"

namespace tidewell {
namespace {

Event Make(Event::Type type, const char* path, bool server, bool dir,
           uint64_t sync_id = 0) {
  Event e;
  e.m_type = type;
  e.m_path = path;
  e.m_mode = (server ? Event::F_SERVER : 0) | (dir ? Event::F_DIR : 0);
  e.m_sync_id = sync_id;
  e.m_sess_id = 7;
  return e;
}

class RecordingStatus : public SyncStatusRecorder {
 public:
  int MarkSyncing(const ustring& p, bool) override {
    marked.push_back(std::string(p.utf8_view()));
    return 0;
  }
  int Forget(const ustring& p) override {
    forgotten.push_back(std::string(p.utf8_view()));
    return 0;
  }
  std::vector<std::string> marked, forgotten;
};

std::string PopPath(EventList2& t) {
  Event e;
  if (t.Pop(e) != 0) return "";
  return std::string(e.m_path.utf8_view());
}

TEST(EventTest, ToStringNamesTypeSideKindAndFileDetails) {
  Event e = Make(Event::EV_CREATE, "/a/b.txt", false, false, 12);
  e.m_data_size = 5;
  e.m_data_hash = "abc";
  EXPECT_EQ(std::string(e.toString().utf8_view()),
            "Event<EV_ADD>: [12] /a/b.txt (local,file) size = 5, hash = abc");
  Event d = Make(Event::EV_REMOVE, "/d", true, true, 3);
  d.m_mode |= Event::F_EXPAND;
  EXPECT_EQ(std::string(d.toString().utf8_view()),
            "Event<EV_REMOVE>: [3] /d (server,dir,expand)");
  Event r = Make(Event::EV_RENAME, "/x", false, false);
  r.m_opt = "/y";
  EXPECT_EQ(std::string(r.toString().utf8_view()),
            "Event<EV_RENAME>: from '/x', to '/y'");
  Event empty;
  EXPECT_FALSE(empty.IsValid());
  EXPECT_EQ(std::string(empty.toString().utf8_view()),
            "Event<EV_EMPTY>: [0]  (local,file) size = 0, hash = ");
}

TEST(EventMergeTest, TableOfSidesAndTypes) {
  using A = EventList2::Attribute;
  auto a = [](Event::Type t, bool server, uint64_t id = 0, bool dir = false) {
    return A::FromEvent(Make(t, "/f", server, dir, id));
  };
  // A local change meeting a server change becomes a conflict download.
  A r = HandleConflict(a(Event::EV_MODIFY, false), a(Event::EV_MODIFY, true, 5));
  EXPECT_TRUE(r.IsServer());
  EXPECT_TRUE(r.mode & Event::F_CONFLICT);
  // A removal yields to the other side's change.
  r = HandleConflict(a(Event::EV_MODIFY, false), a(Event::EV_REMOVE, true, 5));
  EXPECT_FALSE(r.IsServer());
  EXPECT_EQ(r.type, Event::EV_MODIFY);
  r = HandleConflict(a(Event::EV_MODIFY, true, 5), a(Event::EV_REMOVE, false));
  EXPECT_TRUE(r.IsServer());
  EXPECT_EQ(r.type, Event::EV_MODIFY);
  r = HandleConflict(a(Event::EV_REMOVE, true, 5), a(Event::EV_REMOVE, false));
  EXPECT_TRUE(r.IsServer());
  // Server against server: the higher sync id stays; a forced download
  // always gives way.
  EXPECT_EQ(HandleConflict(a(Event::EV_MODIFY, true, 9), a(Event::EV_CREATE, true, 4)).syncID, 9u);
  EXPECT_EQ(HandleConflict(a(Event::EV_MODIFY, true, 4), a(Event::EV_CREATE, true, 9)).syncID, 9u);
  EXPECT_EQ(HandleConflict(a(Event::EV_MODIFY, true, Event::kForcedSyncId),
                           a(Event::EV_CREATE, true, 1)).syncID, 1u);
  // Local against local: the newest.
  EXPECT_EQ(HandleConflict(a(Event::EV_CREATE, false), a(Event::EV_REMOVE, false)).type,
            Event::EV_REMOVE);
  // Folders: a pending removal replaced by another event asks for a rescan.
  r = HandleConflict(a(Event::EV_REMOVE, true, 3, true), a(Event::EV_CREATE, true, 4, true));
  EXPECT_EQ(r.type, Event::EV_CREATE);
  EXPECT_TRUE(r.mode & Event::F_SERVER_SUBDIR_RESCAN);
  r = HandleConflict(a(Event::EV_REMOVE, false, 0, true), a(Event::EV_CREATE, true, 4, true));
  EXPECT_TRUE(r.mode & Event::F_LOCAL_SUBDIR_RESCAN);
  r = HandleConflict(a(Event::EV_REMOVE, true, 9, true), a(Event::EV_CREATE, true, 4, true));
  EXPECT_EQ(r.type, Event::EV_REMOVE);  // the newer server removal stays
}

TEST(EventTreeTest, LocalThenServerModifyLeavesOneConflictDownload) {
  EventList2 t;
  ASSERT_EQ(t.Push(Make(Event::EV_MODIFY, "/a.txt", false, false)), 0);
  Event old;
  ASSERT_EQ(t.Push(Make(Event::EV_MODIFY, "/a.txt", true, false, 4), old), 0);
  EXPECT_EQ(old.m_type, Event::EV_MODIFY);
  EXPECT_TRUE(old.IsLocalEvent());
  EXPECT_EQ(t.GetServerEventCount(), 1);
  EXPECT_EQ(t.GetLocalEventCount(), 0);
  Event e;
  ASSERT_EQ(t.Pop(e), 0);
  EXPECT_TRUE(e.IsServerEvent());
  EXPECT_TRUE(e.IsConflict());
  EXPECT_NE(t.Pop(e), 0);
}

TEST(EventTreeTest, RefusesBadPathsAndEmptyEvents) {
  EventList2 t;
  EXPECT_EQ(t.Push(Make(Event::EV_CREATE, "/a/", false, false)), -1);
  EXPECT_EQ(t.Push(Make(Event::EV_CREATE, "/", false, true)), -1);
  EXPECT_EQ(t.Push(Make(Event::EV_CREATE, "", false, false)), -1);
  EXPECT_EQ(t.Push(Make(Event::EV_EMPTY, "/a", false, false)), -1);
  std::string long_name(1024, 'n');
  EXPECT_EQ(t.Push(Make(Event::EV_CREATE, ("/" + long_name).c_str(), false, false)), -1);
  EXPECT_EQ(t.Push(Make(Event::EV_CREATE, ("/" + long_name.substr(1)).c_str(), false, false)), 0);
  EXPECT_EQ(t.GetLocalEventCount(), 1);
  // Repeated separators are skipped.
  EXPECT_EQ(t.Push(Make(Event::EV_CREATE, "//x//y", false, false)), 0);
  Event e;
  EXPECT_EQ(t.Pop(ustring("/x/y"), false, e), 0);
}

TEST(EventTreeTest, ServerFolderRemovalDropsOlderServerWorkOnly) {
  RecordingStatus status;
  EventList2 t("/root", &status);
  ASSERT_EQ(t.Push(Make(Event::EV_CREATE, "/d/old.txt", true, false, 3)), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_CREATE, "/d/new.txt", true, false, 20)), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_MODIFY, "/d/mine.txt", false, false)), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_CREATE, "/d/s/deep.txt", true, false, 4)), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_REMOVE, "/d", true, true, 10)), 0);
  std::map<std::string, bool> left;
  for (const auto& v : t.Snapshot()) left[v.path] = v.is_dir;
  EXPECT_EQ(left.count("/d/old.txt"), 0u);
  EXPECT_EQ(left.count("/d/s"), 0u);
  EXPECT_EQ(left.count("/d/new.txt"), 1u);
  EXPECT_EQ(left.count("/d/mine.txt"), 1u);
  EXPECT_EQ(t.GetServerEventCount(), 2);  // /d and /d/new.txt
  EXPECT_EQ(t.GetLocalEventCount(), 1);
  std::vector<std::string> forgot = status.forgotten;
  std::sort(forgot.begin(), forgot.end());
  EXPECT_EQ(forgot, (std::vector<std::string>{"/root/d/old.txt", "/root/d/s",
                                              "/root/d/s/deep.txt"}));
  // The removal goes first and, since live work stays below it, is told to
  // compare what is left.
  Event e;
  ASSERT_EQ(t.Pop(e), 0);
  EXPECT_EQ(std::string(e.m_path.utf8_view()), "/d");
  EXPECT_TRUE(e.IsServerSubDirRescanWithStat());
}

TEST(EventTreeTest, LocalFolderRemovalDropsWaitingLocalWork) {
  EventList2 t;
  ASSERT_EQ(t.Push(Make(Event::EV_MODIFY, "/d/a.txt", false, false)), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_MODIFY, "/d/b.txt", false, false)), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_CREATE, "/d/c.txt", true, false, 8)), 0);
  Event busy;
  ASSERT_EQ(t.Pop(busy), 0);  // /d/a.txt in progress stays
  ASSERT_EQ(t.Push(Make(Event::EV_REMOVE, "/d", false, true)), 0);
  std::vector<std::string> paths;
  for (const auto& v : t.Snapshot()) paths.push_back(v.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"/", "/d", "/d/a.txt", "/d/c.txt"}));
  EXPECT_EQ(t.GetLocalEventCount(), 2);
  EXPECT_EQ(t.GetServerEventCount(), 1);
}

TEST(EventTreeTest, MergeIntoProcessingNodeTurnsRetry) {
  EventList2 t;
  ASSERT_EQ(t.Push(Make(Event::EV_MODIFY, "/a/x.txt", false, false)), 0);
  Event e;
  ASSERT_EQ(t.Pop(e), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_MODIFY, "/a/x.txt", false, false)), 0);
  EXPECT_EQ(t.DoneEvent(e), -1);  // the worker's result is stale
  Event again;
  EXPECT_NE(t.Pop(again), 0);     // not handed out before a redo
  ASSERT_EQ(t.Redo(ustring("/a/x.txt")), 0);
  ASSERT_EQ(t.Pop(again), 0);
  EXPECT_EQ(t.DoneEvent(again), 0);
  EXPECT_TRUE(t.IsEmpty());
  EXPECT_EQ(t.GetLocalEventCount(), 0);
}

// Two server events with the same sync id are the same server change seen
// twice: the stored one stays, for files and folders alike.
TEST(EventMergeTest, EqualServerSyncIdsKeepTheStoredEvent) {
  using A = EventList2::Attribute;
  for (bool dir : {false, true}) {
    SCOPED_TRACE(dir ? "folder" : "file");
    A stored = A::FromEvent(Make(Event::EV_MODIFY, "/f", true, dir, 5));
    stored.hash = "stored";
    A again = A::FromEvent(Make(Event::EV_CREATE, "/f", true, dir, 5));
    again.hash = "again";
    const A r = HandleConflict(stored, again);
    EXPECT_EQ(Event::EV_MODIFY, r.type);
    EXPECT_EQ("stored", r.hash);
  }
  // Through the tree: the event handed out is the first one pushed.
  EventList2 t;
  Event first = Make(Event::EV_MODIFY, "/f", true, false, 5);
  first.m_data_hash = "stored";
  Event second = Make(Event::EV_CREATE, "/f", true, false, 5);
  second.m_data_hash = "again";
  ASSERT_EQ(0, t.Push(first));
  ASSERT_EQ(0, t.Push(second));
  Event e;
  ASSERT_EQ(0, t.Pop(e));
  EXPECT_EQ(Event::EV_MODIFY, e.m_type);
  EXPECT_EQ(ustring("stored"), e.m_data_hash);
  EXPECT_EQ(1, t.GetServerEventCount());
}

// A node merged while its worker holds it is RETRY; a further push must
// leave it RETRY, or it would be handed to a second worker while the first
// still works on it, and the first worker's result would count as done.
TEST(EventTreeTest, PushOntoARetryingNodeStaysRetrying) {
  EventList2 t;
  ASSERT_EQ(0, t.Push(Make(Event::EV_MODIFY, "/a/x.txt", false, false)));
  Event held;
  ASSERT_EQ(0, t.Pop(held));
  ASSERT_EQ(0, t.Push(Make(Event::EV_MODIFY, "/a/x.txt", false, false)));  // RETRY
  ASSERT_EQ(0, t.Push(Make(Event::EV_MODIFY, "/a/x.txt", false, false)));  // still RETRY
  bool found = false;
  for (const EventList2::NodeView& n : t.Snapshot()) {
    if (n.path != "/a/x.txt") continue;
    found = true;
    EXPECT_EQ(EventList2::RETRY, n.status);
  }
  EXPECT_TRUE(found);
  Event other;
  EXPECT_NE(0, t.Pop(other));         // nobody else gets it
  EXPECT_EQ(-1, t.DoneEvent(held));   // and the held result is stale
  ASSERT_EQ(0, t.Redo(ustring("/a/x.txt")));
  ASSERT_EQ(0, t.Pop(other));
  EXPECT_EQ(0, t.DoneEvent(other));
  EXPECT_TRUE(t.IsEmpty());
}

TEST(EventTreeTest, HandOutSkipsBusyFilesAndWaitsForFolderEvent) {
  EventList2 t;
  ASSERT_EQ(t.Push(Make(Event::EV_MODIFY, "/a/x.txt", false, false)), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_MODIFY, "/a/y.txt", false, false)), 0);
  EXPECT_EQ(PopPath(t), "/a/x.txt");
  EXPECT_EQ(PopPath(t), "/a/y.txt");

  EventList2 u;
  ASSERT_EQ(u.Push(Make(Event::EV_MODIFY, "/a/x.txt", false, false)), 0);
  ASSERT_EQ(u.Push(Make(Event::EV_CREATE, "/a", false, true)), 0);
  Event dir;
  ASSERT_EQ(u.Pop(dir), 0);
  EXPECT_EQ(std::string(dir.m_path.utf8_view()), "/a");
  EXPECT_EQ(PopPath(u), "");  // nothing below /a while it is in progress
  ASSERT_EQ(u.DoneEvent(dir), 0);
  EXPECT_EQ(PopPath(u), "/a/x.txt");
}

TEST(EventTreeTest, FolderWithWorkInProgressBelowIsNotHandedOut) {
  EventList2 t;
  ASSERT_EQ(t.Push(Make(Event::EV_MODIFY, "/a/x.txt", false, false)), 0);
  Event x;
  ASSERT_EQ(t.Pop(x), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_MODIFY, "/a", true, true, 3)), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_MODIFY, "/b.txt", false, false)), 0);
  EXPECT_EQ(PopPath(t), "/b.txt");
  EXPECT_EQ(PopPath(t), "");
  ASSERT_EQ(t.DoneEvent(x), 0);
  EXPECT_EQ(PopPath(t), "/a");
}

TEST(EventTreeTest, DoneChecksSideAndStatusAndPrunesEmptyFolders) {
  EventList2 t;
  ASSERT_EQ(t.Push(Make(Event::EV_CREATE, "/a/b/c.txt", true, false, 2)), 0);
  Event e;
  ASSERT_EQ(t.Pop(e), 0);
  Event wrong = e;
  wrong.m_mode &= ~Event::F_SERVER;
  EXPECT_EQ(t.DoneEvent(wrong), -1);
  EXPECT_EQ(t.DoneEvent(Make(Event::EV_CREATE, "/a/b/none", true, false)), -1);
  EXPECT_EQ(t.DoneEvent(Make(Event::EV_CREATE, "/q/none", true, false)), -1);
  ASSERT_EQ(t.DoneEvent(e), 0);
  EXPECT_TRUE(t.IsEmpty());
  EXPECT_EQ(t.DoneEvent(e), -1);
}

TEST(EventTreeTest, DoneFolderWithChildrenStaysAsHolder) {
  EventList2 t;
  ASSERT_EQ(t.Push(Make(Event::EV_CREATE, "/a", false, true)), 0);
  Event d;
  ASSERT_EQ(t.Pop(d), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_CREATE, "/a/f", false, false)), 0);
  ASSERT_EQ(t.DoneEvent(d), 0);
  auto snap = t.Snapshot();
  ASSERT_EQ(snap.size(), 3u);
  EXPECT_EQ(snap[1].path, "/a");
  EXPECT_EQ(snap[1].status, EventList2::DONE);
  EXPECT_EQ(PopPath(t), "/a/f");
}

TEST(EventTreeTest, RedoMovesNodeAndFoldersToEnd) {
  EventList2 t;
  ASSERT_EQ(t.Push(Make(Event::EV_CREATE, "/a/1", false, false)), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_CREATE, "/a/2", false, false)), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_CREATE, "/b/3", false, false)), 0);
  Event e;
  ASSERT_EQ(t.Pop(e), 0);
  EXPECT_EQ(std::string(e.m_path.utf8_view()), "/a/1");
  ASSERT_EQ(t.Redo(e.m_path), 0);  // /a moves behind /b
  Event b;
  ASSERT_EQ(t.Pop(b), 0);
  EXPECT_EQ(std::string(b.m_path.utf8_view()), "/b/3");
  // The first folder without an event of its own holds the hand-out until
  // its subtree is through.
  EXPECT_EQ(PopPath(t), "");
  ASSERT_EQ(t.DoneEvent(b), 0);
  EXPECT_EQ(PopPath(t), "/a/2");
  EXPECT_EQ(PopPath(t), "/a/1");
  EXPECT_EQ(t.Redo(ustring("/nowhere")), -1);
}

TEST(EventTreeTest, PopByPathOfBusyNodeDoesNotCountTwice) {
  EventList2 t;
  ASSERT_EQ(t.Push(Make(Event::EV_CREATE, "/a/x", false, false)), 0);
  Event e, again;
  ASSERT_EQ(t.Pop(e), 0);
  ASSERT_EQ(t.Pop(ustring("/a/x"), again), 0);
  ASSERT_EQ(t.DoneEvent(again), 0);
  EXPECT_TRUE(t.IsEmpty());
  // A folder that only holds children has no event to hand out.
  ASSERT_EQ(t.Push(Make(Event::EV_CREATE, "/h/y", false, false)), 0);
  EXPECT_EQ(t.Pop(ustring("/h"), true, e), -1);
  EXPECT_EQ(t.Redo(ustring("/h")), -1);
}

TEST(EventTreeTest, PopByPathBelowWaitingServerRemovalMarksIt) {
  EventList2 t;
  ASSERT_EQ(t.Push(Make(Event::EV_MODIFY, "/d/mine.txt", false, false)), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_REMOVE, "/d", true, true, 5)), 0);
  Event mine;
  ASSERT_EQ(t.Pop(ustring("/d/mine.txt"), false, mine), 0);
  Event d;
  EXPECT_NE(t.Pop(d), 0);  // the removal waits for the upload
  ASSERT_EQ(t.DoneEvent(mine), 0);
  ASSERT_EQ(t.Pop(d), 0);
  EXPECT_EQ(std::string(d.m_path.utf8_view()), "/d");
  EXPECT_TRUE(d.IsServerSubDirRescanWithStat());
}

TEST(EventTreeTest, ClearLocalEventKeepsServerWorkAndReleasesBusyFolders) {
  EventList2 t;
  ASSERT_EQ(t.Push(Make(Event::EV_MODIFY, "/a/x", false, false)), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_MODIFY, "/b/y", false, false)), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_MODIFY, "/b/z", true, false, 3)), 0);
  ASSERT_EQ(t.Push(Make(Event::EV_CREATE, "/c", false, true)), 0);
  Event x;
  ASSERT_EQ(t.Pop(x), 0);  // /a/x in progress
  t.ClearLocalEvent();
  EXPECT_EQ(t.GetLocalEventCount(), 0);
  EXPECT_EQ(t.GetServerEventCount(), 1);
  std::vector<std::string> paths;
  for (const auto& v : t.Snapshot()) {
    paths.push_back(v.path);
    EXPECT_EQ(v.ref_local, 0) << v.path;
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"/", "/b", "/b/z"}));
  EXPECT_EQ(PopPath(t), "/b/z");
}

TEST(EventTreeTest, ManyChildrenKeepInsertionOrder) {
  EventList2 t;
  for (int i = 0; i < 200; ++i)
    ASSERT_EQ(t.Push(Make(Event::EV_CREATE, ("/big/f" + std::to_string(i)).c_str(), false, false)), 0);
  for (int i = 0; i < 200; ++i) {
    Event e;
    ASSERT_EQ(t.Pop(e), 0);
    EXPECT_EQ(std::string(e.m_path.utf8_view()), "/big/f" + std::to_string(i));
    ASSERT_EQ(t.DoneEvent(e), 0);
  }
  EXPECT_TRUE(t.IsEmpty());
}

}  // namespace
}  // namespace tidewell

namespace tidewell {
namespace {

TEST(SyncStatusKeyTest, JoinsRootAndSessionPathWithOneSlash) {
  auto key = [](const char* root, const char* rel) {
    return std::string(SyncStatusKey(ustring(root), ustring(rel)).utf8_view());
  };
  EXPECT_EQ(key("/sync/s1", "/a/b.txt"), "/sync/s1/a/b.txt");
  EXPECT_EQ(key("/sync/s1/", "/a"), "/sync/s1/a");
  EXPECT_EQ(key("/sync/s1", "/"), "/sync/s1");
  EXPECT_EQ(key("/", "/a"), "/a");
  // A backslash is part of a name here, not a separator.
  EXPECT_EQ(key("/s", "/a\\b"), "/s/a\\b");
}

}  // namespace
}  // namespace tidewell
