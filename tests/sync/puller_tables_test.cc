// The pullers' error tables, driven directly (no thread, no server): the
// mapping of server codes, the action chosen for every daemon code -- the
// loop must go on for the codes a pause produces -- and what is reported.

#include <gtest/gtest.h>

#include "base/error_code.h"
#include "common/engine_harness.h"
#include "db/progress_cache.h"
#include "session/session_state.h"
#include "sync/progress_syncer.h"
#include "sync/syncer.h"

namespace tidewell {
namespace {

using testing::EngineClient;
using testing::ServerProcess;

TEST(PullerTablesTest, SyncerMapsServerCodesActsAndReports) {
  ServerProcess server;  // never started: nothing here talks to it
  EngineClient client(server);
  Syncer syncer(client.env());  // driven from here, its thread never runs
  ASSERT_EQ(0, syncer.UpdateContext());
  struct Row {
    uint64_t code;  // server code, or 0 to test `daemon` alone
    int daemon;
    int action;
    const char* notice;  // "" none
  };
  const Row rows[] = {
      {0x4001, ERR_QUOTA, -1, ""},             // never expected from a pull: logged as unexpected
      {0x7123, ERR_OK, 0, ""},                 // class 7 is no failure of the pull
      {0xB001, ERR_INT, 1, ""},                // "try again"
      {0x3003, ERR_VIEW_PATH, 1, ""},
      {0x1001, ERR_AUTH, 1, "connection_error"},
      {0x5002, ERR_VERSION, 1, "connection_error"},
      {0x3001, ERR_VIEW, 1, "session_error"},
      {0x3002, ERR_PERMISS, 1, "session_error"},
      {0, ERR_CH_CONNECTION_ABORT, 1, ""},     // a pause broke the channel off: go on
      {0, ERR_LOCAL_DISKFULL, 1, ""},
      {0, ERR_LOCKED_FILE, 1, ""},
      {0, ERR_PROTO, -1, ""},
      {0, 1, -1, ""},                          // outside the table
      {0, ERR_MAX, -1, ""},
  };
  for (const Row& r : rows) {
    if (r.code != 0) {
      EXPECT_EQ(r.daemon, syncer.ProtoResp2ErrorCode(r.code)) << std::hex << r.code;
    }
    const int before = client.notices().Count(r.notice);
    EXPECT_EQ(r.action, syncer.HandleError(r.daemon)) << r.daemon;
    if (*r.notice != '\0') {
      EXPECT_EQ(before + 1, client.notices().Count(r.notice)) << r.daemon;
    }
  }
  EXPECT_EQ(4, static_cast<int>(client.notices().Snapshot().size()));
  SessionStateTable::Status status;
  ASSERT_EQ(1, client.env().session_state.Get(1, status));
  EXPECT_EQ(SessionStateTable::kError, status.state);
}

TEST(PullerTablesTest, ResumePullerKeepsTheLoopGoingAndReportsNothing) {
  ServerProcess server;  // never started
  ProgressCache cache;
  EngineClient client(server);
  ProgressSyncer resume(client.env(), cache);  // driven from here
  struct Row {
    int err;
    int action;
  };
  const Row rows[] = {{ERR_OK, 0},       {ERR_INT, 2},           {ERR_IO, 1},
                      {ERR_PROTO, -1},   {ERR_AUTH, 2},          {ERR_VIEW_PATH, 2},
                      {ERR_QUOTA, -1},   {ERR_CH_CONNECTION_ABORT, 1},
                      {ERR_LOCAL_DISKFULL, 1}, {ERR_LOCKED_FILE, 1}, {1, -1}, {ERR_MAX, -1}};
  for (const Row& r : rows) EXPECT_EQ(r.action, resume.HandleError(r.err)) << r.err;
  EXPECT_TRUE(client.notices().Snapshot().empty()) << "the resume puller reports nothing";
  EXPECT_EQ(ERR_INT, resume.ProtoResp2ErrorCode(0xB001));
  EXPECT_EQ(ERR_OK, resume.ProtoResp2ErrorCode(0x8001));
}

}  // namespace
}  // namespace tidewell
