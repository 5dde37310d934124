// The request loop of a connection, the checks every request shares, error
// replies, keep-alives and the one log line per request.

#include "server/server_connection.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/error_code.h"
#include "net/protocol.h"
#include "net/socket_ops.h"
#include "server/committer.h"
#include "server/content_hasher.h"
#include "server/server_error.h"
#include "server/server_log.h"

namespace tidewell::server {

std::string NewToken() {
  uint8_t bytes[16];
  if (RAND_bytes(bytes, sizeof(bytes)) != 1) return {};
  return HexText(bytes, sizeof(bytes));
}

std::string TokenHash(std::string_view token) {
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(token.data(), token.size(), digest, &len, EVP_sha256(), nullptr) != 1) return {};
  return HexText(digest, len);
}

ServerConnection::ServerConnection(ServerContext& ctx, int fd)
    : ctx_(ctx), id_(ctx.next_connection_id.fetch_add(1)), fd_(fd), ch_(std::make_unique<Channel>()) {}

ServerConnection::ServerConnection(ServerContext& ctx, std::unique_ptr<Channel> channel)
    : ctx_(ctx), id_(ctx.next_connection_id.fetch_add(1)), fd_(-1), ch_(std::move(channel)) {}

ServerConnection::~ServerConnection() { DropBody(); }

