// The worker's filter and selective-sync gates on a real session (folders,
// event database, filter database, rule files), with the event taken into
// the worker's context the way a pass takes it. No server is involved: the
// gates decide before any exchange.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/error_code.h"
#include "common/engine_harness.h"
#include "db/filter_types.h"
#include "filter/black_list.h"
#include "filter/filter.h"
#include "filter/white_list_cpp.h"
#include "sync/worker.h"

namespace tidewell {
namespace {

using testing::EngineClient;
using testing::ServerProcess;

class GateWorker : public Worker {
 public:
  using Worker::Worker;
  using Worker::AddFilteredEventToDB;
  using Worker::context;
  using Worker::DoneEvent;
  using Worker::notify_event_type;
  using Worker::TestCommonFilter;
  using Worker::TestDownloadRemoteFilter;
  using Worker::TestFilteredDeleteEvent;
  using Worker::TestRemoveLocalFilter;
  using Worker::TestRemoveRemoteFilter;
  using Worker::TestUploadLocalFilter;
  using Worker::TestWhiteList;

  // Takes the next queued event into the context, as a pass does.
  bool Take() { return GetEvent() == 0 && UpdateContext() == 0; }
};

class WorkerGatesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client = std::make_unique<EngineClient>(server);
    w = &client->AddWorker<GateWorker>();
    dir.WriteFile("session.filter",
                  "[Common]\n"
                  "black_path_prefix_selective_sync = \"/Excluded\"\n"
                  "[File]\n"
                  "black_ext_selective_sync = \"iso\"\n"
                  "black_name_selective_sync = \"secret.txt\"\n"
                  "max_size_selective_sync = 1000\n"
                  "black_name = \"Thumbs.db\"\n");
    dir.WriteFile("system.filter",
                  "[Common]\n"
                  "black_name = \"desktop.ini\"\n"
                  "[File]\n"
                  "max_size = 100000\n");
    ASSERT_EQ(0, client->entry().black_list->Load(ustring(dir.Join("session.filter"))));
    ASSERT_EQ(0, client->env().system_filter.Load(ustring(dir.Join("system.filter"))));
  }

  Event Make(const std::string& path, Event::Type type, bool server_side, uint64_t size = 10) {
    Event e;
    e.m_type = type;
    e.m_mode = server_side ? Event::F_SERVER : 0;
    e.m_sess_id = client->sess_id();
    e.m_path = ustring(path);
    e.m_sync_id = server_side ? 9 : 0;
    e.m_max_id = e.m_sync_id;
    e.m_data_size = size;
    return e;
  }

  // Queues `e`, takes it, runs `gate`, finishes the event; the gate's
  // answer.
  template <typename Gate>
  int Run(const Event& e, Gate gate) {
    if (e.IsServerEvent()) {
      client->events().PushServerEvent(e);
    } else {
      client->events().PushLocalEvent(e);
    }
    EXPECT_TRUE(w->Take()) << e.m_path.c_str_utf8();
    int rc = gate();
    last_notify = w->notify_event_type;
    w->notify_event_type = Worker::NOTIFY_NONE;
    w->DoneEvent();
    return rc;
  }

  // The filtered local event stored for `path`: its filtered_type, or 1
  // when there is none.
  int Recorded(const std::string& path, FilterLocalEvent* out = nullptr) {
    FilterLocalEvent ev;
    int rc = client->filter_db().getLocalFilteredEventByPath(client->sess_id(), ustring(path), ev);
    EXPECT_GE(rc, 0);
    if (out != nullptr) *out = ev;
    return rc == 1 ? ev.filtered_type : 1;
  }

  void Known(const std::string& path, uint64_t size) {
    ClientFileEventInfo info;
    info.path = ustring(path);
    info.syncID = 5;
    info.maxSyncID = 5;
    info.isExist = 1;
    info.fileType = 0;
    info.fileSize = size;
    ASSERT_EQ(0, client->db().setEventInfo(info));
  }

  ServerProcess server;  // never started
  testing::TempDir dir;
  std::unique_ptr<EngineClient> client;
  GateWorker* w = nullptr;
  Worker::NotifyEventType last_notify = Worker::NOTIFY_NONE;
};

