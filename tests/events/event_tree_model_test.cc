// The event tree against a model that does everything the slow, obvious way:
// a flat map of nodes, children found by scanning, order by a counter,
// reference counts recounted from scratch.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/random.h"
#include "events/event_tree.h"

namespace tidewell {
namespace {

using Status = EventList2::Status;
constexpr uint32_t kStatMarks =
    Event::F_LOCAL_SUBDIR_RESCAN_STAT | Event::F_SERVER_SUBDIR_RESCAN_STAT;

std::string Parent(const std::string& p) {
  size_t i = p.rfind('/');
  return i == 0 ? "/" : p.substr(0, i);
}

class Model {
 public:
  struct Node {
    Status status = EventList2::DONE;
    Event ev;
    uint64_t seq = 0;
  };
  using Key = std::pair<std::string, bool>;  // path, is_dir

  std::map<Key, Node> nodes;

  void Push(const Event& e) {
    std::string path(e.m_path.utf8_view());
    EnsureDirs(Parent(path));
    Key k{path, e.IsDir()};
    auto it = nodes.find(k);
    if (it == nodes.end()) {
      nodes[k] = Node{EventList2::WAITING, e, seq_++};
    } else {
      Node& n = it->second;
      Status prev = n.status;
      n.ev = prev == EventList2::DONE ? e : Merge(n.ev, e);
      n.status = (prev == EventList2::PROCESSING || prev == EventList2::RETRY)
                     ? EventList2::RETRY
                     : EventList2::WAITING;
    }
    Node& n = nodes[k];
    if (e.IsDir() && n.ev.m_type == Event::EV_REMOVE)
      RemoveBelow(path, n.ev.IsServerEvent(), n.ev.m_sync_id);
  }

  // The key of the next hand-out, or nothing.
  bool Pop(Key& out) { return FirstWaiting("/", out); }

  void HandOut(const Key& k) { nodes[k].status = EventList2::PROCESSING; }

  int PopPath(const Key& k) {
    auto it = nodes.find(k);
    if (it == nodes.end() || it->second.status == EventList2::DONE) return -1;
    it->second.status = EventList2::PROCESSING;
    return 0;
  }

  int Done(const Event& e) {
    Key k{std::string(e.m_path.utf8_view()), e.IsDir()};
    auto it = nodes.find(k);
    if (it == nodes.end() || it->second.status != EventList2::PROCESSING ||
        it->second.ev.IsServerEvent() != e.IsServerEvent())
      return -1;
    if (k.second && HasChildren(k.first)) {
      it->second = Node{EventList2::DONE, Event(), it->second.seq};
      return 0;
    }
    nodes.erase(it);
    for (std::string p = Parent(k.first); p != "/"; p = Parent(p)) {
      auto d = nodes.find({p, true});
      if (d->second.status != EventList2::DONE || HasChildren(p)) break;
      nodes.erase(d);
    }
    return 0;
  }

  int Redo(const Key& k) {
    // Every folder passed through moves to the end of its list.
    std::string prefix;
    std::string rest = k.first.substr(1);
    for (size_t s; (s = rest.find('/')) != std::string::npos;) {
      prefix += "/" + rest.substr(0, s);
      rest = rest.substr(s + 1);
      auto d = nodes.find({prefix, true});
      if (d == nodes.end()) return -1;
      d->second.seq = seq_++;
    }
    auto it = nodes.find(k);
    if (it == nodes.end() || it->second.status == EventList2::DONE) return -1;
    it->second.seq = seq_++;
    it->second.status = EventList2::WAITING;
    return 0;
  }

  void ClearLocal(const std::string& dir) {
    for (const Key& f : Children(dir, false))
      if (nodes[f].ev.IsLocalEvent()) nodes.erase(f);
    for (const Key& c : Children(dir, true)) {
      ClearLocal(c.first);
      Node& n = nodes[c];
      if (n.status != EventList2::DONE && n.ev.IsServerEvent()) continue;
      if (HasChildren(c.first))
        n = Node{EventList2::DONE, Event(), n.seq};
      else
        nodes.erase(c);
    }
  }

  int Refs(const std::string& dir, bool server) const {
    int count = 0;
    for (const auto& [k, n] : nodes)
      if (n.status == EventList2::PROCESSING &&
          n.ev.IsServerEvent() == server && k.first.size() > dir.size() &&
          (dir == "/" || k.first.compare(0, dir.size() + 1, dir + "/") == 0))
        ++count;
    return count;
  }

  int Count(bool server) const {
    int c = 0;
    for (const auto& [k, n] : nodes)
      if (n.status != EventList2::DONE && n.ev.IsServerEvent() == server) ++c;
    return c;
  }

  // Parents first, files before folders, each in list order.
  void Listing(const std::string& dir, std::vector<Key>& out) const {
    for (const Key& f : Children(dir, false)) out.push_back(f);
    for (const Key& c : Children(dir, true)) {
      out.push_back(c);
      Listing(c.first, out);
    }
  }

