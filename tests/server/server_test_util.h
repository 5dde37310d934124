// Helpers for the server's protocol tests: the real tidewell-server program
// on a free 127.0.0.1 port with its own data folder, and a client made of
// the daemon's own parts (connection pool, handshake, ProtoExchange) that
// builds requests the way the daemon does.

#ifndef TIDEWELL_TESTS_SERVER_SERVER_TEST_UTIL_H_
#define TIDEWELL_TESTS_SERVER_SERVER_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/server_process.h"
#include "common/temp_dir.h"
#include "net/conn_test_util.h"
#include "net/connection_handshake.h"
#include "net/connection_pool.h"
#include "net/pobject.h"
#include "net/pstream.h"

namespace tidewell::testing {

// Command bytes of the requests.
inline constexpr uint8_t kCmdEncrypt = 22;
inline constexpr uint8_t kCmdConnect = 14;
inline constexpr uint8_t kCmdPull = 6;
inline constexpr uint8_t kCmdUpload = 23;
inline constexpr uint8_t kCmdDownload = 24;
inline constexpr uint8_t kCmdRemove = 15;
inline constexpr uint8_t kCmdResume = 27;

// One account of the server under test.
struct Account {
  std::string user;
  std::string session;
  uint64_t view_id = 0;
};

// The account `init` made (the login name, its session and view "home").
Account AccountOf(const ServerProcess& server);
// Runs an administration command ("user", "add", ...) on the server's data
// folder; its output, and its exit status in `status`.
std::string RunAdmin(const ServerProcess& server, const std::vector<std::string>& args, int* status = nullptr);
// "user add" of `name`: the new account.
Account AddUser(const ServerProcess& server, const std::string& name);
// Waits until the server's log holds `text`, at most `seconds`.
bool WaitForLog(const ServerProcess& server, const std::string& text, int seconds = 30);

// A client connection made of the daemon's parts.
class TestClient {
 public:
  // `task` picks the handshake: the pullers ask for SSL with
  // "encrypt_channel", a worker with "do_ssl".
  TestClient(int port, const Account& account, bool use_ssl = false,
             HandshakeTask task = HandshakeTask::kWorker);
  ~TestClient();

  // The daemon's handshake; its daemon result code.
  int Connect();
  // One request and its reply (keep-alives skipped); the ProtoExchange code.
  int Call(uint8_t command, const PObject& request, PObject& reply);
  // Like Call, but fails the test on a transport failure and returns the
  // reply's error code (0 when none).
  uint64_t CallCode(uint8_t command, const PObject& request, PObject& reply);

  // Requests built as the daemon builds them (session and view filled in).
  PObject Base(const char* action) const;
  PObject Pull(uint64_t since, const std::string& path = "/", bool recursive = true) const;
  // A whole-file upload of `local` (a file; "" for a folder) to `path`.
  PObject Upload(const std::string& path, const std::string& local, uint64_t base, bool is_dir = false) const;
  PObject Download(const std::string& path, uint64_t base) const;
  PObject Remove(const std::string& path, uint64_t base, uint64_t max_id) const;

  // Uploads a file with this content (written to a scratch file), or a
  // folder; returns the reply's error code and sets `sync_id`.
  uint64_t Put(const std::string& path, const std::string& content, uint64_t base, uint64_t* sync_id = nullptr);
  uint64_t PutDir(const std::string& path, uint64_t base, uint64_t* sync_id = nullptr);
  // Downloads with command 24 (no token); the content of the received body
  // (whole or the delta) goes to `body`.
  uint64_t Get(const std::string& path, uint64_t base, PObject& reply, std::string* body = nullptr);
  // Pulls every page from `since`; the events in order. Fails the test on an
  // error reply. `next` gets the last page's "next_sync_id".
  std::vector<PObject> PullAll(uint64_t since, const std::string& path = "/", uint64_t* next = nullptr);

  Channel& channel() { return connection_->GetChannel(); }
  // What the handshake recorded from the connect reply's "pull_wait".
  bool pull_wait() const { return connection_->pull_wait; }
  const Account& account() const { return account_; }
  const std::string& scratch() const { return scratch_.path(); }

