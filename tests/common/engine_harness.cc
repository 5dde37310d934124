#include "common/engine_harness.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/server_client.h"
#include "events/event_generator.h"
#include "filter/white_list_cpp.h"
#include "sync/detector.h"

namespace tidewell::testing {

namespace fs = std::filesystem;

void RecordingNotices::SessionError(uint64_t sess_id, int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  notices_.push_back({"session_error", sess_id, "", error});
}

void RecordingNotices::ConnectionError(uint64_t, int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  notices_.push_back({"connection_error", 0, "", error});
}

void RecordingNotices::FileLocked(const Event& e, int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  notices_.push_back({"locked", e.m_sess_id, std::string(e.m_path.utf8_view()), error});
}

void RecordingNotices::FileEvent(const Event& e) {
  std::lock_guard<std::mutex> lock(mutex_);
  notices_.push_back({"file", e.m_sess_id, std::string(e.m_path.utf8_view()), static_cast<int>(e.m_type)});
}

std::vector<RecordingNotices::Notice> RecordingNotices::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return notices_;
}

int RecordingNotices::Count(const std::string& kind, const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count_if(notices_.begin(), notices_.end(), [&](const Notice& n) {
    return n.kind == kind && (path.empty() || n.path == path);
  }));
}

EngineClient::EngineClient(ServerProcess& server, const Options& options) : server_(server), options_(options) {
  root_ = dir_.Join("local");
  config_ = dir_.Join("config");
  fs::create_directories(root_);
  fs::create_directories(config_ + "/db/sign");
  fs::create_directories(config_ + "/conf");
  EXPECT_EQ(0, Detector::CreateWorkingDirectory(ustring(root_)));
  dir_.WriteFile("config/conf/blacklist.filter", "[Version]\nmajor = 1\nminor = 0\n");
  dir_.WriteFile("config/conf/whitelist.filter", "[Version]\nmajor = 1\nminor = 0\n[File]\nwhite_ext = \"*\"\n");

  db_ = std::make_shared<FileEventDB>();
  EXPECT_EQ(0, db_->initialize(ustring(config_ + "/db/event-db.sqlite")));
  EXPECT_EQ(0, filter_db_.initialize(ustring(dir_.Join("filter.sqlite"))));
  auto black = std::make_shared<BlackList2>();
  EXPECT_EQ(0, black->Load(ustring(config_ + "/conf/blacklist.filter")));
  auto white = std::make_shared<WhiteListCpp>();
  EXPECT_EQ(0, white->Load(ustring(config_ + "/conf/whitelist.filter")));

  Registry::Entry e;
  e.sess_id = options.sess_id;
  e.view_id = server.view_id();
  e.recursive = options.recursive;
  e.local_path = root_;
  e.remote_path = options.remote_path;
  e.config_path = config_;
  e.black_list = black;
  e.white_list = white;
  e.event_db = db_;
  registry_.Set(e);

  env_ = std::make_unique<SyncEnv>(registry_, events_, filter_db_, system_filter_, session_state_, notices_);
  env_->timing.retry_ms = 200;
  env_->timing.redo_ms = 100;
  env_->timing.idle_ms = 20;
  env_->timing.paused_ms = 50;

  ConnectionInfo info;
  info.server_ip = "127.0.0.1";
  info.server_port = options.port != 0 ? options.port : server.port();
  info.session = server.session();
  info.use_ssl = options.use_ssl;
  info.computer_name = options.client_name;
  info.conn_id = options.sess_id;
  pool_ = std::make_unique<ConnectionPool>(info, ProxyInfo(), TunnelInfo(), options.connections);
  env_->pool.store(pool_.get());
}

EngineClient::~EngineClient() {
  StopWorkers();
  workers_.clear();
  env_->pool.store(nullptr);
  pool_.reset();
  events_.Clear();
  registry_.Clear();
  db_->destroy();
  filter_db_.destroy();
}

void EngineClient::Write(const std::string& rel, const std::string& content) {
  fs::path p = Path(rel);
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << "cannot write " << p;
}

std::string EngineClient::Read(const std::string& rel) const {
  std::ifstream in(Path(rel), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool EngineClient::Exists(const std::string& rel) const {
  struct stat st;
  return lstat(Path(rel).c_str(), &st) == 0;
}

std::vector<std::string> EngineClient::List(const std::string& rel) const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(Path(rel), ec)) {
    std::string name = entry.path().filename().string();
    if (name != kWorkingFolderName) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

Registry::Entry EngineClient::entry() {
  Registry::Entry e;
  registry_.Find(options_.sess_id, e);
  return e;
}

int EngineClient::Record(const std::string& rel, ClientFileEventInfo& info) {
  return db_->getEventInfo(ustring(rel), info);
}

void EngineClient::StartWorkers(size_t n) {
  while (workers_.size() < n) AddWorker<Worker>();
  for (auto& w : workers_) {
    if (w->GetId() < 0) {
      EXPECT_EQ(0, w->Run());
    }
  }
}

void EngineClient::StopWorkers() {
  for (auto& w : workers_) w->StopAndJoin();
}

uint64_t EngineClient::stored_sync_id() {
  uint64_t id = 0;
  EXPECT_EQ(0, db_->getSyncId(id));
  return id;
}

int EngineClient::PullOnce() {
  ServerClient puller(server_, options_.use_ssl);
  PObject reply = puller.Pull(stored_sync_id(), options_.remote_path);
  if (reply.hasMember("error") || reply.hasMember("transport_error")) {
    ADD_FAILURE() << "pull failed: " << reply.toString().c_str_utf8();
    return -1;
  }
  Registry::Entry e = entry();
  const auto& list = reply["event_list"].asArray();
  for (const PObject& obj : list) PushEvent(e, obj, events_);
  pending_next_sync_id_ = reply["next_sync_id"].asUInt64();
  return static_cast<int>(list.size());
}

bool EngineClient::SyncFromServer(Deadline deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    int n = PullOnce();
    if (n < 0) return false;
    auto left = std::chrono::duration_cast<Deadline>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !AwaitIdle(left)) return false;
    if (pending_next_sync_id_ != stored_sync_id()) {
      EXPECT_EQ(0, db_->setSyncId(pending_next_sync_id_));
    }
    if (n == 0) return true;
  }
}

bool EngineClient::Await(const std::function<bool()>& cond, const std::string& what, Deadline deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= until) {
      ADD_FAILURE() << "not within " << deadline.count() << " ms: " << what;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // polling a condition, with a deadline
  }
}

bool EngineClient::AwaitIdle(Deadline deadline) {
  return Await(
      [this] {
        if (events_.GetAllPendingEventCount(options_.sess_id) != 0) return false;
        // A rescan or expansion in progress is held by its worker but shows
        // in no worker's current-event info.
        if (events_.GetHeldEventCount(options_.sess_id) != 0) return false;
        for (auto& w : workers_) {
          Worker::ProcessEvent_T info;
          w->GetCurrentProcessEventInfo(info);
          if (info.session_id != 0) return false;
        }
        return true;
      },
      "the session's events are all done", deadline);
}

}  // namespace tidewell::testing
