// The object tree as clients see it through the protocol: uploads decided
// against their base, pulls with their removal and paging rules, downloads,
// removals, and two clients working on the same tree.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "server/server_test_util.h"

namespace tidewell::testing {
namespace {

class ServerSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Start());
    a_ = std::make_unique<TestClient>(server_.port(), AccountOf(server_));
    b_ = std::make_unique<TestClient>(server_.port(), AccountOf(server_));
    ASSERT_EQ(0, a_->Connect());
    ASSERT_EQ(0, b_->Connect());
  }

  // Events by path (the last one for each).
  static std::map<std::string, PObject> ByPath(const std::vector<PObject>& events) {
    std::map<std::string, PObject> out;
    for (const PObject& e : events) out[e["path"].asString().c_str_utf8()] = e;
    return out;
  }

  ServerProcess server_;
  std::unique_ptr<TestClient> a_;
  std::unique_ptr<TestClient> b_;
};

TEST_F(ServerSyncTest, UploadsAppearInPullsWithImplicitParentsFirstAndDownloadBack) {
  uint64_t file_id = 0;
  ASSERT_EQ(0u, a_->Put("//docs/sub//a.txt/", "alpha", 0, &file_id));
  uint64_t next = 0;
  std::vector<PObject> events = b_->PullAll(0, "/", &next);
  ASSERT_EQ(3u, events.size());
  // Parents take their ids before the child; "max_id" is each one's own id.
  const char* paths[] = {"/docs", "/docs/sub", "/docs/sub/a.txt"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(paths[i], std::string(events[i]["path"].asString().c_str_utf8()));
    EXPECT_EQ(i + 1, events[i]["sync_id"].asUInt64());
    EXPECT_EQ(i + 1, events[i]["max_id"].asUInt64());
    EXPECT_EQ(i < 2 ? 1u : 0u, events[i]["is_dir"].asUInt64());
    EXPECT_EQ(0u, events[i]["is_removed"].asUInt64());
  }
  EXPECT_EQ(file_id, 3u);
  EXPECT_EQ(3u, next);
  const PObject& f = events[2];
  EXPECT_EQ(Md4Text("alpha"), std::string(f["file"]["hash"].asString().c_str_utf8()));
  EXPECT_EQ(5u, f["file"]["size"].asUInt64());
  EXPECT_EQ(1700000000u, f["mtime"]["mtime"].asUInt64());
  EXPECT_EQ(1700000000u, f["common_attribute"]["mtime"].asUInt64());
  EXPECT_TRUE(f.hasMember("exec_bit"));
  EXPECT_FALSE(events[0].hasMember("file"));

  // A pull of a sub-folder: paths relative to it, never the folder itself;
  // non-recursive: direct children only.
  std::vector<PObject> sub = b_->PullAll(0, "/docs");
  ASSERT_EQ(2u, sub.size());
  EXPECT_EQ("/sub", std::string(sub[0]["path"].asString().c_str_utf8()));
  EXPECT_EQ("/sub/a.txt", std::string(sub[1]["path"].asString().c_str_utf8()));
  PObject reply;
  ASSERT_EQ(0u, b_->CallCode(kCmdPull, b_->Pull(0, "/docs", false), reply));
  ASSERT_EQ(1u, reply["event_list"].size());
  EXPECT_EQ(3u, reply["next_sync_id"].asUInt64());
  // Nothing new: the same id back, an empty list.
  ASSERT_EQ(0u, b_->CallCode(kCmdPull, b_->Pull(3), reply));
  EXPECT_EQ(3u, reply["next_sync_id"].asUInt64());
  EXPECT_EQ(0u, reply["event_list"].size());
  // Pull errors: a missing folder, a file, an invalid path; all with the id back.
  for (const char* bad : {"/nowhere", "/docs/sub/a.txt", "/docs/../x"}) {
    ASSERT_EQ(0x3003u, b_->CallCode(kCmdPull, b_->Pull(7, bad), reply)) << bad;
    EXPECT_EQ(7u, reply["next_sync_id"].asUInt64());
    EXPECT_EQ(0u, reply["event_list"].size());
  }

  // Downloads: whole content, the same version (ids only), a folder.
  std::string body;
  ASSERT_EQ(0u, b_->Get("/docs/sub/a.txt", 0, reply, &body));
  EXPECT_EQ("alpha", body);
  EXPECT_EQ(0u, reply["file"]["refer"].asUInt64());
  EXPECT_EQ(0u, reply["file"]["is_delta"].asUInt64());
  EXPECT_EQ(5u, reply["file"]["size"].asUInt64());
  EXPECT_EQ(3u, reply["sync_id"].asUInt64());
  EXPECT_EQ(3u, reply["max_id"].asUInt64());
  EXPECT_EQ(0u, reply["exec_bit"]["refer"].asUInt64());
  EXPECT_EQ(0u, reply["mtime"]["refer"].asUInt64());
  ASSERT_EQ(0u, b_->Get("/docs/sub/a.txt", 3, reply));
  EXPECT_EQ(3u, reply["sync_id"].asUInt64());
  EXPECT_FALSE(reply.hasMember("file"));
  EXPECT_FALSE(reply.hasMember("mtime"));
  ASSERT_EQ(0u, b_->Get("/docs", 0, reply));
  EXPECT_EQ(1u, reply["is_dir"].asUInt64());
  EXPECT_EQ(0u, reply["mtime"]["refer"].asUInt64());
  EXPECT_FALSE(reply.hasMember("file"));
  EXPECT_EQ(0x8001u, b_->Get("/docs/missing.txt", 0, reply));
  EXPECT_EQ(0x8001u, b_->Get("/docs/../../etc/passwd", 0, reply));
}