 private:
  Account account_;
  HandshakeTask task_;
  ConnectionPool pool_;
  Connection* connection_;
  PStream stream_;
  TempDir scratch_;
  int files_ = 0;
};

// The MD4 hash text of `content`, as the daemon computes it.
std::string Md4Text(const std::string& content);
// `n` random bytes from `rng`.
std::string RandomBytes(std::mt19937_64& rng, size_t n);
// The seed of a randomised test: TIDEWELL_SEED when set, else fixed; printed.
uint64_t TestSeed();
// The contents of a file ("" when unreadable).
std::string ReadWhole(const std::string& path);
void WriteWhole(const std::string& path, const std::string& content);

}  // namespace tidewell::testing


// ---------------------------------------------------------------------------
// Definitions (header-only: the folder's test executable has several files).

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "delta/md4.h"
#include "net/protocol_request.h"

namespace tidewell::testing {

inline std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteWhole(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

inline std::string Md4Text(const std::string& content) {
  uint8_t d[kMD4DigestSize];
  MD4Digest(content.data(), content.size(), d);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : d) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

inline std::string RandomBytes(std::mt19937_64& rng, size_t n) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(rng() & 0xFF);
  return out;
}

inline uint64_t TestSeed() {
  const char* env = getenv("TIDEWELL_SEED");
  uint64_t seed = env != nullptr ? std::strtoull(env, nullptr, 10) : 20240611;
  std::printf("seed %llu (replay with TIDEWELL_SEED=%llu)\n", static_cast<unsigned long long>(seed),
              static_cast<unsigned long long>(seed));
  return seed;
}

// Parses "key=value" lines of an administration command's output.
inline std::string OutputValue(const std::string& out, const std::string& key) {
  size_t at = out.find(key + "=");
  if (at == std::string::npos) return {};
  size_t end = out.find('\n', at);
  return out.substr(at + key.size() + 1, end == std::string::npos ? std::string::npos : end - at - key.size() - 1);
}

inline Account AccountOf(const ServerProcess& server) {
  Account a;
  struct passwd* pw = getpwuid(getuid());
  a.user = pw != nullptr ? pw->pw_name : "";
  a.session = server.session();
  a.view_id = server.view_id();
  return a;
}

inline std::string RunAdmin(const ServerProcess& server, const std::vector<std::string>& args, int* status) {
  ChildProcess p;
  std::vector<std::string> argv{ServerProcess::BinaryPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back("--data");
  argv.push_back(server.data_dir());
  p.Start(argv);
  int rc = p.Wait();
  if (status != nullptr) *status = rc;
  return p.output();
}

inline Account AddUser(const ServerProcess& server, const std::string& name) {
  int status = -1;
  std::string out = RunAdmin(server, {"user", "add", "--user", name}, &status);
  EXPECT_EQ(0, status) << out;
  Account a;
  a.user = name;
  a.session = OutputValue(out, "session");
  a.view_id = std::strtoull(OutputValue(out, "view_id").c_str(), nullptr, 10);
  return a;
}

inline bool WaitForLog(const ServerProcess& server, const std::string& text, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    if (server.Log().find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

inline TestClient::TestClient(int port, const Account& account, bool use_ssl, HandshakeTask task)
    : account_(account),
      task_(task),
      pool_(
          [&] {
            ConnectionInfo info;
            info.server_ip = "127.0.0.1";
            info.server_port = port;
            info.session = ustring(account.session);
            info.use_ssl = use_ssl;
            return info;
          }(),
          ProxyInfo(), TunnelInfo(), 1),
      connection_(pool_.pop()) {
  stream_.SetDefaultRecvLocation(ustring(scratch_.path()));
}

inline TestClient::~TestClient() {
  connection_->Drop();
  pool_.push(connection_);
}

inline int TestClient::Connect() {
  ConnectionHandshake handshake(task_);
  return handshake.RequestChannel(pool_, *connection_, account_.view_id);
}

inline int TestClient::Call(uint8_t command, const PObject& request, PObject& reply) {
  reply.clear();
  return ProtoExchange(channel(), stream_, command, request, reply, 90);
}

inline uint64_t TestClient::CallCode(uint8_t command, const PObject& request, PObject& reply) {
  int rc = Call(command, request, reply);
  EXPECT_EQ(0, rc) << request.toString().c_str_utf8();
  if (rc != 0) return UINT64_MAX;
  EXPECT_TRUE(reply.hasMember("alive")) << reply.toString().c_str_utf8();
  return reply["error"]["code"].asUInt64();
}

inline PObject TestClient::Base(const char* action) const {
  PObject req;
  req["_action"] = action;
  req["session"] = account_.session;
  req["view_id"] = static_cast<unsigned long long>(account_.view_id);
  ConnectionHandshake::AppendAgent(req);
  return req;
}

inline PObject TestClient::Pull(uint64_t since, const std::string& path, bool recursive) const {
  PObject req = Base("pull_event");
  req["sync_id"] = static_cast<unsigned long long>(since);
  req["path"] = path;
  req["node_id"] = 0;
  req["recursive"] = recursive ? 1 : 0;
  return req;
}

inline PObject TestClient::Upload(const std::string& path, const std::string& local, uint64_t base,
                                  bool is_dir) const {
  PObject req = Base("upload");
  req["sync_id"] = static_cast<unsigned long long>(base);
  req["max_id"] = static_cast<unsigned long long>(base);
  req["path"] = path;
  req["is_dir"] = is_dir;
  req["common_attribute"]["mtime"] = 1700000000u;
  req["mtime"]["refer"] = false;
  req["mtime"]["mtime"] = 1700000000u;
  req["mac_attribute"]["refer"] = true;
  req["exec_bit"]["refer"] = true;
  if (!is_dir) {
    std::string content = ReadWhole(local);
    PObject& file = req["file"];
    file["size"] = static_cast<unsigned long long>(content.size());
    file["hash"] = Md4Text(content);
    file["refer"] = false;
    file["is_delta"] = false;
    PObject::binary_type data;
    data.path = ustring(local);
    data.offset = 0;
    data.length = content.size();
    file["data"] = data;
  }
  return req;
}

inline PObject TestClient::Download(const std::string& path, uint64_t base) const {
  PObject req = Base("resume_download");
  req["sync_id"] = static_cast<unsigned long long>(base);
  req["max_id"] = static_cast<unsigned long long>(base);
  req["target_sync_id"] = static_cast<unsigned long long>(base + 1);
  req["path"] = path;
  req["file"]["ignore"] = false;
  req["file"]["offset"] = 0;
  req["mtime"]["ignore"] = false;
  req["mtime"]["offset"] = 0;
  req["mac_attribute"]["ignore"] = true;
  req["mac_attribute"]["offset"] = 0;
  req["exec_bit"]["ignore"] = true;
  req["exec_bit"]["offset"] = 0;
  req["force_current_version"] = false;
  return req;
}

inline PObject TestClient::Remove(const std::string& path, uint64_t base, uint64_t max_id) const {
  PObject req = Base("remove");
  req["sync_id"] = static_cast<unsigned long long>(base);
  req["max_id"] = static_cast<unsigned long long>(max_id);
  req["path"] = path;
  return req;
}

inline uint64_t TestClient::Put(const std::string& path, const std::string& content, uint64_t base,
                                uint64_t* sync_id) {
  const std::string local = scratch_.Join("up" + std::to_string(files_++));
  WriteWhole(local, content);
  PObject reply;
  uint64_t code = CallCode(kCmdUpload, Upload(path, local, base), reply);
  if (sync_id != nullptr) *sync_id = reply["sync_id"].asUInt64();
  ::unlink(local.c_str());
  return code;
}

inline uint64_t TestClient::PutDir(const std::string& path, uint64_t base, uint64_t* sync_id) {
  PObject reply;
  uint64_t code = CallCode(kCmdUpload, Upload(path, "", base, true), reply);
  if (sync_id != nullptr) *sync_id = reply["sync_id"].asUInt64();
  return code;
}

inline uint64_t TestClient::Get(const std::string& path, uint64_t base, PObject& reply, std::string* body) {
  uint64_t code = CallCode(kCmdDownload, Download(path, base), reply);
  const PObject& answer = reply;
  const PObject::binary_type& data = answer["file"]["data"].asBinary();
  if (!data.path.empty()) {
    if (body != nullptr) *body = ReadWhole(data.path.c_str_utf8());
    ::unlink(data.path.c_str_utf8());
  }
  return code;
}

inline std::vector<PObject> TestClient::PullAll(uint64_t since, const std::string& path, uint64_t* next) {
  std::vector<PObject> events;
  for (int page = 0; page < 100000; ++page) {
    PObject reply;
    uint64_t code = CallCode(kCmdPull, Pull(since, path), reply);
    EXPECT_EQ(0u, code) << reply.toString().c_str_utf8();
    if (code != 0) break;
    for (const PObject& ev : reply["event_list"].asArray()) events.push_back(ev);
    uint64_t n = reply["next_sync_id"].asUInt64();
    if (n == since) break;
    since = n;
  }
  if (next != nullptr) *next = since;
  return events;
}

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_SERVER_SERVER_TEST_UTIL_H_
