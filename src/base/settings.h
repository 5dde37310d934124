// The daemon's static settings: paths of its databases and logs, the number
// of workers, the user-interface port. Every setting has a built-in default;
// loadConfigSettings overrides them from the configuration file
// (docs/config-file.md). Per-session and per-server data do not live here.

#ifndef TIDEWELL_BASE_SETTINGS_H_
#define TIDEWELL_BASE_SETTINGS_H_

#include <cstdint>
#include <mutex>

#include "base/ustring.h"

namespace tidewell {

// Thread-safe: every getter and the loader take `lock`; getters return
// copies, so callers never hold references into the object.
class Settings {
 public:
  // The process-wide instance, created with the defaults on first use
  // (thread-safe) and kept until the process exits.
  static Settings& getInstance();

  // An instance with every default. The daemon uses getInstance(); separate
  // instances serve tests and tools.
  Settings() = default;
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

  // Loads the configuration file at `path`. Returns 0 on success; -1 for an
  // empty path, a file that cannot be read or a malformed file, in which
  // case nothing changes. Keys absent from the file, or given an empty
  // value, keep their current setting; unknown keys are ignored. Integer
  // keys read with Config::get_int rules (a word gives 0); "is_daemon" and
  // "use_ssl" are true exactly for the value "true".
  [[nodiscard]] int loadConfigSettings(const ustring& path);

  ustring getDbPath() const { return getMember(&Settings::db_path); }
  ustring getFStatDbPath() const { return getMember(&Settings::fstat_db_path); }
  ustring getFilterDbPath() const { return getMember(&Settings::filter_db_path); }
  ustring getSystemFilterPath() const { return getMember(&Settings::system_filter_path); }
  ustring getPidFilePath() const { return getMember(&Settings::pid_file_path); }
  ustring getLogFilePath() const { return getMember(&Settings::log_file_path); }
  ustring getLogLevelFilePath() const { return getMember(&Settings::log_level_file_path); }
  ustring getSocketPath() const { return getMember(&Settings::socket_path); }
  ustring getUISocketPath() const { return getMember(&Settings::ui_sock_path); }
  ustring getServerIp() const { return getMember(&Settings::server_ip); }
  ustring getSession() const { return getMember(&Settings::session); }
  ustring getClientName() const { return getMember(&Settings::client_name); }
  // Note: not bounded here; 0 (a word in the file) or a negative value
  // read as unsigned reach the caller as they are.
  uint32_t getWorkerCount() const;
  int getUIPort() const;
  bool isDaemon() const;
  bool useSSL() const;
  int getServerPort() const;
  // Milliseconds a new or changed file must stay unchanged before the
  // change detector hands it on while its writer still holds it open
  // ("settle_delay_ms", default 1000; values below 1 read as 1).
  int getSettleDelayMs() const;

  // Writes the settings as DEBUG lines of component "client_debug".
  void print_settings() const;

 private:
  ustring getMember(ustring Settings::*member) const;

  mutable std::mutex lock;
  // All below guarded by lock.
  ustring db_path = "/tmp/db.sqlite";
  ustring pid_file_path = "/var/run/tidewell-daemon.pid";
  ustring log_file_path = "/var/log/tidewell-daemon.log";
  ustring log_level_file_path = "/var/log/tidewell-daemon.debug";
  ustring fstat_db_path = "/tmp/file-status.sqlite";
  ustring filter_db_path = "/tmp/filter.sqlite";
  ustring system_filter_path = "/tmp/filter";
  uint32_t worker_count = 3;
  ustring socket_path = "/tmp/tidewell-socket";
  ustring ui_sock_path = "/tmp/tidewell-ui-socket";
  int32_t ui_port = 1024;
  bool is_daemon = true;
  ustring client_name = "user";
  bool use_ssl = false;
  ustring session = "InvalidSession";
  int32_t server_port = 0;
  ustring server_ip = "InvalidAddress";
  int32_t settle_delay_ms = 1000;
};

}  // namespace tidewell

#endif  // TIDEWELL_BASE_SETTINGS_H_