// The decision table of an upload, one row per case, against the state the
// rows before it left.
TEST_F(ServerSyncTest, UploadsAreDecidedAgainstTheirBase) {
  uint64_t f = 0, d = 0;
  ASSERT_EQ(0u, a_->Put("/f.txt", "one", 0, &f));
  ASSERT_EQ(0u, a_->PutDir("/dir", 0, &d));
  uint64_t id = 0;
  struct Row {
    const char* what;
    std::function<uint64_t()> run;
    uint64_t code;
  };
  const Row rows[] = {
      {"new version on the current base", [&] { return a_->Put("/f.txt", "two", f, &f); }, 0},
      {"stale base: changed on the server", [&] { return b_->Put("/f.txt", "three", 1, &id); }, 0x9002},
      {"base 0, same content: accepted as it stands", [&] { return b_->Put("/f.txt", "two", 0, &id); }, 0},
      {"base 0, other content", [&] { return b_->Put("/f.txt", "four", 0, &id); }, 0x9002},
      {"base 0, two folders", [&] { return b_->PutDir("/dir", 0, &id); }, 0},
      {"a folder where a file is", [&] { return b_->PutDir("/f.txt", 0, &id); }, 0x6002},
      {"a file where a folder is", [&] { return b_->Put("/dir", "x", d, &id); }, 0x6002},
      {"a parent that is a file", [&] { return b_->Put("/f.txt/child", "x", 0, &id); }, 0x9002},
      {"a base the server never had", [&] { return b_->Put("/new.txt", "x", 5, &id); }, 0x9001},
      {"a path with ..", [&] { return b_->Put("/dir/../../etc/x", "x", 0, &id); }, 0x9002},
      {"the view root", [&] { return b_->PutDir("/", 0, &id); }, 0x9002},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.code, row.run()) << row.what;
    if (std::string(row.what).find("as it stands") != std::string::npos) {
      EXPECT_EQ(f, id) << row.what;
    }
  }
  std::string body;
  PObject reply;
  ASSERT_EQ(0u, b_->Get("/f.txt", 0, reply, &body));
  EXPECT_EQ("two", body);

  // A size or MD4 that does not match the body: nothing stored.
  const std::string local = a_->scratch() + "/bad";
  WriteWhole(local, "five!");
  PObject req = a_->Upload("/f.txt", local, f);
  req["file"]["hash"] = Md4Text("other");
  EXPECT_EQ(0xB001u, a_->CallCode(kCmdUpload, req, reply));
  req = a_->Upload("/f.txt", local, f);
  req["file"]["size"] = 4u;
  EXPECT_EQ(0xB001u, a_->CallCode(kCmdUpload, req, reply));
  ASSERT_EQ(0u, b_->Get("/f.txt", 0, reply, &body));
  EXPECT_EQ("two", body);
  EXPECT_EQ(f, reply["sync_id"].asUInt64());

  // "refer" keeps the content and changes only the time; the removal of the
  // object makes a based upload 0x9001 and a fresh one revives it.
  req = a_->Upload("/f.txt", local, f);
  req["file"].asMap().erase("data");
  req["file"]["refer"] = true;
  req["file"]["hash"] = "";
  req["mtime"]["mtime"] = 1800000000u;
  ASSERT_EQ(0u, a_->CallCode(kCmdUpload, req, reply));
  const uint64_t touched = reply["sync_id"].asUInt64();
  EXPECT_GT(touched, f);
  ASSERT_EQ(0u, b_->Get("/f.txt", 0, reply, &body));
  EXPECT_EQ("two", body);
  EXPECT_EQ(1800000000u, reply["mtime"]["mtime"].asUInt64());
  ASSERT_EQ(0u, a_->CallCode(kCmdRemove, a_->Remove("/f.txt", touched, touched), reply));
  EXPECT_EQ(0x9001u, b_->Put("/f.txt", "edited", touched, &id));
  EXPECT_EQ(0u, b_->Put("/f.txt", "edited", 0, &id));
  ASSERT_EQ(0u, a_->Get("/f.txt", 0, reply, &body));
  EXPECT_EQ("edited", body);
}

