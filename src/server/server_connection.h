// One client connection of the sync server, served on its own thread: read
// a header and a request object, answer it with one reply object (keep-alive
// objects first while a step takes long), repeat until the client goes, stays
// silent too long, sends something malformed, or the server stops. What each
// request means is docs/server-protocol.md; each road has its own file:
//   server_connection.cc   the loop, the common checks, replies and the log line
//   connection_body.cc     receiving an upload body (before the request is known)
//   handle_connect.cc      "encrypt_channel" and "connect"
//   handle_pull.cc         "pull_event"
//   handle_upload.cc       "upload", "resume_upload" and the dry-run probe
//   handle_download.cc     "resume_download"
//   handle_remove.cc       "remove"
//   handle_resume.cc       "resume_get_token" and "resume_get_status"
//
// Thread-safety: Run() on the connection's thread; Abort() from any thread.

#ifndef TIDEWELL_SERVER_SERVER_CONNECTION_H_
#define TIDEWELL_SERVER_SERVER_CONNECTION_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/channel.h"
#include "net/pobject.h"
#include "net/pstream.h"
#include "server/pull_writer.h"
#include "server/resume_registry.h"
#include "server/server_context.h"
#include "server/store.h"

namespace tidewell::server {

class ServerConnection {
 public:
  // Takes ownership of the accepted socket `fd`.
  ServerConnection(ServerContext& ctx, int fd);
  // Serves over a channel that is already open (a memory channel in the
  // fuzz target).
  ServerConnection(ServerContext& ctx, std::unique_ptr<Channel> channel);
  ~ServerConnection();
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  // Serves requests until the connection ends; closes the socket.
  void Run();
  // Makes a running Run() give up within about a second.
  void Abort() { abort_.store(1); }

  uint64_t id() const { return id_; }

  // What Dispatch decided besides the reply.
  struct Outcome {
    uint32_t code = 0;      // 0 or the server code answered (for the log)
    bool failed = false;    // the server itself failed (logged); -1 in the log
    bool close = false;     // close after the reply
    bool streamed = false;  // the reply is pull_reply_, written as it is encoded
    bool ssl_after = false; // run the SSL server handshake after the reply
    uint32_t alive = 0;     // "alive" granted (set by Dispatch)
    std::string path;       // for the log line
  };

 private:
  // A request's checked identity: the user and view it acts for.
  struct Caller {
    UserRow user;
    ViewRow view;
  };

  // Where the body of the request being read went.
  struct Body {
    bool present = false;   // a body arrived and was stored
    std::string file;       // where (a temporary file or a resume file)
    bool temp = false;      // `file` is this request's own temporary file
    std::string token;      // the resume token it was appended for
    uint64_t total = 0;     // bytes the file holds
    bool digest_valid = false;  // `sha256`/`md4` describe the whole file
    std::unique_ptr<ContentHasher> hasher;
    uint32_t refused = 0;   // server code with which the body was refused
    bool close = false;     // the refused body was not read: close after replying
  };

  // --- server_connection.cc
  void Dispatch(uint8_t command, const PObject& req, PObject& reply, Outcome& out);
  // Checks "session" and "view_id" of a request after "connect". 0 with
  // `caller` filled, a server code, or -1 when the store failed.
  int CheckCaller(const PObject& req, Caller& caller);
  void ErrorReply(uint32_t code, PObject& reply, Outcome& out);
  void FailReply(uint32_t code, const char* what, PObject& reply, Outcome& out);
  // Sends a keep-alive when one is due; called from long steps.
  void Tick();
  // Runs `step` on a helper thread while this thread sends keep-alives.
  int RunLong(const std::function<int()>& step);
  // Waits for a commit, sending keep-alives. Its result.
  int AwaitCommit(const std::shared_ptr<class CommitTicket>& ticket);
  // Holds a waiting pull: waits on RunLong, sending keep-alives, until a
  // change of `view_id` is committed after the count `seen` (which it then
  // updates), until `deadline`, until the connection is aborted or until the
  // client hangs up. True when a change came; `folder` is for the log.
  bool AwaitViewChange(uint64_t view_id, const std::string& folder, uint64_t& seen,
                       std::chrono::steady_clock::time_point deadline);
  void DropBody();
  void LogRequest(uint8_t command, const PObject& req, const Outcome& out, int64_t micros);

  // --- connection_body.cc
  int ReceiveBody(Channel& ch, uint64_t length, PObject::binary_type& value);
  int RefuseBody(Channel& ch, uint64_t length, uint32_t code, PObject::binary_type& value);
  int StoreBody(Channel& ch, uint64_t length, PObject::binary_type& value, const std::string& token);

  // --- handle_connect.cc
  void HandleEncrypt(const PObject& req, PObject& reply, Outcome& out);
  void HandleConnect(const PObject& req, PObject& reply, Outcome& out);
  // --- handle_pull.cc
  void HandlePull(const PObject& req, const Caller& caller, PObject& reply, Outcome& out);
  // --- handle_upload.cc
  void HandleUpload(uint8_t command, const PObject& req, const Caller& caller, PObject& reply, Outcome& out);
  void HandleProbe(const PObject& req, const Caller& caller, const std::string& path, PObject& reply, Outcome& out);
  // --- handle_download.cc
  void HandleDownload(uint8_t command, const PObject& req, const Caller& caller, PObject& reply, Outcome& out);
  // --- handle_remove.cc
  void HandleRemove(const PObject& req, const Caller& caller, PObject& reply, Outcome& out);
  // --- handle_resume.cc
  void HandleGetToken(const PObject& req, const Caller& caller, PObject& reply, Outcome& out);
  void HandleGetStatus(const PObject& req, const Caller& caller, PObject& reply, Outcome& out);
  // Finds a resume token of this user (also one kept in the store from
  // before a restart). True when found.
  bool FindToken(const std::string& token, const Caller& caller);

  // Set at construction.
  ServerContext& ctx_;
  const uint64_t id_;
  const int fd_;  // -1 when the channel came open

  // Used by the connection's thread only.
  std::unique_ptr<Channel> ch_;
  PStream ps_;
  std::unique_ptr<StoreReader> reader_;
  PObject request_;  // the request being read (the body receiver looks at it)
  PullReply pull_reply_;  // a pull's answer, when Outcome::streamed
  Body body_;
  bool connected_ = false;  // a "connect" succeeded
  UserRow user_;            // the user it authorised
  std::string current_token_;  // of the last get_token / get_status
  uint64_t token_offset_ = 0;  // bytes of it the client was told are held
  bool reply_pending_ = false;  // a request is read and not yet answered
  std::chrono::steady_clock::time_point last_sent_;

  // Written by other threads.
  std::atomic<int> abort_{0};
};

// 32 lower-case hexadecimal characters of 128 random bits; "" when the
// system's random source fails.
std::string NewToken();
// The stored form of a session token: its SHA-256 in hexadecimal.
std::string TokenHash(std::string_view token);

}  // namespace tidewell::server

#endif  // TIDEWELL_SERVER_SERVER_CONNECTION_H_
