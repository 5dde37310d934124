// "resume_get_token" and "resume_get_status": the tokens that tie the
// attempts of one transfer together, across connections and restarts.

#include <sys/stat.h>

#include "server/server_connection.h"
#include "server/server_error.h"
#include "server/server_log.h"

namespace tidewell::server {

namespace {

// How long a status request waits for a stale receive of its token to stop.
constexpr auto kTakeoverWait = std::chrono::seconds(10);

}  // namespace

bool ServerConnection::FindToken(const std::string& token, const Caller& caller) {
  if (token.empty()) return false;
  int64_t owner = 0;
  uint64_t view = 0;
  if (!ctx_.resumes.Lookup(token, owner, view)) {
    // Kept in the store from before a restart?
    ResumeTokenRow row;
    if (reader_->GetResumeToken(token, row) != 1) return false;
    ctx_.resumes.Restore(token, row.user_id, row.view_id);
    owner = row.user_id;
  }
  return owner == caller.user.id;
}

void ServerConnection::HandleGetToken(const PObject& req, const Caller& caller, PObject& reply, Outcome& out) {
  (void)req;
  const std::string token = NewToken();
  if (token.empty()) return FailReply(kRedo, "no random bytes for a token", reply, out);
  ctx_.resumes.Add(token, caller.user.id, caller.view.id);
  current_token_ = token;
  token_offset_ = 0;
  reply["resume_token"] = token;
}

void ServerConnection::HandleGetStatus(const PObject& req, const Caller& caller, PObject& reply, Outcome& out) {
  const std::string token(req["resume_token"].asStringRef().utf8_view());
  if (!FindToken(token, caller)) return ErrorReply(kRedo, reply, out);
  if (uint32_t refused = ctx_.resumes.Refused(token); refused != 0) {
    ctx_.resumes.SetRefused(token, 0);
    return ErrorReply(refused, reply, out);
  }
  // A receive of this token still running elsewhere belongs to a client
  // that went away: stop it, keeping what arrived.
  if (!ctx_.resumes.ClaimReceive(token, id_, &abort_, kTakeoverWait)) return ErrorReply(kRedo, reply, out);
  ctx_.resumes.ReleaseReceive(token, id_);
  struct stat st;
  const std::string file = ctx_.content.resume_dir() + "/" + token;
  const uint64_t held = ::stat(file.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  current_token_ = token;
  token_offset_ = held;
  reply["file"]["offset"] = static_cast<unsigned long long>(held);
}

}  // namespace tidewell::server
