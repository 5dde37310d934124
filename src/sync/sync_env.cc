#include "sync/sync_env.h"

#include "db/filter_db.h"
#include "events/event_manager.h"
#include "events/event_notice.h"
#include "filter/black_list.h"
#include "session/registry.h"
#include "session/session_state.h"
#include "session/ui_ipc.h"

namespace tidewell {

namespace {

class UiIpcNotices : public EngineNotices {
 public:
  void SessionError(uint64_t sess_id, int error) override { UI_IPC::ReportSessionErrorToUI(sess_id, error); }
  void ConnectionError(uint64_t conn_id, int error) override {
    UI_IPC::ReportConnectionErrorToUI(static_cast<int>(conn_id), error);
  }
  void FileLocked(const Event& e, int error) override { UI_IPC::ReportFileLockedEventToUI(NoticeItem(e), error); }
  void FileEvent(const Event& e) override { UI_IPC::ReportFileEventToUI(NoticeItem(e)); }
};

}  // namespace

EngineNotices& UiNotices() {
  static UiIpcNotices notices;
  return notices;
}

SyncEnv& SyncEnv::Process() {
  static SyncEnv env(Registry::getInstance(), EventManager::getInstance(), FilterDB::getInstance(),
                     BlackList2::getInstance(), SessionStateTable::getInstance(), UiNotices());
  return env;
}

}  // namespace tidewell
