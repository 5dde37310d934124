// The worker's loop without a server: which events it refuses or gives
// back before any road runs, its error table, and the pause handshake with
// the controller.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/error_code.h"
#include "common/engine_harness.h"
#include "sync/worker.h"

namespace tidewell {
namespace {

using testing::EngineClient;
using testing::ServerProcess;

// Exposes the steps the tests drive directly.
class ProbeWorker : public Worker {
 public:
  using Worker::Worker;
  using Worker::context;
  using Worker::HandleError;
  using Worker::patch_err_count;
};

Event ServerEvent(uint64_t sess, const std::string& path, bool dir = false) {
  Event e;
  e.m_type = Event::EV_CREATE;
  e.m_mode = Event::F_SERVER | (dir ? Event::F_DIR : 0);
  e.m_sess_id = sess;
  e.m_path = ustring(path);
  e.m_sync_id = 7;
  e.m_max_id = 7;
  return e;
}

class WorkerCoreTest : public ::testing::Test {
 protected:
  ServerProcess server;  // never started: these tests reach no road
};

TEST_F(WorkerCoreTest, UnsafeEventPathsAreFinishedWithoutTouchingAnything) {
  EngineClient client(server);
  ProbeWorker& w = client.AddWorker<ProbeWorker>();
  for (const char* path : {"/.VeltronaWorkingDirectory/planted", "/.VeltronaWorkingDirectory", "/a//b", "/a/./b"}) {
    client.events().PushServerEvent(ServerEvent(client.sess_id(), path));
    EXPECT_EQ(Worker::kPassSkipped, w.RunOnePass()) << path;
    EXPECT_EQ(0, client.events().GetAllPendingEventCount(client.sess_id())) << path;
  }
  EXPECT_EQ(std::vector<std::string>{}, client.List("/"));
  EXPECT_EQ(std::vector<std::string>{"#VeltRecycle"}, client.List("/.VeltronaWorkingDirectory"));
}

TEST_F(WorkerCoreTest, PausedSessionsGiveEventsBackAndNonRecursiveOnesSkipDepth) {
  EngineClient client(server, {.sess_id = 3, .recursive = false});
  ProbeWorker& w = client.AddWorker<ProbeWorker>();
  // A folder other than the root and a file below the top level are not
  // part of a non-recursive session.
  client.events().PushServerEvent(ServerEvent(3, "/sub", true));
  EXPECT_EQ(Worker::kPassSkipped, w.RunOnePass());
  client.events().PushServerEvent(ServerEvent(3, "/sub/deep.txt"));
  EXPECT_EQ(Worker::kPassSkipped, w.RunOnePass());
  EXPECT_EQ(0, client.events().GetAllPendingEventCount(3));

  Registry::Entry e = client.entry();
  e.pause = true;
  client.registry().Set(e);
  client.events().PushServerEvent(ServerEvent(3, "/top.txt"));
  EXPECT_EQ(Worker::kPassRedo, w.RunOnePass());
  EXPECT_EQ(1, client.events().GetAllPendingEventCount(3));  // still queued
  EXPECT_EQ(Event::EV_EMPTY, w.context.current_event.m_type);
}

TEST_F(WorkerCoreTest, ErrorTableActionsAndReports) {
  EngineClient client(server);
  ProbeWorker& w = client.AddWorker<ProbeWorker>();
  w.context.current_event = ServerEvent(client.sess_id(), "/f.txt");
  struct Case {
    int code;
    int action;
    const char* report;  // notice kind, or "" for none
  };
  const Case cases[] = {
      {ERR_OK, 0, ""},
      {ERR_INT, 2, ""},                       // try again later
      {ERR_IO, 1, ""},
      {ERR_PROTO, -1, ""},                    // unexpected: logged, kept
      {ERR_AUTH, 2, "connection_error"},
      {ERR_QUOTA, 2, "session_error"},
      {ERR_CH_CONNECTION_ABORT, 1, ""},
      {ERR_LOCAL_DISKFULL, 2, "session_error"},
      {ERR_LOCKED_FILE, 2, "locked"},
      {1, -1, ""},                            // not a daemon code
      {ERR_MAX, -1, ""},
  };
  for (const Case& c : cases) {
    int before = c.report[0] ? client.notices().Count(c.report) : 0;
    EXPECT_EQ(c.action, w.HandleError(c.code)) << c.code;
    if (c.report[0]) {
      EXPECT_EQ(before + 1, client.notices().Count(c.report)) << c.code;
    }
  }
  SessionStateTable::Status st;
  ASSERT_EQ(1, client.env().session_state.Get(client.sess_id(), st));
  EXPECT_EQ(SessionStateTable::kError, st.state);
  EXPECT_EQ(0, w.HandleError(ERR_OK));  // a success ends the error state
  client.env().session_state.Get(client.sess_id(), st);
  EXPECT_EQ(SessionStateTable::kOk, st.state);

  // ERR_SYS: kept three times, redone the fourth; anything between resets.
  EXPECT_EQ(1, w.HandleError(ERR_SYS));
  EXPECT_EQ(1, w.HandleError(ERR_SYS));
  EXPECT_EQ(1, w.HandleError(ERR_IO));
  EXPECT_EQ(1, w.HandleError(ERR_SYS));
  EXPECT_EQ(1, w.HandleError(ERR_SYS));
  EXPECT_EQ(1, w.HandleError(ERR_SYS));
  EXPECT_EQ(2, w.HandleError(ERR_SYS));
  // Three failed patches drop the event.
  w.patch_err_count = 3;
  EXPECT_EQ(0, w.HandleError(ERR_SYS));
}

TEST_F(WorkerCoreTest, PauseHandshakeReleasesTheController) {
  EngineClient client(server);
  client.StartWorkers(2);
  Worker::PauseType_T record;
  std::unique_lock<std::mutex> lock(record.pause_mutex);
  record.count = 2;
  for (size_t i = 0; i < 2; ++i) {
    client.worker(i).setPauseInstance(&record);
    client.worker(i).SetAbort(true);
  }
  // Each worker counts down at the top of its next pass; the last signals.
  EXPECT_TRUE(record.pause_cond.wait_for(lock, std::chrono::seconds(30), [&] { return record.count == 0; }));
  lock.unlock();
  for (size_t i = 0; i < 2; ++i) client.worker(i).SetAbort(false);

  uint64_t sess = 1, sent = 1, total = 1;
  ustring path("x");
  Worker::WorkingType type = Worker::W_TYPE_UPLOAD;
  client.worker(0).Pause();
  client.worker(0).GetWorkingStatus(sess, path, type, sent, total);
  EXPECT_EQ(0u, sess);
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(Worker::W_TYPE_NONE, type);
  EXPECT_EQ(0u, sent + total);
}

}  // namespace
}  // namespace tidewell
