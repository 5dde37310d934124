// Rescans: the file-list comparison against a plain model on random trees,
// and a rescan against the real server of the changes made while the
// engine was stopped.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>

#include "common/engine_harness.h"
#include "common/random.h"
#include "common/server_client.h"
#include "db/file_list.h"
#include "db/string_buffer.h"
#include "events/event_generator.h"
#include "sync/worker.h"

namespace tidewell {
namespace {

namespace fs = std::filesystem;
using testing::EngineClient;
using testing::Md4Hex;
using testing::ServerClient;
using testing::ServerProcess;

class ProbeWorker : public Worker {
 public:
  using Worker::CompareFileList;
  using Worker::context;
  using Worker::rescan_removals;
  using Worker::Worker;
};

// One side of the comparison: path -> {is_dir, mtime, size}.
struct Item {
  bool dir = false;
  uint32_t mtime = 0;
  uint64_t size = 0;
};
using Tree = std::map<std::string, Item>;

// A random tree over a small alphabet of names, so that the two sides
// share many paths, names that are prefixes of others ("b", "b.txt", "b0")
// and items that are a file on one side and a folder on the other.
Tree RandomTree(std::mt19937& rng) {
  static const char* kNames[] = {"b", "b.txt", "b0", "a", "a-", "z", "B"};
  Tree t;
  std::vector<std::string> dirs{""};
  int n = static_cast<int>(rng() % 40);
  for (int i = 0; i < n; ++i) {
    std::string parent = dirs[rng() % dirs.size()];
    std::string path = parent + "/" + kNames[rng() % 7];
    bool clash = t.count(path) != 0;
    for (const auto& [p, item] : t)  // a file on the way down
      if (!item.dir && path.rfind(p + "/", 0) == 0) clash = true;
    if (clash) continue;
    Item item;
    item.dir = rng() % 3 == 0;
    item.mtime = 100 + rng() % 3;
    item.size = item.dir ? 0 : rng() % 3;
    t[path] = item;
    if (item.dir) dirs.push_back(path);
  }
  // Every parent folder exists.
  Tree all = t;
  for (const auto& [p, item] : t)
    for (size_t s = p.find('/', 1); s != std::string::npos; s = p.find('/', s + 1)) all[p.substr(0, s)].dir = true;
  return all;
}

void Fill(FileList& list, const Tree& t) {
  for (const auto& [p, item] : t) {
    if (item.dir)
      ASSERT_GE(list.AddDirectory(p.c_str() + 1, item.mtime), 0) << p;
    else
      ASSERT_EQ(0, list.AddFile(p.c_str() + 1, item.mtime, item.size)) << p;
  }
}

TEST(CompareFileListTest, FindsEveryDifferenceOfRandomTrees) {
  ServerProcess server;  // not started: the comparison only queues events
  EngineClient client(server);
  auto& w = client.AddWorker<ProbeWorker>();
  std::mt19937 rng(static_cast<uint32_t>(testing::TestSeed()));

  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const Tree local = RandomTree(rng);
    const Tree db = RandomTree(rng);
    const bool msdos = round % 2 == 1;

    // The model: what must be uploaded, and what only the database holds.
    std::set<std::string> want_up, want_rm;
    for (const auto& [p, l] : local) {
      auto d = db.find(p);
      if (d == db.end() || d->second.dir != l.dir) {
        want_up.insert(p);
      } else if (!l.dir) {
        uint32_t diff = l.mtime > d->second.mtime ? l.mtime - d->second.mtime : d->second.mtime - l.mtime;
        if (l.size != d->second.size || diff > (msdos ? 1u : 0u)) want_up.insert(p);
      }
    }
    for (const auto& [p, d] : db)
      if (local.count(p) == 0) want_rm.insert(p);

    StringBuffer names;
    FileList ll(names), dl(names);
    Fill(ll, local);
    Fill(dl, db);
    w.context.current_event.m_sess_id = client.sess_id();
    w.context.root_entry = client.entry();
    w.context.root_entry.isMSDOS = msdos;
    std::vector<Event> removals;
    w.rescan_removals = &removals;
    ASSERT_EQ(0, w.CompareFileList(ustring("/"), ll, dl, false));
    w.rescan_removals = nullptr;

    std::set<std::string> got_up, got_rm;
    for (const Event& r : removals) {
      EXPECT_TRUE(got_rm.insert(std::string(r.m_path.utf8_view())).second) << "twice: " << r.m_path.c_str_utf8();
      const std::string p(r.m_path.utf8_view());
      EXPECT_EQ(db.at(p).dir, r.IsDir()) << p;
    }
    Event e;
    while (client.events().PullEvent(&w, e) == 0) {
      got_up.insert(std::string(e.m_path.utf8_view()));
      EXPECT_EQ(local.at(std::string(e.m_path.utf8_view())).dir, e.IsDir());
      client.events().DoneEvent(&w, e);
    }
    EXPECT_EQ(want_up, got_up);
    EXPECT_EQ(want_rm, got_rm);
    // Removals come out deepest first, each folder after its content.
    for (size_t i = 0; i < removals.size(); ++i)
      for (size_t j = i + 1; j < removals.size(); ++j) {
        std::string a(removals[i].m_path.utf8_view()), b(removals[j].m_path.utf8_view());
        EXPECT_FALSE(b.rfind(a + "/", 0) == 0) << a << " came before its content " << b;
      }
  }
}

// What the server holds below "/": path -> hash ("" for folders).
std::map<std::string, std::string> ServerFiles(ServerProcess& server) {
  ServerClient peer(server);
  PObject reply = peer.Pull(0);
  std::map<std::string, std::string> out;
  for (const PObject& e : reply["event_list"].asArray())
    out[std::string(e["path"].asStringRef().utf8_view())] = std::string(e["file"]["hash"].asStringRef().utf8_view());
  return out;
}

// What the session folder holds, in the same form.
std::map<std::string, std::string> LocalFiles(EngineClient& client) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(client.root()); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel = it->path().string().substr(client.root().size());
    if (rel.rfind("/.VeltronaWorkingDirectory", 0) == 0) {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_symlink()) continue;
    out[rel] = it->is_directory() ? "" : Md4Hex(client.Read(rel));
  }
  return out;
}

