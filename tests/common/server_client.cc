#include "common/server_client.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "delta/file_reader.h"
#include "delta/md4.h"
#include "net/connection_handshake.h"
#include "net/connection_pool.h"
#include "net/protocol_request.h"
#include "net/pstream.h"

namespace tidewell::testing {

std::string Md4Hex(const std::string& content) {
  uint8_t digest[kMD4DigestSize];
  MD4Digest(content.data(), content.size(), digest);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : digest) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

ServerClient::ServerClient(const ServerProcess& server, bool use_ssl) : server_(server) {
  ConnectionInfo info;
  info.server_ip = "127.0.0.1";
  info.server_port = server.port();
  info.session = server.session();
  info.use_ssl = use_ssl;
  info.computer_name = "TestPeer";
  pool_ = std::make_unique<ConnectionPool>(info, ProxyInfo(), TunnelInfo(), 1);
}

ServerClient::~ServerClient() = default;

PObject ServerClient::Request(uint8_t command, PObject request) {
  request["session"] = server_.session();
  request["view_id"] = static_cast<unsigned long long>(server_.view_id());
  ConnectionHandshake::AppendAgent(request);
  PooledConnection conn(*pool_);
  ConnectionHandshake hs(HandshakeTask::kEventPuller);
  PObject reply;
  int rc = hs.RequestChannel(*pool_, *conn, server_.view_id());
  if (rc == 0) {
    PStream ps;
    ps.SetDefaultRecvLocation(ustring(dir_.path()));
    rc = ProtoExchange(conn->GetChannel(), ps, command, request, reply, 90);
  }
  if (rc != 0) {
    conn->Drop();
    ADD_FAILURE() << "exchange with the server failed: " << rc;
    PObject failed;
    failed["transport_error"] = rc;
    return failed;
  }
  conn->Update(reply["alive"].asUInt32());
  return reply;
}

PObject ServerClient::Upload(const std::string& path, const std::string& content, uint64_t base, uint32_t mtime) {
  dir_.WriteFile("body", content);
  return UploadFile(path, dir_.Join("body"), base, mtime);
}

PObject ServerClient::UploadFile(const std::string& path, const std::string& body, uint64_t base, uint32_t mtime) {
  ustring hash;
  SimpleFileReader reader;
  reader.setFile(ustring(body));
  reader.setHashString(&hash);
  if (reader.readFile() != 0) {
    ADD_FAILURE() << "cannot read " << body;
    return PObject();
  }
  struct stat st;
  const uint64_t size = lstat(body.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  PObject req;
  req["_action"] = "upload";
  req["path"] = path;
  req["is_dir"] = false;
  req["sync_id"] = static_cast<unsigned long long>(base);
  req["max_id"] = static_cast<unsigned long long>(base);
  req["common_attribute"]["mtime"] = mtime;
  req["mtime"]["refer"] = false;
  req["mtime"]["mtime"] = mtime;
  req["mac_attribute"]["refer"] = true;
  req["exec_bit"]["refer"] = true;
  PObject& file = req["file"];
  file["size"] = static_cast<unsigned long long>(size);
  file["hash"] = hash;
  file["refer"] = false;
  file["is_delta"] = false;
  PObject::binary_type data;
  data.path = body;
  data.offset = 0;
  data.length = size;
  file["data"] = data;
  return Request(23, req);
}

PObject ServerClient::MakeDir(const std::string& path, uint64_t base, uint32_t mtime) {
  PObject req;
  req["_action"] = "upload";
  req["path"] = path;
  req["is_dir"] = true;
  req["sync_id"] = static_cast<unsigned long long>(base);
  req["max_id"] = static_cast<unsigned long long>(base);
  req["common_attribute"]["mtime"] = mtime;
  req["mtime"]["refer"] = false;
  req["mtime"]["mtime"] = mtime;
  req["mac_attribute"]["refer"] = true;
  req["exec_bit"]["refer"] = true;
  return Request(23, req);
}

PObject ServerClient::Pull(uint64_t sync_id, const std::string& path) {
  PObject req;
  req["_action"] = "pull_event";
  req["sync_id"] = static_cast<unsigned long long>(sync_id);
  req["path"] = path;
  req["recursive"] = 1;
  return Request(6, req);
}

uint64_t ServerClient::SyncIdOf(const std::string& path) {
  PObject reply = Pull(0);
  for (const PObject& e : reply["event_list"].asArray())
    if (std::string(e["path"].asStringRef().utf8_view()) == path) return e["sync_id"].asUInt64();
  return 0;
}

PObject ServerClient::Remove(const std::string& path) {
  // The item's own id, and the highest id at or below it (a folder's).
  uint64_t id = 0, max_id = 0;
  PObject reply = Pull(0);
  for (const PObject& e : reply["event_list"].asArray()) {
    std::string p(e["path"].asStringRef().utf8_view());
    if (p == path) id = e["sync_id"].asUInt64();
    if (p == path || p.rfind(path + "/", 0) == 0) max_id = std::max<uint64_t>(max_id, e["sync_id"].asUInt64());
  }
  PObject req;
  req["_action"] = "remove";
  req["path"] = path;
  req["sync_id"] = static_cast<unsigned long long>(id);
  req["max_id"] = static_cast<unsigned long long>(max_id);
  return Request(15, req);
}

}  // namespace tidewell::testing