void ServerConnection::Run() {
  if (fd_ >= 0 && ch_->Open(fd_, true) != 0) {
    ::close(fd_);
    return;
  }
  ch_->SetFlag(&abort_);
  ps_.SetBinaryReceiver(
      [this](Channel& ch, uint64_t length, PObject::binary_type& value) { return ReceiveBody(ch, length, value); });
  reader_ = ctx_.store->NewReader();
  if (reader_ == nullptr) {
    SRV_LOG_ERR("connection %llu: cannot open the database for reading", static_cast<unsigned long long>(id_));
    ch_->Close();
    return;
  }
  const ServerOptions& opt = ctx_.options;
  for (;;) {
    // Between requests the client may stay silent for the time granted.
    ch_->SetTimeout(opt.alive_seconds + opt.idle_margin_seconds);
    uint16_t length = 0;
    uint8_t command = 0;
    uint8_t version = 0;
    if (ProtoReadHeader(*ch_, length, command, version) != 0) break;
    if (length != 0) {
      SRV_LOG_WARN("connection %llu: header of command %u with payload length %u; closing",
                   static_cast<unsigned long long>(id_), command, length);
      break;
    }
    const auto start = std::chrono::steady_clock::now();
    ch_->SetTimeout(opt.stall_seconds);
    request_.clear();
    DropBody();
    PObject reply;
    Outcome out;
    if (ps_.Recv(*ch_, request_) != 0) {
      if (body_.refused == 0 || !body_.close) break;
      // A body refused before it was read: answer, then close.
      ErrorReply(body_.refused, reply, out);
      out.close = true;
    } else {
      reply_pending_ = true;
      last_sent_ = std::chrono::steady_clock::now();
      Dispatch(command, request_, reply, out);
    }
    reply_pending_ = false;
    if (out.streamed) {
      if (WritePullReply(*ch_, out.alive, pull_reply_) != 0) out.close = true;
      pull_reply_ = PullReply();
    } else {
      reply["alive"] = out.alive;
      if (ps_.Send(*ch_, reply) != 0) out.close = true;
    }
    LogRequest(command, request_, out,
               std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
    DropBody();
    if (out.close) break;
    if (out.ssl_after && ch_->ConvertToSSLChannel(true) != 0) {
      SRV_LOG_WARN("connection %llu: SSL handshake failed; closing", static_cast<unsigned long long>(id_));
      break;
    }
  }
  ch_->Close();
}

void ServerConnection::DropBody() {
  if (body_.temp && !body_.file.empty()) ::unlink(body_.file.c_str());
  body_ = Body();
}

void ServerConnection::ErrorReply(uint32_t code, PObject& reply, Outcome& out) {
  reply.clear();
  reply["error"]["code"] = code;
  reply["error"]["message"] = ServerCodeText(code);
  out.code = code;
  out.alive = ctx_.options.alive_seconds;
  if (code == kNotConnected) {
    // "alive" 0 makes the daemon drop the connection and connect again.
    out.alive = 0;
    out.close = true;
  }
}

void ServerConnection::FailReply(uint32_t code, const char* what, PObject& reply, Outcome& out) {
  SRV_LOG_ERR("connection %llu: %s", static_cast<unsigned long long>(id_), what);
  ErrorReply(code, reply, out);
  out.failed = true;
}

int ServerConnection::CheckCaller(const PObject& req, Caller& caller) {
  if (!connected_) return kNotConnected;
  const PObject& session = req["session"];
  if (!session.isString()) return kTokenUnknown;
  int found = reader_->FindUserByTokenHash(TokenHash(session.asStringRef().utf8_view()), caller.user);
  if (found < 0) return -1;
  if (found == 0) return kTokenUnknown;
  if (caller.user.id != user_.id) return kTokenOtherUser;
  const PObject& view = req["view_id"];
  if (!view.isInteger()) return kViewInvalid;
  found = reader_->GetView(view.asUInt64(), caller.view);
  if (found < 0) return -1;
  if (found == 0 || caller.view.user_id != caller.user.id) return kViewInvalid;
  return 0;
}

void ServerConnection::Dispatch(uint8_t command, const PObject& req, PObject& reply, Outcome& out) {
  out.alive = ctx_.options.alive_seconds;
  const ustring& action = req["action"].asStringRef();
  const std::string_view a = action.utf8_view();
  if (req["path"].isString()) out.path.assign(req["path"].asStringRef().utf8_view());

  if (command == 22 && a == "encrypt_channel") return HandleEncrypt(req, reply, out);
  if (command == SCMD_REQUEST_CONNECT && a == "connect") return HandleConnect(req, reply, out);

  const bool known = (command == SCMD_EVT_PULL && a == "pull_event") || (command == 23 && a == "upload") ||
                     (command == SCMD_GET_FOLDER_LIST && (a == "resume_download" || a == "download")) ||
                     (command == SCMD_EVT_REMOVE && a == "remove") ||
                     (command == 27 && (a == "resume_get_token" || a == "resume_get_status" ||
                                        a == "resume_download" || a == "resume_upload"));
  Caller caller;
  int rc = CheckCaller(req, caller);
  if (rc == 0 && !known) rc = kUnsupported;
  if (rc != 0) {
    // A failure of the store: every task of the daemon tries again later.
    if (rc < 0) {
      FailReply(kRedo, "the database failed while checking a request", reply, out);
    } else {
      ErrorReply(static_cast<uint32_t>(rc), reply, out);
    }
    if (a == "pull_event") {
      reply["next_sync_id"] = req["sync_id"].asUInt64();
      reply["event_list"].asArray();
    }
    return;
  }
  if (a == "pull_event") return HandlePull(req, caller, reply, out);
  if (a == "upload" || a == "resume_upload") return HandleUpload(command, req, caller, reply, out);
  if (a == "resume_download" || a == "download") return HandleDownload(command, req, caller, reply, out);
  if (a == "remove") return HandleRemove(req, caller, reply, out);
  if (a == "resume_get_token") return HandleGetToken(req, caller, reply, out);
  return HandleGetStatus(req, caller, reply, out);
}

void ServerConnection::Tick() {
  if (!reply_pending_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_sent_ < std::chrono::seconds(ctx_.options.keep_alive_seconds)) return;
  PObject ka;
  ka["type"] = "keep_alive";
  if (ps_.Send(*ch_, ka) != 0) {
    // The client is gone; the step still finishes and its reply fails.
    SRV_LOG_NOTE("connection %llu: keep-alive could not be sent", static_cast<unsigned long long>(id_));
  }
  last_sent_ = now;
}

int ServerConnection::RunLong(const std::function<int()>& step) {
  std::mutex lock;
  std::condition_variable cv;
  bool done = false;
  int result = -1;
  std::thread worker([&] {
    int r = step();
    std::lock_guard<std::mutex> g(lock);
    result = r;
    done = true;
    cv.notify_all();
  });
  {
    std::unique_lock<std::mutex> g(lock);
    while (!cv.wait_for(g, std::chrono::milliseconds(250), [&] { return done; })) {
      g.unlock();
      Tick();
      g.lock();
    }
  }
  worker.join();
  return result;
}

int ServerConnection::AwaitCommit(const std::shared_ptr<CommitTicket>& ticket) {
  while (!ticket->WaitFor(std::chrono::milliseconds(250))) Tick();
  return ticket->result();
}

bool ServerConnection::AwaitViewChange(uint64_t view_id, const std::string& folder, uint64_t& seen,
                                       std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  SRV_LOG_DEBUG("connection %llu: pull of %s waits up to %lld ms for a change in view %llu",
                static_cast<unsigned long long>(id_), folder.c_str(), static_cast<long long>(left.count()),
                static_cast<unsigned long long>(view_id));
  // The client sends nothing while it waits for the reply: a readable
  // socket means it hung up (a paused or stopped daemon drops the
  // connection), and nobody is left to answer.
  const int fd = ch_->GetFd();
  auto give_up = [&] {
    return abort_.load() != 0 || (fd >= 0 && WaitSocket(fd, false, timeval{0, 0}) == WaitResult::kReady);
  };
  ViewChanges::Wake wake = ViewChanges::Wake::kTimeout;
  RunLong([&] {
    wake = ctx_.changes.WaitForChange(view_id, seen, deadline, give_up);
    return 0;
  });
  if (wake == ViewChanges::Wake::kGaveUp) {
    SRV_LOG_DEBUG("connection %llu: waiting pull ended: the client went or the server stops",
                  static_cast<unsigned long long>(id_));
  }
  return wake == ViewChanges::Wake::kChanged;
}

void ServerConnection::LogRequest(uint8_t command, const PObject& req, const Outcome& out, int64_t micros) {
  std::string action(req["action"].asStringRef().utf8_view());
  if (action.empty()) action = "command-" + std::to_string(command);
  const long long result = out.failed && out.code == 0 ? -1 : static_cast<long long>(out.code);
  SRV_LOG_INFO("user=%s action=%s path=%s result=%s%llx ms=%lld.%03lld", connected_ ? user_.name.c_str() : "-",
               action.c_str(), out.path.empty() ? "-" : out.path.c_str(), result < 0 ? "-" : "0x",
               static_cast<unsigned long long>(result < 0 ? 1 : result), static_cast<long long>(micros / 1000),
               static_cast<long long>(micros % 1000));
}

}  // namespace tidewell::server
