#include "server/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <unordered_set>

#include "net/ssl_setup.h"
#include "server/server_connection.h"
#include "server/server_log.h"

namespace tidewell::server {

std::string DefaultCertPath(const std::string& data_dir) { return data_dir + "/server.crt"; }
std::string DefaultKeyPath(const std::string& data_dir) { return data_dir + "/server.key"; }
std::string DatabasePath(const std::string& data_dir) { return data_dir + "/server.db"; }

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// True when the certificate and key load and belong together.
bool CertificateUsable(const std::string& cert, const std::string& key) {
  if (InitSslLibrary() != 0) return false;
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) return false;
  bool ok = SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) == 1 &&
            SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) == 1 && SSL_CTX_check_private_key(ctx) == 1;
  SSL_CTX_free(ctx);
  return ok;
}

}  // namespace

Server::Server(ServerOptions options) : options_(std::move(options)) {}

Server::~Server() { Stop(); }

int Server::OpenStore() {
  const std::string db_path = DatabasePath(options_.data_dir);
  if (!Exists(db_path)) {
    SRV_LOG_ERR("no store in '%s'; run 'tidewell-server init --data %s' first", options_.data_dir.c_str(),
                options_.data_dir.c_str());
    return -1;
  }
  std::unique_ptr<Store> store = OpenSqliteStore(db_path, false);
  if (store == nullptr) return -1;
  ctx_ = std::make_unique<ServerContext>(options_, std::move(store));
  if (ctx_->content.Init() != 0) return -1;

  // Blob files no committed row names are leftovers of an interrupted batch.
  std::unique_ptr<StoreReader> reader = ctx_->store->NewReader();
  std::vector<std::string> blobs;
  if (reader == nullptr || reader->ListBlobs(blobs) != 0) return -1;
  std::unordered_set<std::string> known(blobs.begin(), blobs.end());
  if (int swept = ctx_->content.Sweep(known); swept > 0) {
    SRV_LOG_NOTE("removed %d blob files that no record names", swept);
  }

  // Resume tokens: keep the live ones, drop the expired and the orphaned.
  std::vector<ResumeTokenRow> tokens;
  if (reader->ListResumeTokens(tokens) != 0) return -1;
  const int64_t now = static_cast<int64_t>(time(nullptr));
  std::vector<std::string> expired;
  std::unordered_set<std::string> kept;
  for (const ResumeTokenRow& t : tokens) {
    if (now - t.last_used > static_cast<int64_t>(options_.token_idle_seconds)) {
      expired.push_back(t.token);
    } else {
      ctx_->resumes.Restore(t.token, t.user_id, t.view_id);
      kept.insert(t.token);
    }
  }
  if (!expired.empty()) {
    int rc = ctx_->store->Write([&](StoreTxn& txn) {
      for (const std::string& t : expired) {
        if (txn.DeleteResumeToken(t) != 0) return -1;
      }
      return 0;
    });
    if (rc < 0) return -1;
  }
  for (const std::string& t : expired) ::unlink((ctx_->content.resume_dir() + "/" + t).c_str());
  return 0;
}

int Server::Listen() {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(options_.port));
  if (inet_pton(AF_INET, options_.listen_address.c_str(), &addr.sin_addr) != 1) {
    SRV_LOG_ERR("not an IPv4 address: '%s'", options_.listen_address.c_str());
    return -1;
  }
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listen_fd_ < 0) {
    SRV_LOG_ERR("socket: %s", strerror(errno));
    return -1;
  }
  int one = 1;
  (void)setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(listen_fd_, 128) != 0) {
    SRV_LOG_ERR("cannot listen on %s:%d: %s", options_.listen_address.c_str(), options_.port, strerror(errno));
    return -1;
  }
  socklen_t len = sizeof(addr);
  if (getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) port_ = ntohs(addr.sin_port);
  return 0;
}