TEST_F(ServerSyncTest, RemovalsRefuseWhatTheClientHasNotSeenAndListOnce) {
  uint64_t x = 0, y = 0, z = 0;
  ASSERT_EQ(0u, a_->Put("/d/x", "x", 0, &x));
  ASSERT_EQ(0u, a_->Put("/d/e/y", "y", 0, &y));
  PObject reply;
  const uint64_t d = 1;
  struct Row {
    const char* what;
    std::string path;
    uint64_t base, max;
    uint64_t code;
  };
  const Row rows[] = {
      {"missing", "/nothing", 1, 1, 0xA001},
      {"invalid path", "/d/../d", 1, 1, 0xA001},
      {"the view root", "/", 0, 100, 0xA002},
      {"own id above the base", "/d/x", x - 1, x - 1, 0xA002},
      {"a folder holding something unseen", "/d", d, x, 0xA002},
  };
  for (const Row& r : rows) EXPECT_EQ(r.code, a_->CallCode(kCmdRemove, a_->Remove(r.path, r.base, r.max), reply)) << r.what;

  // Removing y below first (a removed object cannot block its folder), then
  // the folder with everything seen: one new id for the whole subtree.
  ASSERT_EQ(0u, b_->CallCode(kCmdRemove, b_->Remove("/d/e/y", y, y), reply));
  ASSERT_EQ(0u, a_->CallCode(kCmdRemove, a_->Remove("/d", d, y), reply));
  const uint64_t removed = reply["sync_id"].asUInt64();
  EXPECT_EQ(0xA001u, a_->CallCode(kCmdRemove, a_->Remove("/d", d, y), reply));
  EXPECT_EQ(0x8001u, a_->Get("/d/x", x, reply));

  // A client that knew everything before the removals: the folder's removal
  // once, its subtree not repeated; y's earlier removal is covered too.
  std::vector<PObject> events = b_->PullAll(y);
  std::map<std::string, PObject> by = ByPath(events);
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(1u, by["/d"]["is_removed"].asUInt64());
  EXPECT_EQ(removed, by["/d"]["sync_id"].asUInt64());
  EXPECT_EQ(removed, by["/d"]["max_id"].asUInt64());
  // A new client sees nothing of it.
  EXPECT_EQ(0u, b_->PullAll(0).size());
  (void)z;
}