TEST_F(WorkerGatesTest, ServerChangesPassOrAreFilteredWithoutARecord) {
  struct Row {
    const char* path;
    uint64_t size;
    int want;
    const char* why;
  };
  const Row rows[] = {
      {"/Excluded/a.txt", 10, 0, "selective-sync path rule"},
      {"/Excluded", 0, 0, "the excluded folder itself"},
      {"/a.iso", 10, 0, "selective-sync extension"},
      {"/desktop.ini", 10, 0, "system filter name"},
      {"/big.txt", 2000, 0, "selective-sync size"},
      {"/huge.txt", 200000, 0, "system filter size"},
      {"/Excludedness/ok.txt", 10, 1, "a prefix of a name is not the folder"},
      {"/ok.txt", 10, 1, "nothing blocks it"},
  };
  for (const Row& r : rows) {
    Event e = Make(r.path, Event::EV_MODIFY, true, r.size);
    if (std::string(r.path) == "/Excluded") e.m_mode |= Event::F_DIR;
    EXPECT_EQ(r.want, Run(e, [&] { return w->TestDownloadRemoteFilter(); })) << r.path << ": " << r.why;
    EXPECT_EQ(r.want == 0 ? Worker::NOTIFY_FILTERED : Worker::NOTIFY_NONE, last_notify) << r.path;
    EXPECT_EQ(1, Recorded(r.path)) << "server changes come back by the resume pull, not the filter database";
  }
  // A forced download without a record cannot be judged by size.
  Event forced = Make("/big2.txt", Event::EV_MODIFY, true, 2000);
  forced.m_sync_id = forced.m_max_id = Event::kForcedSyncId;
  EXPECT_EQ(1, Run(forced, [&] { return w->TestDownloadRemoteFilter(); }));

  // A file too large for a FAT volume is left out, without "filtered".
  client->entry().black_list->Clear();
  client->env().system_filter.Clear();
  Registry::Entry fat = client->entry();
  fat.isMSDOS = true;
  client->registry().Set(fat);
  EXPECT_EQ(0, Run(Make("/dvd.img", Event::EV_MODIFY, true, 5ull << 30), [&] { return w->TestDownloadRemoteFilter(); }));
  EXPECT_EQ(Worker::NOTIFY_NONE, last_notify);
  EXPECT_EQ(1, Run(Make("/small.img", Event::EV_MODIFY, true, 100), [&] { return w->TestDownloadRemoteFilter(); }));
}

TEST_F(WorkerGatesTest, LocalChangesKeptBackBySelectiveSyncAreRemembered) {
  client->Write("/Excluded/a.txt", "a");
  client->Write("/b.iso", "b");
  client->Write("/secret.txt", "s");
  client->Write("/Thumbs.db", "t");
  client->Write("/big.txt", std::string(2000, 'x'));
  client->Write("/ok.txt", "ok");
  std::filesystem::create_symlink("/etc/hostname", client->Path("/link"));
  struct Row {
    const char* path;
    int want;
    int recorded;  // filtered_type stored, 1 = nothing stored
  };
  const Row rows[] = {
      {"/Excluded/a.txt", 0, FILTER_PATH_PREFIX_SELECTIVE_SYNC},
      {"/b.iso", 0, FILTER_EXT_SELECTIVE_SYNC},
      {"/secret.txt", 0, FILTER_NAME_SELECTIVE_SYNC},
      {"/big.txt", 0, FILTER_FILE_SIZE_SELECTIVE_SYNC},
      {"/Thumbs.db", 0, 1},  // an ordinary exclusion: nothing to replay later
      {"/link", 0, 1},       // never uploaded, never remembered
      {"/gone.txt", 1, 1},   // vanished: the upload road sees that itself
      {"/ok.txt", 1, 1},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.want, Run(Make(r.path, Event::EV_MODIFY, false, 0), [&] { return w->TestUploadLocalFilter(); }))
        << r.path;
    EXPECT_EQ(r.recorded, Recorded(r.path)) << r.path;
  }
  FilterLocalEvent big;
  ASSERT_EQ(FILTER_FILE_SIZE_SELECTIVE_SYNC, Recorded("/big.txt", &big));
  EXPECT_EQ(2000u, big.file_size) << "the size found on disk";
  EXPECT_EQ(1, big.is_exist);
  EXPECT_EQ("big.txt", std::string(big.base_name.utf8_view()));

  // A file another program holds a write lock on is not read now.
  int fd = open(client->Path("/ok.txt").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(0, fcntl(fd, F_OFD_SETLK, &lock));
  EXPECT_EQ(ERR_LOCKED_FILE, Run(Make("/ok.txt", Event::EV_MODIFY, false), [&] { return w->TestUploadLocalFilter(); }));
  close(fd);
}

