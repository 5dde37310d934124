// "remove": an object and its subtree, removed under one new sync id.

#include "server/committer.h"
#include "server/path_rules.h"
#include "server/server_connection.h"
#include "server/server_error.h"
#include "server/upload_change.h"

namespace tidewell::server {

void ServerConnection::HandleRemove(const PObject& req, const Caller& caller, PObject& reply, Outcome& out) {
  if (!req["path"].isString() || !req["sync_id"].isInteger()) return ErrorReply(kUnsupported, reply, out);
  std::string path;
  if (!NormalizePath(req["path"].asStringRef().utf8_view(), path)) return ErrorReply(kRemoveGone, reply, out);
  out.path = path;
  const uint64_t base = req["sync_id"].asUInt64();
  // A client that sends no "max_id" has seen nothing newer than its base.
  const uint64_t max_id = req.hasMember("max_id") ? req["max_id"].asUInt64() : base;
  const int64_t user_id = caller.user.id;
  const uint64_t view_id = caller.view.id;
  uint64_t removed_id = 0;
  auto ticket = ctx_.committer.Submit([&](StoreTxn& txn, CommitEffects& effects) {
    // A removal that is not refused always takes a new id in the view.
    effects.changed_view = view_id;
    return ApplyRemove(txn, user_id, view_id, path, base, max_id, removed_id);
  });
  int rc = AwaitCommit(ticket);
  // A failure of the server's own: the daemon redoes the removal.
  if (rc < 0) return FailReply(kRedo, "a removal could not be committed", reply, out);
  if (rc != 0) return ErrorReply(static_cast<uint32_t>(rc), reply, out);
  reply["sync_id"] = static_cast<unsigned long long>(removed_id);
  reply["max_id"] = static_cast<unsigned long long>(removed_id);
}

}  // namespace tidewell::server
