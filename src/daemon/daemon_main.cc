// tidewell-daemon: the sync daemon, started by a user interface as
//
//   tidewell-daemon [config-path [ui-port]]
//
// It reads its settings, opens its log, starts the controller's main thread,
// listens on the first free loopback port above ui-port, announces that
// port to the user interface with {"daemon_port": port}, and serves control
// requests there until "stop" (docs/control-protocol.md). SIGTERM and
// SIGINT stop it the same orderly way.

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/log.h"
#include "base/settings.h"
#include "base/ustring.h"
#include "daemon/control_loop.h"
#include "daemon/daemon_log.h"
#include "daemon/ipc_listener.h"
#include "daemon/ipc_sender.h"
#include "daemon/tidewell.h"
#include "net/pobject.h"
#include "net/ssl_setup.h"
#include "session/notice_queue.h"
#include "session/ui_ipc.h"

namespace tidewell {
namespace {

constexpr int kDefaultUiPort = 1024;
constexpr int kLogRotation = 50;

volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void OnStopSignal(int) { g_stop_signal = 1; }

void usage() {
  static const char* const kLines[] = {
      "* Controling application: ",
      "    Control <action>",
      "",
      "* Controling session: ",
      "    ControlSession <action> <session_id> ",
      "",
      "* Supported actions: ",
      "    stop",
      "    link",
      "    unlink",
      "    pause",
      "    resume",
      "    reload_setting",
      "    reload_session",
      "    add_session",
      "    remove_session",
      "",
  };
  for (const char* line : kLines) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
}

// Serves control requests until "stop" arrives or a stop signal does; in
// the latter case the loop sends "stop" to the controller itself.
void ServeUntilStopped(ControlLoop& loop, Tidewell& controller) {
  while (g_stop_signal == 0) {
    if (loop.ServeOne()) return;
  }
  MAIN_LOG_INFO("stop signal received, stopping\n");
  PObject stop;
  stop["action"] = "stop";
  controller.send_message(stop);
}

int Main(int argc, char** argv) {
  if (argc >= 4) return -1;
  std::setlocale(LC_ALL, "");
  // Writes to a vanished peer fail with EPIPE instead of ending the process.
  std::signal(SIGPIPE, SIG_IGN);
  if (InitSslLibrary() != 0) return -1;

  Settings& settings = Settings::getInstance();
  if (argc >= 2) {
    ustring config_path;
    if (CodePageToNativeStr(argv[1], config_path) != 0 || config_path.empty()) return -1;
    // A missing or broken file leaves every default in place.
    (void)settings.loadConfigSettings(config_path);
  }
  int ui_port = argc >= 3 ? std::atoi(argv[2]) : kDefaultUiPort;

  ustring log_path = settings.getLogFilePath();
  ustring level_path = settings.getLogLevelFilePath();
  if (Logger::Initialize(Logger::FILE_LOGGER, log_path, level_path, kLogRotation) < 0) {
    std::fprintf(stderr, "Tidewell: client is not enabled %s %s\n", log_path.c_str_utf8(), level_path.c_str_utf8());
    return -1;
  }
  usage();

  // Notices to the user interface leave from a thread of their own.
  NoticeQueue notices(&UI_IPC::Deliver);
  if (notices.Start() == 0) UI_IPC::SetNoticeQueue(&notices);

  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  auto controller = std::make_unique<Tidewell>();
  controller->run();
  {
    auto listener = std::make_unique<IPCListener>();
    int port = listener->prepare(ui_port + 1);
    if (port < 0) {
      MAIN_LOG_ERR("failed to listen on port local_port.\n");
    } else {
      auto sender = std::make_unique<IPCSender>();
      PObject notice;
      notice["daemon_port"] = port;
      if (sender->connect(ui_port) != 0) {
        MAIN_LOG_ERR("Failed to connect to port : %d\n", ui_port);
      } else if (sender->send(notice) != 0) {
        MAIN_LOG_ERR("Failed to send message.\n");
      } else {
        ControlLoop loop(*listener, *controller);
        ServeUntilStopped(loop, *controller);
      }
      listener->close();
      // Destroying the sender closes the connection to the user interface.
    }
  }
  controller->kill();
  controller.reset();
  // Every task has ended: nobody reports any more.
  UI_IPC::SetNoticeQueue(nullptr);
  notices.Stop();
  MAIN_LOG_INFO("daemon stopped\n");
  return 0;
}

}  // namespace
}  // namespace tidewell

int main(int argc, char** argv) { return tidewell::Main(argc, argv); }