// Two clients on one tree.
TEST_F(ServerSyncTest, InterleavedClientsConverge) {
  // A folder removed by one while the other adds a file in it: the removal
  // that comes second is refused, the file survives.
  uint64_t d = 0, f = 0;
  ASSERT_EQ(0u, a_->PutDir("/shared", 0, &d));
  ASSERT_EQ(0u, b_->Put("/shared/new.txt", "b's", 0, &f));
  PObject reply;
  EXPECT_EQ(0xA002u, a_->CallCode(kCmdRemove, a_->Remove("/shared", d, d), reply));
  std::string body;
  ASSERT_EQ(0u, a_->Get("/shared/new.txt", 0, reply, &body));
  EXPECT_EQ("b's", body);

  // The other order: the removal first, then an upload into the folder with
  // base 0 revives it; a client that pulls afterwards still gets the
  // removals below it, and the folder and the new file live.
  uint64_t g = 0;
  ASSERT_EQ(0u, a_->Put("/gone/old1", "1", 0, &g));
  ASSERT_EQ(0u, a_->Put("/gone/old2", "2", 0, &g));
  uint64_t seen = 0;
  a_->PullAll(0, "/", &seen);
  ASSERT_EQ(0u, a_->CallCode(kCmdRemove, a_->Remove("/gone", seen, seen), reply));
  ASSERT_EQ(0u, b_->Put("/gone/fresh", "new", 0, &g));
  std::map<std::string, PObject> by = ByPath(b_->PullAll(seen));
  ASSERT_EQ(4u, by.size());
  EXPECT_EQ(1u, by["/gone/old1"]["is_removed"].asUInt64());
  EXPECT_EQ(1u, by["/gone/old2"]["is_removed"].asUInt64());
  EXPECT_EQ(0u, by["/gone"]["is_removed"].asUInt64());
  EXPECT_EQ(0u, by["/gone/fresh"]["is_removed"].asUInt64());
  EXPECT_LT(by["/gone/old1"]["sync_id"].asUInt64(), by["/gone"]["sync_id"].asUInt64());
  EXPECT_LT(by["/gone"]["sync_id"].asUInt64(), by["/gone/fresh"]["sync_id"].asUInt64());
}

