#include "server/resume_registry.h"

#include <unistd.h>

namespace tidewell::server {

namespace {

void DropOwned(DownloadBody& body) {
  if (body.owned && !body.file.empty()) ::unlink(body.file.c_str());
  body = DownloadBody();
}

}  // namespace

ResumeRegistry::~ResumeRegistry() {
  for (auto& [token, e] : entries_) DropOwned(e.download);
}

void ResumeRegistry::Add(const std::string& token, int64_t user_id, uint64_t view_id) {
  std::lock_guard<std::mutex> lock(lock_);
  Entry& e = entries_[token];
  e.user_id = user_id;
  e.view_id = view_id;
  e.last_used = std::chrono::steady_clock::now();
}

void ResumeRegistry::Restore(const std::string& token, int64_t user_id, uint64_t view_id) {
  std::lock_guard<std::mutex> lock(lock_);
  if (entries_.count(token) != 0) return;
  Entry& e = entries_[token];
  e.user_id = user_id;
  e.view_id = view_id;
  e.last_used = std::chrono::steady_clock::now();
}

bool ResumeRegistry::Lookup(const std::string& token, int64_t& user_id, uint64_t& view_id) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = entries_.find(token);
  if (it == entries_.end()) return false;
  it->second.last_used = std::chrono::steady_clock::now();
  user_id = it->second.user_id;
  view_id = it->second.view_id;
  return true;
}

void ResumeRegistry::Remove(const std::string& token) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = entries_.find(token);
  if (it == entries_.end()) return;
  DropOwned(it->second.download);
  entries_.erase(it);
  released_.notify_all();
}

bool ResumeRegistry::ClaimReceive(const std::string& token, uint64_t conn_id, std::atomic<int>* abort_flag,
                                  std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(lock_);
  auto it = entries_.find(token);
  if (it == entries_.end()) return false;
  if (it->second.receiver != 0 && it->second.receiver != conn_id) {
    // A stale receive: stop it and wait until it has let go.
    if (it->second.receiver_abort != nullptr) it->second.receiver_abort->store(1);
    const bool freed = released_.wait_for(lock, wait, [&] {
      auto again = entries_.find(token);
      return again == entries_.end() || again->second.receiver == 0;
    });
    it = entries_.find(token);
    if (!freed || it == entries_.end()) return false;
  }
  it->second.receiver = conn_id;
  it->second.receiver_abort = abort_flag;
  it->second.last_used = std::chrono::steady_clock::now();
  return true;
}

void ResumeRegistry::ReleaseReceive(const std::string& token, uint64_t conn_id) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = entries_.find(token);
  if (it == entries_.end() || it->second.receiver != conn_id) return;
  it->second.receiver = 0;
  it->second.receiver_abort = nullptr;
  it->second.last_used = std::chrono::steady_clock::now();
  released_.notify_all();
}

ResumeRegistry::UploadDigest ResumeRegistry::TakeDigest(const std::string& token) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = entries_.find(token);
  if (it == entries_.end()) return {};
  return std::move(it->second.digest);
}

void ResumeRegistry::PutDigest(const std::string& token, UploadDigest digest) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = entries_.find(token);
  if (it != entries_.end()) it->second.digest = std::move(digest);
}

void ResumeRegistry::SetDownload(const std::string& token, DownloadBody body) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = entries_.find(token);
  if (it == entries_.end()) {
    DropOwned(body);
    return;
  }
  DropOwned(it->second.download);
  it->second.download = std::move(body);
  it->second.has_download = true;
}

bool ResumeRegistry::GetDownload(const std::string& token, DownloadBody& out) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = entries_.find(token);
  if (it == entries_.end() || !it->second.has_download) return false;
  it->second.last_used = std::chrono::steady_clock::now();
  out.file = it->second.download.file;
  out.owned = false;  // the registry keeps ownership
  out.length = it->second.download.length;
  out.reply = it->second.download.reply;
  return true;
}

void ResumeRegistry::SetRefused(const std::string& token, uint32_t code) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = entries_.find(token);
  if (it != entries_.end()) it->second.refused = code;
}

uint32_t ResumeRegistry::Refused(const std::string& token) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = entries_.find(token);
  return it == entries_.end() ? 0 : it->second.refused;
}

std::vector<std::string> ResumeRegistry::Expire(std::chrono::seconds idle) {
  std::lock_guard<std::mutex> lock(lock_);
  std::vector<std::string> gone;
  const auto now = std::chrono::steady_clock::now();
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second.receiver == 0 && now - it->second.last_used > idle) {
      DropOwned(it->second.download);
      gone.push_back(it->first);
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
  return gone;
}

}  // namespace tidewell::server
