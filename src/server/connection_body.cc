// Receiving an upload body. It arrives before the request's path and
// session (keys travel in order), so it is decided on with what is known:
// the connection's user, the action, the current resume token, the disk's
// free space. A body lands only in the server's temporary folder: a fresh
// file for "upload", the token's file (appended) for "resume_upload".

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <vector>

#include "base/error_code.h"
#include "platform/fd_io.h"
#include "platform/fs_sync.h"
#include "server/committer.h"
#include "server/server_connection.h"
#include "server/server_error.h"
#include "server/server_log.h"

namespace tidewell::server {

namespace {

// Bodies up to this size are taken without a quota check, and read and
// dropped when refused; larger refused bodies close the connection.
constexpr uint64_t kSmallBody = 1 << 20;
constexpr size_t kChunk = 256 * 1024;
// Written-back every this many bytes, so that dirty pages do not pile up
// and the final flush is short.
constexpr uint64_t kWriteBehind = 8 << 20;
// How long a takeover waits for a stale receive to let go.
constexpr auto kTakeoverWait = std::chrono::seconds(10);

}  // namespace

int ServerConnection::RefuseBody(Channel& ch, uint64_t length, uint32_t code, PObject::binary_type& value) {
  body_.refused = code;
  value.clear();
  if (length > kSmallBody) {
    body_.close = true;
    return kStreamLocal;
  }
  std::vector<uint8_t> sink(std::min<uint64_t>(length, kChunk));
  uint64_t left = length;
  while (left > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, sink.size()));
    if (ch.Read(sink.data(), n) != 0) return kStreamChannel;
    left -= n;
  }
  return kStreamOk;
}

int ServerConnection::ReceiveBody(Channel& ch, uint64_t length, PObject::binary_type& value) {
  const std::string_view action = request_["action"].asStringRef().utf8_view();
  if (ps_.GetHistory() != ustring("file.data") || (action != "upload" && action != "resume_upload") ||
      body_.present) {
    SRV_LOG_WARN("connection %llu: a binary value outside an upload body; closing",
                 static_cast<unsigned long long>(id_));
    return kStreamMalformed;
  }
  if (!connected_) return RefuseBody(ch, length, kNotConnected, value);
  const uint64_t free_bytes = ctx_.content.FreeBytes();
  if (free_bytes < ctx_.options.disk_reserve || length > free_bytes - ctx_.options.disk_reserve) {
    SRV_LOG_WARN("connection %llu: a body of %llu bytes does not fit on the disk", static_cast<unsigned long long>(id_),
                 static_cast<unsigned long long>(length));
    if (action == "resume_upload" && !current_token_.empty()) ctx_.resumes.SetRefused(current_token_, kDiskFull);
    return RefuseBody(ch, length, kDiskFull, value);
  }
  std::string token;
  if (action == "resume_upload") {
    int64_t owner = 0;
    uint64_t view = 0;
    if (current_token_.empty() || !ctx_.resumes.Lookup(current_token_, owner, view) || owner != user_.id) {
      return RefuseBody(ch, length, kRedo, value);
    }
    token = current_token_;
    // The token's row must exist before its bytes do, so that they are
    // found again after a restart.
    ResumeTokenRow row;
    int found = reader_->GetResumeToken(token, row);
    if (found < 0) return RefuseBody(ch, length, kRedo, value);
    if (found == 0) {
      row.token = token;
      row.user_id = owner;
      row.view_id = view;
      row.last_used = static_cast<int64_t>(time(nullptr));
      auto ticket = ctx_.committer.Submit(
          [row](StoreTxn& txn, CommitEffects&) { return txn.PutResumeToken(row) == 0 ? 0 : -1; });
      if (AwaitCommit(ticket) != 0) return RefuseBody(ch, length, kRedo, value);
    }
  }
  if (length > kSmallBody) {
    UserRow user;
    if (reader_->GetUser(user_.id, user) <= 0) return RefuseBody(ch, length, kRedo, value);
    const uint64_t quota = ctx_.QuotaFor(user.quota);
    if (quota != 0) {
      // The file the token's probe named frees its current size.
      uint64_t freed = 0;
      ResumeTokenRow row;
      ObjectRow obj;
      if (!token.empty() && reader_->GetResumeToken(token, row) == 1 && !row.path.empty() &&
          reader_->GetObject(row.view_id, row.path, obj) == 1 && !obj.is_removed && !obj.is_dir) {
        freed = obj.size;
      }
      const uint64_t room = quota > user.usage ? quota - user.usage + freed : freed;
      if (length > room) {
        if (!token.empty()) ctx_.resumes.SetRefused(token, kQuota);
        return RefuseBody(ch, length, kQuota, value);
      }
    }
  }
  return StoreBody(ch, length, value, token);
}