TEST_F(ServerSyncTest, PagesHoldAtMostAThousandEventsAndNeverSplitARemoval) {
  // 1,200 files in folders of 100 (/p0 to /p11); then /p11 is removed.
  const int kFiles = 1200;
  for (int i = 0; i < kFiles; ++i) {
    ASSERT_EQ(0u, a_->Put("/p" + std::to_string(i / 100) + "/f" + std::to_string(i), "c", 0)) << i;
  }
  uint64_t since = 0;
  size_t total = 0;
  std::vector<size_t> sizes;
  std::vector<uint64_t> kept_files;  // ids of the files outside /p11
  PObject reply;
  for (;;) {
    ASSERT_EQ(0u, b_->CallCode(kCmdPull, b_->Pull(since), reply));
    const PObject::array_type& list = reply["event_list"].asArray();
    if (list.empty()) break;
    EXPECT_LE(list.size(), 1000u);
    sizes.push_back(list.size());
    uint64_t last = 0;
    for (const PObject& e : list) {
      EXPECT_GT(e["sync_id"].asUInt64(), last);
      last = e["sync_id"].asUInt64();
      std::string path(e["path"].asString().c_str_utf8());
      if (e["is_dir"].asUInt64() == 0 && path.rfind("/p11/", 0) != 0) kept_files.push_back(last);
    }
    total += list.size();
    since = reply["next_sync_id"].asUInt64();
    if (sizes.size() < 2) {
      EXPECT_EQ(last, since);
    }
  }
  EXPECT_EQ(static_cast<size_t>(kFiles + 12), total);
  ASSERT_EQ(2u, sizes.size());
  EXPECT_EQ(1000u, sizes[0]);

  // The removal of /p11 gives its folder and 100 files one id. A size
  // condition selects files only, so the 100 removals are listed without
  // their folder; behind 950 other files they would overflow the page, so
  // the page stops before them and the next one holds all 100.
  const uint64_t max = since;
  ASSERT_EQ(0u, a_->CallCode(kCmdRemove, a_->Remove("/p11", max, max), reply));
  const uint64_t removal = max + 1;
  ASSERT_GT(kept_files.size(), 951u);
  PObject req = b_->Pull(kept_files[kept_files.size() - 951]);
  req["condition"]["min_size"] = 0;
  req["condition"]["max_size"] = 10;
  ASSERT_EQ(0u, b_->CallCode(kCmdPull, req, reply));
  EXPECT_EQ(950u, reply["event_list"].size());
  EXPECT_EQ(kept_files.back(), reply["next_sync_id"].asUInt64());
  req["sync_id"] = kept_files.back();
  ASSERT_EQ(0u, b_->CallCode(kCmdPull, req, reply));
  ASSERT_EQ(100u, reply["event_list"].size());
  for (const PObject& e : reply["event_list"].asArray()) {
    EXPECT_EQ(1u, e["is_removed"].asUInt64());
    EXPECT_EQ(removal, e["sync_id"].asUInt64());
  }
  EXPECT_EQ(removal, reply["next_sync_id"].asUInt64());
  // Without the condition the same range lists the folder's removal once.
  req = b_->Pull(kept_files.back());
  ASSERT_EQ(0u, b_->CallCode(kCmdPull, req, reply));
  ASSERT_EQ(1u, reply["event_list"].size());
  EXPECT_EQ("/p11", std::string(reply["event_list"].asArray()[0]["path"].asString().c_str_utf8()));
  // Extension and size conditions select files only.
  req = b_->Pull(0);
  req["condition"]["extension"] = "F1";  // no file has an extension
  ASSERT_EQ(0u, b_->CallCode(kCmdPull, req, reply));
  EXPECT_EQ(0u, reply["event_list"].size());
  req = b_->Pull(0);
  req["condition"]["name"] = "F7";
  ASSERT_EQ(0u, b_->CallCode(kCmdPull, req, reply));
  ASSERT_EQ(1u, reply["event_list"].size());
  EXPECT_EQ("/p0/f7", std::string(reply["event_list"].asArray()[0]["path"].asString().c_str_utf8()));
}

// Ids become visible in order: while two connections upload, every complete
// pull from 0 sees ids 1..next without a gap.
TEST_F(ServerSyncTest, IdsBecomeVisibleInOrderUnderConcurrentUploads) {
  std::atomic<bool> done{false};
  auto writer = [&](TestClient* c, const std::string& prefix) {
    for (int i = 0; i < 150; ++i) EXPECT_EQ(0u, c->Put("/" + prefix + std::to_string(i), "x", 0));
  };
  std::thread t1(writer, a_.get(), "a");
  std::thread t2(writer, b_.get(), "b");
  TestClient reader(server_.port(), AccountOf(server_));
  ASSERT_EQ(0, reader.Connect());
  int checks = 0;
  while (!done.load()) {
    uint64_t next = 0;
    std::vector<PObject> events = reader.PullAll(0, "/", &next);
    std::set<uint64_t> ids;
    for (const PObject& e : events) ids.insert(e["sync_id"].asUInt64());
    ASSERT_EQ(events.size(), ids.size());
    if (!ids.empty()) {
      EXPECT_EQ(1u, *ids.begin());
      EXPECT_EQ(ids.size(), *ids.rbegin()) << "a gap below id " << *ids.rbegin();
    }
    ++checks;
    if (events.size() == 300) done.store(true);
  }
  t1.join();
  t2.join();
  EXPECT_GT(checks, 0);
}

}  // namespace
}  // namespace tidewell::testing