 private:
  static Event Merge(const Event& o, const Event& n) {
    auto newer = [](uint64_t old_id, uint64_t new_id) {
      return old_id < new_id || old_id == Event::kForcedSyncId;
    };
    auto sides = [](const Event& s, const Event& l) {
      if (l.m_type == Event::EV_REMOVE) return s;
      if (s.m_type == Event::EV_REMOVE) return l;
      Event r = s;
      r.m_mode |= Event::F_CONFLICT;
      return r;
    };
    if (n.IsFile()) {
      if (o.IsServerEvent() && n.IsServerEvent())
        return newer(o.m_sync_id, n.m_sync_id) ? n : o;
      if (o.IsServerEvent()) return sides(o, n);
      if (n.IsServerEvent()) return sides(n, o);
      return n;
    }
    Event r = n;
    if (o.IsServerEvent() && n.IsServerEvent() && !newer(o.m_sync_id, n.m_sync_id))
      r = o;
    if (o.m_type == Event::EV_REMOVE && r.m_type != Event::EV_REMOVE)
      r.m_mode |= o.IsServerEvent() ? Event::F_SERVER_SUBDIR_RESCAN
                                    : Event::F_LOCAL_SUBDIR_RESCAN;
    return r;
  }

  void EnsureDirs(const std::string& dir) {
    if (dir == "/") return;
    EnsureDirs(Parent(dir));
    Key k{dir, true};
    if (!nodes.count(k)) nodes[k] = Node{EventList2::DONE, Event(), seq_++};
  }

  std::vector<Key> Children(const std::string& dir, bool dirs) const {
    std::vector<std::pair<uint64_t, Key>> found;
    for (const auto& [k, n] : nodes)
      if (k.second == dirs && Parent(k.first) == dir)
        found.push_back({n.seq, k});
    std::sort(found.begin(), found.end());
    std::vector<Key> out;
    for (auto& [s, k] : found) out.push_back(k);
    return out;
  }

  bool HasChildren(const std::string& dir) const {
    return !Children(dir, false).empty() || !Children(dir, true).empty();
  }

  int RemoveBelow(const std::string& dir, bool server, uint64_t base) {
    int remain = 0;
    for (const Key& c : Children(dir, true)) {
      int r = RemoveBelow(c.first, server, base);
      Node& n = nodes[c];
      bool superseded = n.status == EventList2::WAITING &&
                        n.ev.IsServerEvent() == server &&
                        (!server || n.ev.m_sync_id < base);
      if (r == 0 && (n.status == EventList2::DONE || superseded)) {
        nodes.erase(c);
        continue;
      }
      if (superseded) n = Node{EventList2::DONE, Event(), n.seq};
      remain += 1 + r;
    }
    for (const Key& f : Children(dir, false)) {
      const Node& n = nodes[f];
      bool stays = n.status == EventList2::PROCESSING ||
                   n.status == EventList2::RETRY ||
                   n.ev.IsServerEvent() != server ||
                   (n.ev.IsServerEvent() && n.ev.m_sync_id >= base);
      if (stays)
        ++remain;
      else
        nodes.erase(f);
    }
    return remain;
  }

  bool FirstWaiting(const std::string& dir, Key& out) const {
    for (const Key& f : Children(dir, false))
      if (nodes.at(f).status == EventList2::WAITING) {
        out = f;
        return true;
      }
    for (const Key& c : Children(dir, true)) {
      const Node& n = nodes.at(c);
      if (n.status == EventList2::DONE) return FirstWaiting(c.first, out);
      if (n.status == EventList2::WAITING && Refs(c.first, true) == 0 &&
          Refs(c.first, false) == 0) {
        out = c;
        return true;
      }
    }
    return false;
  }

  uint64_t seq_ = 1;
};

class EventTreeModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    seed_ = testing::TestSeed();
    rng_.seed(seed_);
  }

