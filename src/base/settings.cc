#include "base/settings.h"

#include <map>

#include "base/config.h"
#include "base/log.h"

namespace tidewell {

Settings& Settings::getInstance() {
  static Settings instance;
  return instance;
}

ustring Settings::getMember(ustring Settings::*member) const {
  std::lock_guard<std::mutex> hold(lock);
  return this->*member;
}

uint32_t Settings::getWorkerCount() const {
  std::lock_guard<std::mutex> hold(lock);
  return worker_count;
}

int Settings::getUIPort() const {
  std::lock_guard<std::mutex> hold(lock);
  return ui_port;
}

bool Settings::isDaemon() const {
  std::lock_guard<std::mutex> hold(lock);
  return is_daemon;
}

bool Settings::useSSL() const {
  std::lock_guard<std::mutex> hold(lock);
  return use_ssl;
}

int Settings::getServerPort() const {
  std::lock_guard<std::mutex> hold(lock);
  return server_port;
}

int Settings::getSettleDelayMs() const {
  std::lock_guard<std::mutex> hold(lock);
  return settle_delay_ms < 1 ? 1 : settle_delay_ms;
}

int Settings::loadConfigSettings(const ustring& path) {
  std::lock_guard<std::mutex> hold(lock);
  std::map<ustring, ustring> conf;
  if (ReadConfigFile(path, conf) < 0) return -1;

  // Only keys present with a non-empty value change a setting.
  auto value = [&conf](const char* key) -> const ustring* {
    auto it = conf.find(ustring(key));
    return (it == conf.end() || it->second.empty()) ? nullptr : &it->second;
  };
  auto set_text = [&](const char* key, ustring& member) {
    if (const ustring* v = value(key)) member = *v;
  };
  auto set_flag = [&](const char* key, bool& member) {
    if (const ustring* v = value(key)) member = (*v == "true");
  };

  set_text("db_path", db_path);
  set_text("fstat_db_path", fstat_db_path);
  set_text("filter_db_path", filter_db_path);
  set_text("system_filter_path", system_filter_path);
  set_text("pid_file_path", pid_file_path);
  set_text("log_file_path", log_file_path);
  set_text("log_level_file_path", log_level_file_path);
  if (const ustring* v = value("worker_count")) worker_count = static_cast<uint32_t>(ConfigValueToInt(*v));
  set_text("socket_path", socket_path);
  set_text("ui_sock_path", ui_sock_path);
  if (const ustring* v = value("ui_port")) ui_port = ConfigValueToInt(*v);
  set_flag("is_daemon", is_daemon);
  set_text("client_name", client_name);
  set_flag("use_ssl", use_ssl);
  set_text("session", session);
  if (const ustring* v = value("server_port")) server_port = ConfigValueToInt(*v);
  set_text("server_ip", server_ip);
  if (const ustring* v = value("settle_delay_ms")) settle_delay_ms = ConfigValueToInt(*v);
  return 0;
}

void Settings::print_settings() const {
  // Copies first, so the settings lock is not held while logging.
  ustring db, pid, log, level, socket, fstat, filter;
  uint32_t workers = 0;
  bool daemon = false;
  {
    std::lock_guard<std::mutex> hold(lock);
    db = db_path;
    pid = pid_file_path;
    log = log_file_path;
    level = log_level_file_path;
    workers = worker_count;
    socket = socket_path;
    daemon = is_daemon;
    fstat = fstat_db_path;
    filter = filter_db_path;
  }
  TW_LOG_DEBUG("client_debug", "app", "======= Settings =======\n");
  TW_LOG_DEBUG("client_debug", "app", "db_path: %s\n", db.c_str_utf8());
  TW_LOG_DEBUG("client_debug", "app", "pid_file_path: %s\n", pid.c_str_utf8());
  TW_LOG_DEBUG("client_debug", "app", "log_file_path: %s\n", log.c_str_utf8());
  TW_LOG_DEBUG("client_debug", "app", "log_level_file_path: %s\n", level.c_str_utf8());
  TW_LOG_DEBUG("client_debug", "app", "worker_count: %u\n", workers);
  TW_LOG_DEBUG("client_debug", "app", "socket_path: %s\n", socket.c_str_utf8());
  TW_LOG_DEBUG("client_debug", "app", "is_daemon: %s\n", daemon ? "true" : "false");
  TW_LOG_DEBUG("client_debug", "app", "fstat_db_path: %s\n", fstat.c_str_utf8());
  TW_LOG_DEBUG("client_debug", "app", "filter_db_path: %s\n", filter.c_str_utf8());
}

}  // namespace tidewell
