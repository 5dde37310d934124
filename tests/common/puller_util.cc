#include "common/puller_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "base/log.h"
#include "events/event_manager.h"
#include "net/memory_channel.h"
#include "net/pobject.h"
#include "net/pstream.h"

namespace tidewell::testing {

// --- LogFile --------------------------------------------------------------

LogFile::LogFile(const TempDir& dir) : path_(dir.Join("engine.log")) {
  dir.WriteFile("levels",
                "syncer_debug = 7\nprogress_syncer_debug = 7\nrecycle_cleaner_debug = 7\n"
                "worker_debug = 6\ndetector_debug = 6\n");
  EXPECT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, ustring(path_), ustring(dir.Join("levels")), 50));
}

LogFile::~LogFile() { Logger::Destroy(); }

std::string LogFile::Text() const {
  std::ifstream in(path_, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int LogFile::Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size())) ++n;
  return n;
}

bool LogFile::Await(const std::string& needle, int times, Deadline deadline) const {
  const auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    if (Count(Text(), needle) >= times) return true;
    if (std::chrono::steady_clock::now() >= until) {
      ADD_FAILURE() << "the log never held '" << needle << "' " << times << " times";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // polling a condition, with a deadline
  }
}

// --- Drain ----------------------------------------------------------------

Drain::Drain(EngineClient& client) : client_(client) {
  thread_ = std::thread([this] {
    while (!stop_.load()) {
      Event e;
      if (client_.events().PullEvent(&holder_, e) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // polling the queue
        continue;
      }
      do {
        Taken t;
        t.event = e;
        Registry::Entry entry;
        if (client_.registry().Find(e.m_sess_id, entry) == 1 && entry.event_db != nullptr) {
          entry.event_db->getSyncId(t.stored_sync_id);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        taken_.push_back(t);
      } while (client_.events().DoneEvent(&holder_, e) != 0);
    }
  });
}

Drain::~Drain() {
  stop_ = true;
  thread_.join();
}

std::vector<Drain::Taken> Drain::taken() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return taken_;
}

std::vector<std::string> Drain::paths() const {
  std::vector<std::string> out;
  for (const Taken& t : taken()) out.emplace_back(t.event.m_path.utf8_view());
  return out;
}

// --- KeepAliveInjector ------------------------------------------------------

namespace {

std::string KeepAliveBytes() {
  PObject ka;
  ka["type"] = "keep_alive";
  MemoryChannel ch;
  PStream ps;
  EXPECT_EQ(0, ps.Send(ch, ka));
  return ch.output();
}

bool WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

KeepAliveInjector::KeepAliveInjector(int target_port) : target_port_(target_port) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && listen(listen_fd_, 16) == 0 &&
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
    port_ = ntohs(sa.sin_port);
  acceptor_ = std::thread([this] { Accept(); });
}

KeepAliveInjector::~KeepAliveInjector() {
  stopping_ = true;
  shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  close(listen_fd_);
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : sockets_) shutdown(fd, SHUT_RDWR);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  for (int fd : sockets_) close(fd);
}

void KeepAliveInjector::Accept() {
  while (!stopping_) {
    int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (stopping_) return;
      continue;
    }
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(target_port_));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(server, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      close(client);
      close(server);
      continue;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.push_back(client);
    sockets_.push_back(server);
    threads_.emplace_back([this, client, server] { Serve(client, server); });
  }
}

void KeepAliveInjector::Serve(int client, int server) {
  // Towards the client: the server's bytes, under a lock that the other
  // direction takes to slip the keep-alive in between two replies.
  auto to_client_lock = std::make_shared<std::mutex>();
  std::thread back([client, server, to_client_lock] {
    char buf[16384];
    for (;;) {
      ssize_t n = read(server, buf, sizeof buf);
      if (n <= 0) break;
      std::lock_guard<std::mutex> lock(*to_client_lock);
      if (!WriteAll(client, buf, static_cast<size_t>(n))) break;
    }
    shutdown(client, SHUT_RDWR);
  });
  static const std::string kPullHeader = std::string("\x25\x52\x18\x14", 4);
  const std::string keep_alive = KeepAliveBytes();
  std::string tail;  // the last bytes seen, for a header split across reads
  char buf[16384];
  for (;;) {
    ssize_t n = read(client, buf, sizeof buf);
    if (n <= 0) break;
    std::string seen = tail + std::string(buf, static_cast<size_t>(n));
    for (size_t pos = seen.find(kPullHeader); pos != std::string::npos && pos + 6 <= seen.size();
         pos = seen.find(kPullHeader, pos + 1)) {
      // magic, version byte, command: 6 is "pull_event". The client sends
      // its request only after reading the whole previous reply, so this
      // lands in front of the reply to this pull.
      if (pos + 5 >= tail.size() && static_cast<uint8_t>(seen[pos + 5]) == 6) {
        std::lock_guard<std::mutex> lock(*to_client_lock);
        if (WriteAll(client, keep_alive.data(), keep_alive.size())) ++injected_;
      }
    }
    tail = seen.size() > 5 ? seen.substr(seen.size() - 5) : seen;
    if (!WriteAll(server, buf, static_cast<size_t>(n))) break;
  }
  shutdown(server, SHUT_RDWR);
  back.join();
}

}  // namespace tidewell::testing
