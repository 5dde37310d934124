// "encrypt_channel" and "connect": the two requests a connection may send
// before it is authorised.

#include "server/server_connection.h"
#include "server/server_error.h"
#include "server/server_log.h"

namespace tidewell::server {

namespace {

// The package build reported to clients. Anything but 2402 makes them send
// "max_id" with their requests.
constexpr unsigned kServerBuild = 3100;

}  // namespace

void ServerConnection::HandleEncrypt(const PObject& req, PObject& reply, Outcome& out) {
  (void)req;
  if (!ctx_.ssl_enabled || ch_->IsSSL()) {
    // This request's own numbering: 2 = the server cannot do it.
    reply["error"]["code"] = kSslUnavailable;
    reply["error"]["message"] = ctx_.ssl_enabled ? "already encrypted" : "the server has no certificate";
    out.code = kSslUnavailable;
    return;
  }
  out.ssl_after = true;
}

void ServerConnection::HandleConnect(const PObject& req, PObject& reply, Outcome& out) {
  const PObject& session = req["session"];
  if (!session.isString()) return ErrorReply(kTokenUnknown, reply, out);
  UserRow user;
  int found = reader_->FindUserByTokenHash(TokenHash(session.asStringRef().utf8_view()), user);
  if (found < 0) return FailReply(kRedo, "the database failed during connect", reply, out);
  if (found == 0) return ErrorReply(kTokenUnknown, reply, out);
  if (connected_ && user.id != user_.id) return ErrorReply(kTokenOtherUser, reply, out);
  const PObject& view_id = req["view_id"];
  ViewRow view;
  found = view_id.isInteger() ? reader_->GetView(view_id.asUInt64(), view) : 0;
  if (found < 0) return FailReply(kRedo, "the database failed during connect", reply, out);
  if (found == 0 || view.user_id != user.id) return ErrorReply(kViewInvalid, reply, out);
  const bool do_ssl = req["do_ssl"].asBool();
  if (do_ssl && !ctx_.ssl_enabled) return ErrorReply(kNoSsl, reply, out);
  connected_ = true;
  user_ = user;
  PObject& version = reply["server"]["package_version"];
  version["major"] = 1;
  version["minor"] = 0;
  version["build"] = kServerBuild;
  // Tells the client that a pull may ask to be held until a change comes.
  if (ctx_.options.pull_wait) reply["pull_wait"] = true;
  out.ssl_after = do_ssl && !ch_->IsSSL();
}

}  // namespace tidewell::server
