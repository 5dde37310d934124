#include "session/ui_ipc.h"

#include <gtest/gtest.h>

#include <future>
#include <string>

#include "base/settings.h"
#include "common/loopback.h"
#include "common/temp_dir.h"
#include "net/pobject.h"

namespace tidewell {
namespace {

// A user interface on a loopback port that takes one notice per
// connection. The daemon's settings are pointed at it.
class FakeUi {
 public:
  // Accepts one connection and decodes one value from it.
  PObject Take() {
    int conn = listener_.Accept();
    EXPECT_GE(conn, 0);
    UI_IPC ipc;
    EXPECT_EQ(ipc.Open(conn), 0);
    PObject got;
    EXPECT_EQ(ipc.Recv(got), 0);
    ipc.Destroy();
    return got;
  }

  int port() const { return listener_.port(); }

 private:
  testing::LoopbackListener listener_{8};
};

class UiIpcTest : public ::testing::Test {
 protected:
  void PointSettingsAt(int port) {
    dir.WriteFile("daemon.conf", "ui_port = " + std::to_string(port) + "\n");
    ASSERT_EQ(Settings::getInstance().loadConfigSettings(dir.Join("daemon.conf")), 0);
  }
  // Sends with `send` while the fake user interface takes the notice.
  template <typename F>
  PObject Exchange(FakeUi& ui, F send) {
    auto taken = std::async(std::launch::async, [&] { return ui.Take(); });
    EXPECT_EQ(send(), 0);
    return taken.get();
  }

  testing::TempDir dir;
};

UI_IPC::FileItem Item(const char* path, bool dir, int type) {
  UI_IPC::FileItem item;
  item.path = path;
  item.sess_id = 0x1234567890ULL;
  item.is_dir = dir;
  item.event_type = type;
  return item;
}

// Event type codes as the user interface reads them.
constexpr int kCreated = 1;
constexpr int kRemoved = 2;
constexpr int kModified = 3;

TEST_F(UiIpcTest, FileNoticesCarrySessionPathKindAndType) {
  FakeUi ui;
  PointSettingsAt(ui.port());
  PObject got = Exchange(ui, [] {
    return UI_IPC::ReportFileSyncingEventToUI(Item("/d", true, kRemoved));
  });
  EXPECT_EQ(got["notify"].asString(), ustring("syncing_file"));
  EXPECT_EQ(got["session_id"].asUInt64(), 0x1234567890ULL);
  EXPECT_EQ(got["path"].asString(), ustring("/d"));
  EXPECT_TRUE(got["is_dir"].isInteger());
  EXPECT_EQ(got["is_dir"].asInteger(), 1u);
  EXPECT_EQ(got["event_type"].asInt32(), 2);

  got = Exchange(ui, [] { return UI_IPC::ReportFileEventToUI(Item("/f.txt", false, kModified)); });
  EXPECT_EQ(got["notify"].asString(), ustring("recent_file"));
  EXPECT_EQ(got["is_dir"].asInteger(), 0u);
  EXPECT_EQ(got["event_type"].asInt32(), 3);
}

TEST_F(UiIpcTest, LockedFileAndErrorNotices) {
  FakeUi ui;
  PointSettingsAt(ui.port());
  PObject got = Exchange(ui, [] {
    return UI_IPC::ReportFileLockedEventToUI(Item("/busy.doc", false, kModified), -23);
  });
  EXPECT_EQ(got["notify"].asString(), ustring("locked_file"));
  EXPECT_EQ(got["error"]["reason"].asString(), ustring("file locked"));
  EXPECT_EQ(got["error"]["code"].asInt32(), -23);
  EXPECT_FALSE(got.hasMember("event_type"));

  got = Exchange(ui, [] { return UI_IPC::ReportSessionErrorToUI(77, -17); });
  EXPECT_EQ(got["notify"].asString(), ustring("error"));
  EXPECT_EQ(got["session_id"].asUInt64(), 77u);
  EXPECT_EQ(got["error_type"].asInt32(), -17);

  got = Exchange(ui, [] { return UI_IPC::ReportConnectionErrorToUI(3, -9); });
  EXPECT_EQ(got["connection_id"].asInt32(), 3);
  EXPECT_EQ(got["error_type"].asInt32(), -9);
  EXPECT_FALSE(got.hasMember("session_id"));

  got = Exchange(ui, [] { return UI_IPC::LastBreath(); });
  EXPECT_EQ(got["action"].asString(), ustring("connection_terminate"));
}

TEST_F(UiIpcTest, NoUserInterfaceListeningFails) {
  int port;
  {
    FakeUi gone;
    port = gone.port();
  }  // closed: nothing listens there now
  PointSettingsAt(port);
  EXPECT_EQ(UI_IPC::ReportFileSyncingEventToUI(Item("/x", false, kCreated)), -1);
  EXPECT_EQ(UI_IPC::ReportSessionErrorToUI(1, -2), -1);
}

}  // namespace
}  // namespace tidewell
