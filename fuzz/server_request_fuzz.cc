// Request handling of the sync server. Each input is the byte stream one
// client sends on a connection -- headers, request objects, upload bodies,
// one request after another -- served by a ServerConnection over a memory
// channel against a real store (SQLite and blob folder in a scratch
// folder, made once per process). The account's session token is fixed
// (kFuzzToken), so inputs can connect and reach every request. Nothing may
// crash, leak or write outside the scratch folder.
//
// Seed inputs are made with the project's own encoders:
//   TIDEWELL_FUZZ_SEEDS=fuzz/corpus/server_request ./server_request_fuzz
// writes them and exits. Dictionary: fuzz/server_request.dict.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "base/log.h"
#include "delta/md4.h"
#include "fuzz_files.h"
#include "net/memory_channel.h"
#include "net/protocol.h"
#include "net/pstream.h"
#include "server/content_hasher.h"
#include "server/server_connection.h"
#include "server/server_context.h"
#include "server/store.h"

namespace {

using namespace tidewell;
using namespace tidewell::server;

constexpr const char* kFuzzToken = "0123456789abcdef0123456789abcdef";
ServerContext* g_ctx = nullptr;
std::string g_dir;
uint64_t g_view = 0;

void QuietLog() {
  int fd = memfd_create("levels", MFD_CLOEXEC);
  const std::string text = "server_debug = 1\nchannel_debug = 1\nproto_common_debug = 1\n";
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return;
  (void)Logger::Initialize(Logger::STDERR_LOGGER, ustring(), ustring("/proc/self/fd/" + std::to_string(fd)), 10);
  close(fd);
}

// --- seeds ---------------------------------------------------------------

std::string Encode(uint8_t command, const PObject& request) {
  MemoryChannel ch;
  PStream ps;
  if (ProtoWriteHeader(ch, 0, command) != 0 || ps.Send(ch, request) != 0) abort();
  return ch.output();
}

PObject Req(const char* action) {
  PObject r;
  r["_action"] = action;
  r["session"] = kFuzzToken;
  r["view_id"] = static_cast<unsigned long long>(g_view);
  return r;
}

PObject UploadReq(const char* action, const std::string& path, const std::string& body_file, uint64_t size,
                  const char* md4, uint64_t base) {
  PObject r = Req(action);
  r["path"] = path;
  r["sync_id"] = static_cast<unsigned long long>(base);
  r["max_id"] = static_cast<unsigned long long>(base);
  r["is_dir"] = false;
  r["common_attribute"]["mtime"] = 1700000000u;
  r["mtime"]["refer"] = false;
  r["mtime"]["mtime"] = 1700000000u;
  r["exec_bit"]["refer"] = true;
  r["file"]["size"] = static_cast<unsigned long long>(size);
  r["file"]["hash"] = md4;
  r["file"]["refer"] = false;
  if (!body_file.empty()) {
    PObject::binary_type data;
    data.path = ustring(body_file);
    data.length = size;
    r["file"]["data"] = data;
  }
  return r;
}

void WriteSeeds(const std::string& out) {
  const std::string body = g_dir + "/seed-body";
  fuzzing::WriteAll(body, reinterpret_cast<const uint8_t*>("hello"), 5);
  uint8_t digest[kMD4DigestSize];
  MD4Digest("hello", 5, digest);
  const std::string md4_text = HexText(digest, sizeof(digest));
  const char* md4_hello = md4_text.c_str();
  PObject connect = Req("connect");
  const std::string hello = Encode(14, connect);
  PObject pull = Req("pull_event");
  pull["sync_id"] = 0;
  pull["path"] = "/";
  pull["recursive"] = 1;
  PObject cond = pull;
  cond["sync_id"] = 1;
  cond["condition"]["extension"] = "txt";
  cond["condition"]["min_size"] = 1;
  cond["condition"]["max_size"] = 0;
  PObject folder = Req("upload");
  folder["path"] = "/docs";
  folder["sync_id"] = 0;
  folder["is_dir"] = true;
  folder["mtime"]["mtime"] = 1;
  PObject download = Req("resume_download");
  download["path"] = "/docs/a.txt";
  download["sync_id"] = 0;
  download["file"]["offset"] = 0;
  PObject remove = Req("remove");
  remove["path"] = "/docs";
  remove["sync_id"] = 5;
  remove["max_id"] = 9;
  PObject token = Req("resume_get_token");
  PObject status = Req("resume_get_status");
  status["_resume_token"] = "00000000000000000000000000000000";
  PObject probe = UploadReq("upload", "/big.bin", "", 5, md4_hello, 0);
  probe["dry_run"] = true;
  PObject resume = UploadReq("resume_upload", "/big.bin", body, 5, md4_hello, 0);
  resume["_resume_token"] = "00000000000000000000000000000000";
  PObject encrypt;
  encrypt["_action"] = "encrypt_channel";

  struct Seed {
    const char* name;
    std::string bytes;
  };
  const Seed seeds[] = {
      {"connect-pull", hello + Encode(6, pull) + Encode(6, cond)},
      {"upload-download-remove", hello + Encode(23, folder) +
                                     Encode(23, UploadReq("upload", "/docs/a.txt", body, 5, md4_hello, 0)) +
                                     Encode(24, download) + Encode(15, remove)},
      {"resumable", hello + Encode(27, token) + Encode(23, probe) + Encode(27, resume) + Encode(27, status)},
      {"download-token", hello + Encode(27, token) + Encode(27, download)},
      {"before-connect", Encode(6, pull) + Encode(22, encrypt)},
  };
  for (const Seed& s : seeds) {
    fuzzing::WriteAll(out + "/" + s.name, reinterpret_cast<const uint8_t*>(s.bytes.data()), s.bytes.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QuietLog();
  g_dir = fuzzing::MakeScratchDir("/tmp/tidewell-server-fuzz-XXXXXX");
  std::unique_ptr<Store> store = OpenSqliteStore(g_dir + "/server.db", true);
  if (store == nullptr) abort();
  int rc = store->Write([](StoreTxn& txn) {
    int64_t user = 0;
    if (txn.AddUser("fuzz", 0, user) != 0 || txn.AddView(user, "home", g_view) != 0) return -1;
    return txn.AddToken(user, TokenHash(kFuzzToken));
  });
  if (rc != 0) abort();
  ServerOptions options;
  options.data_dir = g_dir;
  options.disk_reserve = 0;
  // A waiting pull would hold one input for up to a minute.
  options.pull_wait = false;
  g_ctx = new ServerContext(options, std::move(store));
  if (g_ctx->content.Init() != 0) abort();
  g_ctx->committer.Start();
  if (const char* out = getenv("TIDEWELL_FUZZ_SEEDS")) {
    WriteSeeds(out);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    ServerConnection conn(*g_ctx, std::make_unique<MemoryChannel>(std::string(reinterpret_cast<const char*>(data), size)));
    conn.Run();
  }
  // Resume tokens of this input go with it, and their bytes.
  for (const std::string& token : g_ctx->resumes.Expire(std::chrono::seconds(0))) {
    ::unlink((g_ctx->content.resume_dir() + "/" + token).c_str());
  }
  return 0;
}