TEST(RescanTest, ChangesMadeWhileStoppedReachTheServer) {
  ServerProcess server;
  ASSERT_TRUE(server.Start());
  EngineClient client(server);
  client.Write("/a.txt", "a");
  client.Write("/b.txt", "b");
  client.Write("/sub/c.txt", "c");
  client.Write("/sub/deep/d.txt", "d");
  client.Write("/sub/deep/e.txt", "e");
  client.events().IssueRescan(client.sess_id(), ustring("/"), false);
  client.StartWorkers();
  ASSERT_TRUE(client.AwaitIdle());
  ASSERT_EQ(LocalFiles(client), ServerFiles(server));
  client.StopWorkers();

  // While the engine is stopped: an edit, removals of a file and a folder,
  // new files and folders, and a link that is never synchronised.
  client.Write("/a.txt", "a, edited");
  fs::remove(client.Path("/b.txt"));
  fs::remove_all(client.Path("/sub/deep"));
  client.Write("/sub/new.txt", "new");
  client.Write("/fresh/f.txt", "f");
  fs::create_symlink("/etc", client.Path("/link"));

  client.events().IssueRescan(client.sess_id(), ustring("/"), false);
  client.StartWorkers();
  ASSERT_TRUE(client.AwaitIdle());
  const auto local = LocalFiles(client);
  EXPECT_EQ(local, ServerFiles(server));
  EXPECT_EQ(0u, local.count("/b.txt"));
  for (const auto& [path, hash] : local) {
    ClientFileEventInfo info;
    ASSERT_EQ(1, client.Record(path, info)) << path;
    EXPECT_EQ(hash, std::string(info.fileCheckSum.utf8_view())) << path;
  }
  ClientFileEventInfo gone;
  EXPECT_EQ(0, client.Record("/sub/deep/d.txt", gone));
  EXPECT_EQ(0, client.Record("/link", gone));
}

}  // namespace
}  // namespace tidewell
