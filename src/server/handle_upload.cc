// "upload" (23), "resume_upload" (27) and the de-duplication probe: read
// the request, check it early, build and verify the new content from the
// body (whole or a delta against the base version), and hand the change to
// the committer.

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ctime>

#include "delta/delta_file_reader.h"
#include "server/committer.h"
#include "server/content_hasher.h"
#include "server/path_rules.h"
#include "server/server_connection.h"
#include "server/server_error.h"
#include "server/server_log.h"
#include "server/upload_change.h"

namespace tidewell::server {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

// Fills the plan's request-side fields. False when a needed key is missing
// or of the wrong type.
bool ReadPlan(const PObject& req, UploadPlan& plan) {
  if (!req["path"].isString()) return false;
  plan.is_dir = req["is_dir"].asBool();
  plan.base = req["sync_id"].asUInt64();
  plan.common_mtime = req["common_attribute"]["mtime"].asUInt32();
  const PObject& mtime = req["mtime"];
  plan.mtime_refer = mtime.isMap() ? mtime["refer"].asBool() : false;
  plan.mtime = mtime.isMap() && mtime.hasMember("mtime") ? mtime["mtime"].asUInt32() : plan.common_mtime;
  const PObject& exec = req["exec_bit"];
  plan.exec_refer = !exec.isMap() || exec["refer"].asBool() || !exec.hasMember("exec_bit");
  plan.exec_bit = exec["exec_bit"].asUInt32() != 0 ? 1 : 0;
  plan.now = static_cast<uint32_t>(time(nullptr));
  if (plan.is_dir) return true;
  const PObject& file = req["file"];
  if (!file.isMap()) return false;
  plan.request_md4 = Lower(file["hash"].asStringRef().utf8_view());
  plan.request_size = file["size"].asUInt64();
  return true;
}

}  // namespace

void ServerConnection::HandleProbe(const PObject& req, const Caller& caller, const std::string& path, PObject& reply,
                                   Outcome& out) {
  UploadPlan plan;
  plan.user_id = caller.user.id;
  plan.view_id = caller.view.id;
  plan.path = path;
  if (!ReadPlan(req, plan)) return ErrorReply(kUnsupported, reply, out);
  if (req["file"]["refer"].asBool()) plan.content = UploadPlan::Content::kCurrent;
  ObjectRow current;
  int rc = PrecheckUpload(*reader_, plan, &current);
  if (rc < 0) return FailReply(kRedo, "the database failed during a probe", reply, out);
  if (rc != 0) return ErrorReply(static_cast<uint32_t>(rc), reply, out);
  uint64_t file_id = 0;
  if (!plan.is_dir) {
    const uint64_t quota = ctx_.QuotaFor(caller.user.quota);
    const uint64_t old_size = current.id != 0 ? current.size : 0;
    if (quota != 0 && plan.request_size > old_size && caller.user.usage + (plan.request_size - old_size) > quota) {
      return ErrorReply(kQuota, reply, out);
    }
    const uint64_t free_bytes = ctx_.content.FreeBytes();
    if (free_bytes < ctx_.options.disk_reserve || plan.request_size > free_bytes - ctx_.options.disk_reserve) {
      return ErrorReply(kDiskFull, reply, out);
    }
    ContentRow content;
    int found = reader_->FindContentByMd4(caller.user.id, plan.request_md4, plan.request_size, content);
    if (found < 0) return FailReply(kRedo, "the database failed during a probe", reply, out);
    if (found == 1) file_id = static_cast<uint64_t>(content.id);
  }
  // The probe tells the current token which path its body is for.
  if (!current_token_.empty()) {
    int64_t owner = 0;
    uint64_t view = 0;
    if (ctx_.resumes.Lookup(current_token_, owner, view) && owner == caller.user.id) {
      ResumeTokenRow row;
      row.token = current_token_;
      row.user_id = owner;
      row.view_id = caller.view.id;
      row.path = path;
      row.last_used = static_cast<int64_t>(time(nullptr));
      auto ticket =
          ctx_.committer.Submit([row](StoreTxn& txn, CommitEffects&) { return txn.PutResumeToken(row) == 0 ? 0 : -1; });
      if (AwaitCommit(ticket) != 0) return FailReply(kRedo, "cannot record a resume token", reply, out);
    }
  }
  reply["file"]["file_id"] = static_cast<unsigned long long>(file_id);
}