int Server::Start() {
  if (OpenStore() != 0) return -1;
  std::string cert = options_.cert_file.empty() ? DefaultCertPath(options_.data_dir) : options_.cert_file;
  std::string key = options_.key_file.empty() ? DefaultKeyPath(options_.data_dir) : options_.key_file;
  if (Exists(cert) && Exists(key) && CertificateUsable(cert, key)) {
    SetCERTPath(cert);
    SetPriKeyPath(key);
    ctx_->ssl_enabled = true;
  } else if (!options_.cert_file.empty() || !options_.key_file.empty()) {
    SRV_LOG_ERR("the certificate '%s' and key '%s' cannot be used", cert.c_str(), key.c_str());
    return -1;
  } else {
    SRV_LOG_WARN("no certificate in '%s': SSL is not offered", options_.data_dir.c_str());
  }
  if (Listen() != 0) return -1;
  ctx_->committer.Start();
  acceptor_ = std::thread([this] { AcceptLoop(); });
  housekeeper_ = std::thread([this] { Housekeeping(); });
  SRV_LOG_NOTE("serving '%s' on %s:%d%s", options_.data_dir.c_str(), options_.listen_address.c_str(), port_,
               ctx_->ssl_enabled ? " (SSL offered)" : "");
  return 0;
}

void Server::ReapLocked() {
  for (auto it = slots_.begin(); it != slots_.end();) {
    if ((*it)->finished.load()) {
      (*it)->thread.join();
      it = slots_.erase(it);
    } else {
      ++it;
    }
  }
}

void Server::AcceptLoop() {
  while (!stopping_.load()) {
    pollfd pfd{listen_fd_, POLLIN, 0};
    int n = ::poll(&pfd, 1, 250);
    if (n <= 0) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
        SRV_LOG_WARN("accept: %s", strerror(errno));
        std::unique_lock<std::mutex> lock(wait_lock_);
        wait_cv_.wait_for(lock, std::chrono::milliseconds(100));
      }
      continue;
    }
    std::lock_guard<std::mutex> lock(slots_lock_);
    ReapLocked();
    const size_t open = active_connections_.load();
    if (open >= options_.max_connections) {
      SRV_LOG_WARN("refusing a connection: %zu connections are open (--max-connections)", open);
      ::close(fd);
      continue;
    }
    // Replies are written in pieces smaller than a segment (a header, a
    // value, TLS records of 16 KiB where loopback segments hold 64 KiB):
    // with Nagle's algorithm each piece would wait for the client's delayed
    // ack, up to 40 ms, as the client already avoids on its side.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto slot = std::make_unique<Slot>();
    slot->connection = std::make_unique<ServerConnection>(*ctx_, fd);
    Slot* raw = slot.get();
    active_connections_.fetch_add(1);
    slot->thread = std::thread([this, raw] {
      raw->connection->Run();
      active_connections_.fetch_sub(1);
      raw->finished.store(true);
    });
    slots_.push_back(std::move(slot));
  }
}

void Server::ExpireTokens() {
  std::vector<std::string> gone = ctx_->resumes.Expire(std::chrono::seconds(options_.token_idle_seconds));
  if (gone.empty()) return;
  for (const std::string& t : gone) ::unlink((ctx_->content.resume_dir() + "/" + t).c_str());
  auto ticket = ctx_->committer.Submit([gone](StoreTxn& txn, CommitEffects&) {
    for (const std::string& t : gone) {
      if (txn.DeleteResumeToken(t) != 0) return -1;
    }
    return 0;
  });
  (void)ticket;
}

void Server::Housekeeping() {
  std::unique_lock<std::mutex> lock(wait_lock_);
  while (!stopping_.load()) {
    wait_cv_.wait_for(lock, std::chrono::minutes(10), [this] { return stopping_.load(); });
    if (stopping_.load()) break;
    lock.unlock();
    ExpireTokens();
    lock.lock();
  }
}

void Server::Stop() {
  std::lock_guard<std::mutex> stop(stop_lock_);
  if (ctx_ == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(wait_lock_);
    stopping_.store(true);
    wait_cv_.notify_all();
  }
  if (acceptor_.joinable()) acceptor_.join();
  if (housekeeper_.joinable()) housekeeper_.join();
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
    listen_fd_ = -1;
  }
  {
    std::lock_guard<std::mutex> lock(slots_lock_);
    for (auto& slot : slots_) slot->connection->Abort();
    for (auto& slot : slots_) slot->thread.join();
    slots_.clear();
  }
  ctx_->committer.Stop();
  ctx_.reset();
}

}  // namespace tidewell::server