  int Rand(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  Event RandomEvent() {
    static const char* kNames[] = {"a", "b", "c"};
    std::string path;
    int depth = 1 + Rand(3);
    for (int i = 0; i < depth; ++i) path += std::string("/") + kNames[Rand(3)];
    Event e;
    static const Event::Type kTypes[] = {Event::EV_CREATE, Event::EV_MODIFY,
                                         Event::EV_REMOVE};
    e.m_type = kTypes[Rand(3)];
    e.m_path = path;
    e.m_sess_id = 1;
    bool server = Rand(2) == 0;
    e.m_mode = (server ? Event::F_SERVER : 0) | (Rand(3) == 0 ? Event::F_DIR : 0);
    if (server) e.m_sync_id = Rand(20) == 0 ? Event::kForcedSyncId : 1 + Rand(30);
    return e;
  }

  // Everything observable agrees with the model.
  void Check(EventList2& tree, const Model& model) {
    std::vector<Model::Key> keys;
    model.Listing("/", keys);
    std::vector<EventList2::NodeView> snap = tree.Snapshot();
    ASSERT_EQ(snap.size(), keys.size() + 1);
    EXPECT_EQ(snap[0].ref_server + snap[0].ref_local, 0);
    for (size_t i = 0; i < keys.size(); ++i) {
      const auto& v = snap[i + 1];
      const Model::Node& m = model.nodes.at(keys[i]);
      ASSERT_EQ(v.path, keys[i].first);
      ASSERT_EQ(v.is_dir, keys[i].second) << v.path;
      ASSERT_EQ(v.status, m.status) << v.path;
      ASSERT_EQ(v.event.m_type, m.ev.m_type) << v.path;
      ASSERT_EQ(v.event.m_mode & ~kStatMarks, m.ev.m_mode) << v.path;
      ASSERT_EQ(v.event.m_sync_id, m.ev.m_sync_id) << v.path;
      if (v.is_dir) {
        ASSERT_EQ(v.ref_server, model.Refs(v.path, true)) << v.path;
        ASSERT_EQ(v.ref_local, model.Refs(v.path, false)) << v.path;
      }
    }
    ASSERT_EQ(tree.GetServerEventCount(), model.Count(true));
    ASSERT_EQ(tree.GetLocalEventCount(), model.Count(false));
  }

  void PopBoth(EventList2& tree, Model& model, std::vector<Event>& out) {
    Model::Key want;
    bool expect = model.Pop(want);
    Event e;
    int r = tree.Pop(e);
    ASSERT_EQ(r == 0, expect);
    if (!expect) return;
    ASSERT_EQ(std::string(e.m_path.utf8_view()), want.first);
    ASSERT_EQ(e.IsDir(), want.second);
    // Nothing is handed out below a folder with an event of its own.
    for (std::string p = Parent(want.first); p != "/"; p = Parent(p))
      ASSERT_EQ(model.nodes.at({p, true}).status, EventList2::DONE) << p;
    model.HandOut(want);
    out.push_back(e);
  }

  uint64_t seed_ = 0;
  std::mt19937_64 rng_;
};

TEST_F(EventTreeModelTest, RandomSequencesMatchModel) {
  for (int round = 0; round < 30; ++round) {
    EventList2 tree;
    Model model;
    std::vector<Event> out;  // handed out, possibly stale
    for (int step = 0; step < 600; ++step) {
      SCOPED_TRACE("seed " + std::to_string(seed_) + " round " +
                   std::to_string(round) + " step " + std::to_string(step));
      int op = Rand(100);
      if (op < 40) {
        Event e = RandomEvent();
        ASSERT_EQ(tree.Push(e), 0);
        model.Push(e);
      } else if (op < 65) {
        PopBoth(tree, model, out);
      } else if (op < 85 && !out.empty()) {
        size_t i = Rand(static_cast<int>(out.size()));
        int r = tree.DoneEvent(out[i]);
        ASSERT_EQ(r, model.Done(out[i]));
        if (r == 0) out.erase(out.begin() + i);
      } else if (op < 92) {
        Event e = out.empty() || Rand(2) ? RandomEvent() : out[Rand(static_cast<int>(out.size()))];
        int r = tree.Redo(e.m_path, e.IsDir());
        ASSERT_EQ(r, model.Redo({std::string(e.m_path.utf8_view()), e.IsDir()}));
      } else if (op < 98) {
        Event e = RandomEvent(), got;
        int r = tree.Pop(e.m_path, e.IsDir(), got);
        ASSERT_EQ(r, model.PopPath({std::string(e.m_path.utf8_view()), e.IsDir()}));
        if (r == 0) out.push_back(got);
      } else if (op < 99) {
        tree.ClearLocalEvent();
        model.ClearLocal("/");
      }
      Check(tree, model);
      if (HasFatalFailure()) return;
    }
    // Drain: hand out and finish everything, taking merged events back by
    // path as the event manager does.
    for (int guard = 0; !model.nodes.empty(); ++guard) {
      SCOPED_TRACE("seed " + std::to_string(seed_) + " round " +
                   std::to_string(round) + " drain " + std::to_string(guard));
      ASSERT_LT(guard, 10000);
      out.clear();
      PopBoth(tree, model, out);
      if (HasFatalFailure()) return;
      if (out.empty()) {
        for (const auto& [k, n] : model.nodes)
          if (n.status == EventList2::PROCESSING || n.status == EventList2::RETRY) {
            Event got;
            ASSERT_EQ(tree.Pop(ustring(k.first), k.second, got), 0);
            out.push_back(got);
            model.PopPath(k);
            break;
          }
      }
      ASSERT_FALSE(out.empty()) << "work left that can never be handed out";
      ASSERT_EQ(tree.DoneEvent(out[0]), 0);
      ASSERT_EQ(model.Done(out[0]), 0);
      Check(tree, model);
      if (HasFatalFailure()) return;
    }
    EXPECT_TRUE(tree.IsEmpty());
    EXPECT_EQ(tree.GetServerEventCount(), 0);
    EXPECT_EQ(tree.GetLocalEventCount(), 0);
  }
}

}  // namespace
}  // namespace tidewell