void ServerConnection::HandleUpload(uint8_t command, const PObject& req, const Caller& caller, PObject& reply,
                                    Outcome& out) {
  (void)command;
  const bool resumable = req["action"].asStringRef().utf8_view() == "resume_upload";
  // A completed resumable body is consumed whatever the outcome: the
  // daemon starts afresh with a new token after any reply.
  std::string consumed_token;
  struct ConsumeToken {
    ServerConnection* self;
    std::string* token;
    ~ConsumeToken() {
      if (token->empty()) return;
      ::unlink((self->ctx_.content.resume_dir() + "/" + *token).c_str());
      self->ctx_.resumes.Remove(*token);
      const std::string t = *token;
      auto ticket =
          self->ctx_.committer.Submit([t](StoreTxn& txn, CommitEffects&) { return txn.DeleteResumeToken(t) == 0 ? 0 : -1; });
      // Gone from the store before the reply leaves: a status request right
      // after it would otherwise find the row and bring the token back.
      (void)self->AwaitCommit(ticket);
      if (self->current_token_ == t) self->current_token_.clear();
    }
  } consume{this, &consumed_token};

  std::string path;
  if (!req["path"].isString()) return ErrorReply(kUnsupported, reply, out);
  if (!NormalizePath(req["path"].asStringRef().utf8_view(), path) || path == "/") {
    return ErrorReply(kUploadChanged, reply, out);
  }
  out.path = path;
  if (req["dry_run"].asBool()) return HandleProbe(req, caller, path, reply, out);
  if (body_.refused != 0) return ErrorReply(body_.refused, reply, out);
  if (resumable) {
    if (current_token_.empty() || req["resume_token"].asStringRef().utf8_view() != current_token_) {
      return ErrorReply(kRedo, reply, out);
    }
    if (body_.present) consumed_token = current_token_;
  }

  UploadPlan plan;
  plan.user_id = caller.user.id;
  plan.view_id = caller.view.id;
  plan.path = path;
  plan.quota = ctx_.QuotaFor(caller.user.quota);
  plan.keep_versions = ctx_.options.keep_versions;
  if (!ReadPlan(req, plan)) return ErrorReply(kUnsupported, reply, out);
  const PObject& file = req["file"];
  if (!plan.is_dir) {
    if (file["refer"].asBool()) {
      const uint64_t file_id = file["file_id"].asUInt64();
      plan.content = file_id != 0 ? UploadPlan::Content::kStored : UploadPlan::Content::kCurrent;
      plan.file_id = static_cast<int64_t>(file_id);
      plan.md4 = plan.request_md4;
      plan.size = plan.request_size;
    } else {
      plan.content = UploadPlan::Content::kNew;
      // A body is needed, and a hash to check what it makes.
      if (!body_.present || plan.request_md4.size() != 32) return ErrorReply(kRedo, reply, out);
    }
  }

  PathClaim claim(ctx_.claims, plan.view_id, path);
  if (!claim.held()) return ErrorReply(kRedo, reply, out);
  ObjectRow current;
  int rc = PrecheckUpload(*reader_, plan, &current);
  if (rc < 0) return FailReply(kRedo, "the database failed during an upload", reply, out);
  if (rc != 0) return ErrorReply(static_cast<uint32_t>(rc), reply, out);

  if (plan.content == UploadPlan::Content::kNew) {
    std::string built = body_.file;
    if (file["is_delta"].asBool()) {
      // The delta applies to the version the client based its change on.
      ContentRow base;
      int found = current.id != 0 ? reader_->GetVersionContent(current.id, plan.base, base) : 0;
      if (found < 0) return FailReply(kRedo, "the database failed during an upload", reply, out);
      if (found == 0) return ErrorReply(kRedo, reply, out);
      std::string rebuilt;
      if (ctx_.content.NewTemp(rebuilt) != 0) return FailReply(kRedo, "no temporary file", reply, out);
      const std::string basis = ctx_.content.BlobPath(base.sha256);
      const std::string delta = built;
      int patched = RunLong([&] {
        DeltaFileReader reader;
        reader.setFile(ustring(delta), ustring(basis));
        reader.setNewFile(ustring(rebuilt));
        return reader.readFile();
      });
      // The rebuilt file is owned like a body from here on, so that it goes
      // with the request; the delta is done with.
      if (body_.temp) ::unlink(body_.file.c_str());
      body_.file = rebuilt;
      body_.temp = true;
      if (patched != 0) {
        SRV_LOG_NOTE("connection %llu: the delta for '%s' does not apply (%d)", static_cast<unsigned long long>(id_),
                     path.c_str(), patched);
        return ErrorReply(kRedo, reply, out);
      }
      built = rebuilt;
      body_.digest_valid = false;
    }
    if (body_.digest_valid && body_.hasher != nullptr) {
      body_.hasher->Finish(plan.sha256, plan.md4);
      plan.size = body_.total;
    } else if (HashFile(built, plan.sha256, plan.md4, plan.size, [this] { Tick(); }) != 0) {
      return FailReply(kRedo, "cannot read a received body", reply, out);
    }
    if (plan.size != plan.request_size || plan.md4 != plan.request_md4) {
      SRV_LOG_NOTE("connection %llu: '%s' arrived as %llu bytes with MD4 %s, announced %llu bytes with %s",
                   static_cast<unsigned long long>(id_), path.c_str(), static_cast<unsigned long long>(plan.size),
                   plan.md4.c_str(), static_cast<unsigned long long>(plan.request_size), plan.request_md4.c_str());
      return ErrorReply(kRedo, reply, out);
    }
    plan.temp_file = built;
  }

  UploadResult result;
  auto ticket = ctx_.committer.Submit(
      [&plan, &result](StoreTxn& txn, CommitEffects& effects) { return ApplyUpload(txn, plan, effects, result); });
  rc = AwaitCommit(ticket);
  if (rc < 0) return FailReply(kRedo, "an upload could not be committed", reply, out);
  if (rc != 0) return ErrorReply(static_cast<uint32_t>(rc), reply, out);
  reply["sync_id"] = static_cast<unsigned long long>(result.sync_id);
  reply["max_id"] = static_cast<unsigned long long>(result.sync_id);
  reply["is_dir"] = result.is_dir ? 1 : 0;
}

}  // namespace tidewell::server