TEST_F(WorkerGatesTest, LocalRemovalsOfFilteredFilesStayLocal) {
  Known("/kept.txt", 10);
  Known("/bigrec.txt", 2000);
  Known("/plain.txt", 10);
  FilterLocalEvent kept;
  kept.sess_id = client->sess_id();
  kept.path = ustring("/kept.txt");
  kept.filtered_type = FILTER_NAME_SELECTIVE_SYNC;
  kept.is_exist = 1;
  ASSERT_EQ(0, client->filter_db().setLocalFilteredEvent(kept));

  // Below a path rule: the records and held-back changes of what is gone go,
  // and no removal is remembered that could reach the server later; what
  // is still there is left as it is.
  Known("/Excluded/x.txt", 10);
  Known("/Excluded/sub/y.txt", 10);
  client->Write("/Excluded/here.txt", "h");
  FilterLocalEvent held;
  held.sess_id = client->sess_id();
  held.path = ustring("/Excluded/sub/new.txt");
  held.filtered_type = FILTER_PATH_PREFIX_SELECTIVE_SYNC;
  held.is_exist = 1;
  ASSERT_EQ(0, client->filter_db().setLocalFilteredEvent(held));
  held.path = ustring("/Excluded/here.txt");
  ASSERT_EQ(0, client->filter_db().setLocalFilteredEvent(held));
  EXPECT_EQ(0, Run(Make("/Excluded/x.txt", Event::EV_REMOVE, false), [&] { return w->TestRemoveRemoteFilter(); }));
  EXPECT_EQ(0, Run(Make("/Excluded/sub", Event::EV_REMOVE, false), [&] { return w->TestRemoveRemoteFilter(); }));
  EXPECT_EQ(0, Run(Make("/Excluded/here.txt", Event::EV_REMOVE, false), [&] { return w->TestRemoveRemoteFilter(); }));
  EXPECT_EQ(Worker::NOTIFY_FILTERED, last_notify);
  ClientFileEventInfo record;
  EXPECT_EQ(0, client->Record("/Excluded/x.txt", record));
  EXPECT_EQ(0, client->Record("/Excluded/sub/y.txt", record));
  EXPECT_EQ(1, Recorded("/Excluded/x.txt"));
  EXPECT_EQ(1, Recorded("/Excluded/sub/new.txt"));
  EXPECT_EQ(FILTER_PATH_PREFIX_SELECTIVE_SYNC, Recorded("/Excluded/here.txt")) << "still there: still to upload";
  FilterLocalEvent got;

  // Only filtered here, never removed on the server: not sent, and the
  // stored event now says it is gone locally.
  EXPECT_EQ(0, Run(Make("/kept.txt", Event::EV_REMOVE, false), [&] { return w->TestRemoveRemoteFilter(); }));
  EXPECT_EQ(Worker::NOTIFY_FILTERED, last_notify);
  EXPECT_EQ(0, Recorded("/kept.txt", &got));
  EXPECT_EQ(0, got.is_exist);

  EXPECT_EQ(0, Run(Make("/bigrec.txt", Event::EV_REMOVE, false), [&] { return w->TestRemoveRemoteFilter(); }));
  EXPECT_EQ(FILTER_FILE_SIZE_SELECTIVE_SYNC, Recorded("/bigrec.txt"));
  EXPECT_EQ(1, Run(Make("/plain.txt", Event::EV_REMOVE, false), [&] { return w->TestRemoveRemoteFilter(); }));

  // Server removals: only the common filter.
  EXPECT_EQ(0, Run(Make("/a.iso", Event::EV_REMOVE, true), [&] { return w->TestRemoveLocalFilter(); }));
  EXPECT_EQ(Worker::NOTIFY_FILTERED, last_notify);
  EXPECT_EQ(1, Run(Make("/plain.txt", Event::EV_REMOVE, true), [&] { return w->TestRemoveLocalFilter(); }));
}

TEST_F(WorkerGatesTest, DatabaseOnlyItemsUnderAPathRuleAreForgottenNotRemoved) {
  Known("/Excluded/sub/a.txt", 10);
  Known("/other.txt", 10);
  client->events().PushLocalEvent(Make("/probe.txt", Event::EV_MODIFY, false));
  ASSERT_TRUE(w->Take());  // the session's context, as during a rescan
  EXPECT_EQ(1, w->TestFilteredDeleteEvent(client->sess_id(), ustring("/Excluded/sub"), true));
  ClientFileEventInfo record;
  EXPECT_EQ(0, client->Record("/Excluded/sub", record)) << "no record left to read as a deletion later";
  EXPECT_EQ(0, client->Record("/Excluded/sub/a.txt", record));
  EXPECT_EQ(1, Recorded("/Excluded/sub")) << "nor a removal remembered";
  EXPECT_EQ(0, w->TestFilteredDeleteEvent(client->sess_id(), ustring("/other.txt"), false));
  EXPECT_EQ(1, client->Record("/other.txt", record));
  EXPECT_EQ(0, w->TestFilteredDeleteEvent(client->sess_id(), ustring("/a.iso"), false)) << "only the path rule counts";
  EXPECT_EQ(1, Recorded("/a.iso"));
}

TEST_F(WorkerGatesTest, WhiteListAdmitsListedExtensionsOnly) {
  dir.WriteFile("white.filter", "[File]\nwhite_ext = \"txt\"\n");
  ASSERT_EQ(0, client->entry().white_list->Load(ustring(dir.Join("white.filter"))));
  client->entry().black_list->Clear();
  EXPECT_EQ(-1, Run(Make("/a.bin", Event::EV_MODIFY, true), [&] { return w->TestWhiteList(); }));
  EXPECT_EQ(FILTER_EXT_SELECTIVE_SYNC, Run(Make("/a.bin", Event::EV_MODIFY, true), [&] { return w->TestCommonFilter(); }));
  EXPECT_EQ(0, Run(Make("/d/a.TXT", Event::EV_MODIFY, true), [&] { return w->TestCommonFilter(); }));
}

}  // namespace
}  // namespace tidewell
