// "resume_download" (27, with a token; 24 without): the object's current
// version, a file as a delta against the client's version when that is
// smaller, else whole. The prepared body stays with the token so that a
// broken transfer continues from an offset.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "delta/file_reader.h"
#include "server/path_rules.h"
#include "server/server_connection.h"
#include "server/server_error.h"
#include "server/server_log.h"

namespace tidewell::server {

namespace {

constexpr uint32_t kBlockSize = 2048;
constexpr uint32_t kStrongSum = 8;

uint64_t FileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : UINT64_MAX;
}

}  // namespace

void ServerConnection::HandleDownload(uint8_t command, const PObject& req, const Caller& caller, PObject& reply,
                                      Outcome& out) {
  std::string token;
  if (command == 27) {
    token.assign(req["resume_token"].asStringRef().utf8_view());
    if (!FindToken(token, caller)) return ErrorReply(kRedo, reply, out);
  }
  const uint64_t offset = req["file"]["offset"].asUInt64();
  if (!req["path"].isString()) return ErrorReply(kUnsupported, reply, out);
  std::string path;
  if (!NormalizePath(req["path"].asStringRef().utf8_view(), path)) return ErrorReply(kDownloadGone, reply, out);
  out.path = path;

  if (offset > 0) {
    // Continue the body prepared for this token.
    DownloadBody body;
    if (token.empty() || !ctx_.resumes.GetDownload(token, body) || offset > body.length ||
        FileSize(body.file) != body.length) {
      return ErrorReply(kRedo, reply, out);
    }
    reply = body.reply;
    PObject::binary_type data;
    data.path = ustring(body.file);
    data.offset = offset;
    data.length = body.length - offset;
    reply["file"]["data"] = data;
    return;
  }

  const uint64_t base = req["sync_id"].asUInt64();
  if (reader_->BeginSnapshot() != 0) return FailReply(kRedo, "the database failed during a download", reply, out);
  ObjectRow obj;
  ContentRow content;
  ContentRow basis;
  int found = reader_->GetObject(caller.view.id, path, obj);
  int content_found = 0;
  int basis_found = 0;
  if (found == 1 && !obj.is_removed && !obj.is_dir && obj.sync_id != base) {
    content_found = reader_->GetContent(obj.content_id, content);
    if (base != 0) basis_found = reader_->GetVersionContent(obj.id, base, basis);
  }
  reader_->EndSnapshot();
  if (found < 0 || content_found < 0 || basis_found < 0) {
    return FailReply(kRedo, "the database failed during a download", reply, out);
  }
  if (found == 0 || obj.is_removed) return ErrorReply(kDownloadGone, reply, out);
  reply["sync_id"] = static_cast<unsigned long long>(obj.sync_id);
  reply["max_id"] = static_cast<unsigned long long>(obj.sync_id);
  reply["is_dir"] = obj.is_dir ? 1 : 0;
  if (obj.sync_id == base) return;  // the client holds this version
  reply["mtime"]["refer"] = 0;
  reply["mtime"]["mtime"] = obj.mtime;
  if (obj.is_dir) return;
  if (content_found == 0) return FailReply(kRedo, "a file's content is missing", reply, out);

  // A link of its own to the blob, so that the body outlives the blob
  // should a later version push it out while the client still reads.
  DownloadBody body;
  body.owned = true;
  if (ctx_.content.NewTemp(body.file, ctx_.content.download_dir()) != 0 || ::unlink(body.file.c_str()) != 0 ||
      ::link(ctx_.content.BlobPath(content.sha256).c_str(), body.file.c_str()) != 0) {
    if (!body.file.empty()) ::unlink(body.file.c_str());
    return FailReply(kRedo, "cannot prepare a download body", reply, out);
  }
  body.length = content.size;
  bool is_delta = false;
  if (basis_found == 1 && content.size > 0) {
    // Signature of the client's version, then the delta of the current one.
    std::string signature;
    std::string delta;
    if (ctx_.content.NewTemp(signature) == 0 && ctx_.content.NewTemp(delta, ctx_.content.download_dir()) == 0) {
      const std::string basis_file = ctx_.content.BlobPath(basis.sha256);
      const std::string current_file = body.file;
      int rc = RunLong([&] {
        SimpleFileReader sign;
        sign.setFile(ustring(basis_file));
        sign.setSignature(ustring(signature), kBlockSize, kStrongSum);
        int r = sign.readFile();
        if (r != 0) return r;
        SimpleFileReader diff;
        diff.setFile(ustring(current_file));
        diff.setDelta(ustring(delta), ustring(signature));
        return diff.readFile();
      });
      const uint64_t delta_size = rc == 0 ? FileSize(delta) : UINT64_MAX;
      if (delta_size < content.size) {
        ::unlink(body.file.c_str());
        body.file = delta;
        body.length = delta_size;
        is_delta = true;
      } else {
        ::unlink(delta.c_str());
      }
    }
    if (!signature.empty()) ::unlink(signature.c_str());
  }
  PObject& f = reply["file"];
  f["refer"] = 0;
  f["is_delta"] = is_delta ? 1 : 0;
  f["size"] = static_cast<unsigned long long>(content.size);
  f["hash"] = obj.md4;
  reply["exec_bit"]["refer"] = 0;
  reply["exec_bit"]["exec_bit"] = obj.exec_bit;
  body.reply = reply;
  PObject::binary_type data;
  data.path = ustring(body.file);
  data.offset = 0;
  data.length = body.length;
  f["data"] = data;
  if (!token.empty()) {
    ctx_.resumes.SetDownload(token, std::move(body));
  } else {
    // Without a token the body goes with the request.
    body_.file = body.file;
    body_.temp = true;
  }
}

}  // namespace tidewell::server