int ServerConnection::StoreBody(Channel& ch, uint64_t length, PObject::binary_type& value, const std::string& token) {
  std::string file;
  ResumeRegistry::UploadDigest digest;
  if (token.empty()) {
    if (ctx_.content.NewTemp(file) != 0) return kStreamLocal;
    body_.temp = true;
    digest.hasher = std::make_unique<ContentHasher>();
  } else {
    if (!ctx_.resumes.ClaimReceive(token, id_, &abort_, kTakeoverWait)) return RefuseBody(ch, length, kRedo, value);
    file = ctx_.content.resume_dir() + "/" + token;
    digest = ctx_.resumes.TakeDigest(token);
    body_.token = token;
  }
  body_.file = file;
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) {
    SRV_LOG_ERR("cannot open '%s' for a body: errno %d", file.c_str(), errno);
    if (!token.empty()) ctx_.resumes.ReleaseReceive(token, id_);
    return kStreamLocal;
  }
  struct stat st;
  uint64_t held = (fstat(fd, &st) == 0) ? static_cast<uint64_t>(st.st_size) : 0;
  if (!token.empty()) {
    // The client sends what follows the offset it was told; anything a
    // stale receive appended since goes.
    if (held < token_offset_ || (held > token_offset_ && ftruncate(fd, static_cast<off_t>(token_offset_)) != 0)) {
      ::close(fd);
      ctx_.resumes.ReleaseReceive(token, id_);
      return RefuseBody(ch, length, kRedo, value);
    }
    held = token_offset_;
  }
  if (digest.hasher == nullptr && held == 0) digest.hasher = std::make_unique<ContentHasher>();
  if (digest.hasher != nullptr && digest.bytes != held) digest.hasher.reset();

  std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(length, 1), kChunk)));
  uint64_t got_total = 0;
  uint64_t behind = held;
  int rc = kStreamOk;
  while (got_total < length) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(length - got_total, buf.size()));
    size_t got = 0;
    int crc = ch.Read(buf.data(), want, got);
    // Bytes that arrived before a failure are kept: a resumed upload
    // continues after them.
    if (got > 0) {
      int w = WriteAll(fd, buf.data(), got);
      if (w != kWriteOk) {
        SRV_LOG_ERR("cannot write a body to '%s': errno %d", file.c_str(), errno);
        rc = w == kWriteNoSpace ? kStreamDiskFull : kStreamLocal;
        break;
      }
      if (digest.hasher != nullptr) {
        digest.hasher->Update(buf.data(), got);
        digest.bytes += got;
      }
      got_total += got;
      if (held + got_total - behind >= kWriteBehind) {
        StartWriteBack(fd, static_cast<long long>(behind), static_cast<long long>(held + got_total - behind));
        behind = held + got_total;
      }
    }
    if (crc != 0) {
      rc = kStreamChannel;
      break;
    }
  }
  ::close(fd);
  body_.total = held + got_total;
  value.path = ustring(file);
  value.offset = body_.total;
  value.length = body_.total;
  if (!token.empty()) {
    if (rc != kStreamOk) {
      // Keep what arrived, and the digest of it, for the next attempt.
      if (digest.hasher != nullptr && digest.bytes != body_.total) digest.hasher.reset();
      ctx_.resumes.PutDigest(token, std::move(digest));
    } else {
      body_.hasher = std::move(digest.hasher);
      body_.digest_valid = body_.hasher != nullptr && digest.bytes == body_.total;
    }
    ctx_.resumes.ReleaseReceive(token, id_);
  } else {
    body_.hasher = std::move(digest.hasher);
    body_.digest_valid = rc == kStreamOk;
  }
  if (rc != kStreamOk) {
    SRV_LOG_NOTE("connection %llu: body cut after %llu of %llu bytes", static_cast<unsigned long long>(id_),
                 static_cast<unsigned long long>(got_total), static_cast<unsigned long long>(length));
    return rc;
  }
  body_.present = true;
  return kStreamOk;
}

}  // namespace tidewell::server
