#include "net/connection_handshake.h"

#include <string>
#include <utility>

#include "base/error_code.h"
#include "net/net_log.h"
#include "net/protocol.h"
#include "net/protocol_request.h"
#include "net/pstream.h"

namespace tidewell {

namespace {

const ustring& ComponentOf(HandshakeTask task) {
  static const ustring syncer("syncer_debug");
  static const ustring progress("progress_syncer_debug");
  static const ustring worker("worker_debug");
  switch (task) {
    case HandshakeTask::kEventPuller:
      return syncer;
    case HandshakeTask::kResumePuller:
      return progress;
    case HandshakeTask::kWorker:
      break;
  }
  return worker;
}

const char* ModuleOf(HandshakeTask task) {
  switch (task) {
    case HandshakeTask::kEventPuller:
      return "syncer";
    case HandshakeTask::kResumePuller:
      return "progress-syncer";
    case HandshakeTask::kWorker:
      break;
  }
  return "worker";
}

}  // namespace

ConnectionHandshake::ConnectionHandshake(HandshakeTask task, int task_id, RequestRoutine routine)
    : task_(task),
      task_id_(task_id),
      routine_(std::move(routine)),
      module_(ModuleOf(task)),
      component_(ComponentOf(task)) {}

void ConnectionHandshake::AppendAgent(PObject& request) { request["_agent"] = ClientAgent(); }

int ConnectionHandshake::EstablishConnection(const ConnectionPool& pool, Connection& connection) const {
  const ustring ip = pool.getServerIp();
  const int port = pool.getServerPort();
  HS_LOG_TASK(L_DEBUG, "Connect to server (%s:%d).", ip.c_str_utf8(), port);
  ServerChannel& ch = connection.GetChannel();
  ch.Close();
  // Settings may have been reloaded since the channel was made.
  ch.SetCaFile(pool.getCaFile());
  int rc = ch.Open(ip.c_str_utf8(), port);
  if (rc < 0) {
    if (task_ == HandshakeTask::kWorker) {
      HS_LOG_TASK(L_ERR, "Failed to establish TCP connection to server. %s", GetErrorString(rc));
    } else {
      HS_LOG_TASK(L_ERR, "Failed to establish TCP connection to server (%s:%d). %s", ip.c_str_utf8(), port,
                  GetErrorString(rc));
    }
  }
  return rc;
}

int ConnectionHandshake::RunProtocol(Channel& ch, uint8_t command, const PObject& request, PObject& reply) const {
  HS_LOG_TASK(L_DEBUG, ">>>: %s", request.toString().c_str_utf8());
  PStream ps;
  ExchangeStep step = ExchangeStep::kNone;
  int rc = ProtoExchange(ch, ps, command, request, reply, 90, &step);
  ch.SetTimeout(60);
  if (rc < 0) {
    const char* action = request["_action"].asStringRef().c_str_utf8();
    const char* what = step == ExchangeStep::kHeader    ? "failed to send header"
                       : step == ExchangeStep::kRequest ? "failed to send request"
                                                        : "failed to recv response";
    HS_LOG_TASK(L_ERR, "RunProtocol(%s): %s (%d)", action, what, rc);
    rc = ERR_IO;
  }
  HS_LOG_TASK(L_DEBUG, "<<<: %s", reply.toString().c_str_utf8());
  return rc;
}

int ConnectionHandshake::RequestChannel(const ConnectionPool& pool, Connection& connection, uint64_t view_id) const {
  if (connection.IsAlive()) return ERR_OK;
  auto run = [&](uint8_t command, const PObject& request, PObject& reply) {
    Channel& ch = connection.GetChannel();
    return routine_ ? routine_(ch, command, request, reply) : RunProtocol(ch, command, request, reply);
  };
  // A failed attempt must leave nothing that looks established.
  connection.alive_value = 0;
  connection.pull_wait = false;

  int rc = EstablishConnection(pool, connection);
  if (rc < 0) {
    HS_LOG_TASK(L_ERR, "failed to connect to server.");
    return rc;
  }

  const bool use_ssl = pool.useSSL();
  if (use_ssl && task_ != HandshakeTask::kWorker) {
    HS_LOG_TASK(L_INFO, "request ssl channel");
    PObject req;
    req["_action"] = "encrypt_channel";
    AppendAgent(req);
    PObject reply;
    rc = run(SCMD_REQUEST_SSL_2, req, reply);
    if (rc < 0 || reply.hasMember("error")) {
      if (rc >= 0) HS_LOG_TASK(L_ERR, "request SSL: %s", reply.toString().c_str_utf8());
      return ERR_IO;
    }
    HS_LOG_TASK(L_DEBUG, "convert to SSL channel");
    rc = connection.GetChannel().ConvertToSSLChannel(false);
    if (rc < 0) {
      HS_LOG_TASK(L_ERR, "Convert to SSL channel failed (%d)", rc);
      return ERR_IO;
    }
    HS_LOG_TASK(L_INFO, "channel is now encrypted using SSL");
  }

  PObject req;
  req["_action"] = "connect";
  req["session"] = pool.getSession();
  req["view_id"] = static_cast<unsigned long long>(view_id);
  AppendAgent(req);
  const bool do_ssl = use_ssl && task_ == HandshakeTask::kWorker;
  if (do_ssl) {
    req["do_ssl"] = true;
    HS_LOG_TASK(L_INFO, "request ssl channel");
  }
  PObject reply;
  rc = run(SCMD_REQUEST_CONNECT, req, reply);
  if (rc < 0) return rc;

  if (reply.hasMember("error")) {
    HS_LOG_TASK(L_ERR, "request channel: %s", reply["error"].toString().c_str_utf8());
    // The server did not take the connection, whatever the code says: the
    // channel must not count as working.
    connection.Drop();
    const int mapped = ProtoResp2ErrorCode(reply["error"]["code"].asUInt64());
    return mapped != ERR_OK ? mapped : ERR_SERVER;
  }

  if (task_ != HandshakeTask::kResumePuller) {
    unsigned long build = 2402;
    if (reply.hasMember("server")) build = static_cast<unsigned long>(reply["server"]["package_version"]["build"].asUInt64());
    g_server_version.store(build);
    HS_LOG(L_INFO, "Connect with Tidewell server build %lu", build);
  }

  const uint32_t alive = reply["alive"].asUInt32();
  if (alive == 0) {
    HS_LOG_TASK(L_INFO, "connection refused by server.");
    connection.Update(0);
    return ERR_IO;
  }
  if (do_ssl) {
    rc = connection.GetChannel().ConvertToSSLChannel(false);
    if (rc < 0) {
      HS_LOG_TASK(L_ERR, "Convert to SSL channel failed (%d)", rc);
      return ERR_IO;
    }
  }
  // The event puller sends "wait_ms" only over a connection marked so.
  const PObject& pull_wait = std::as_const(reply)["pull_wait"];
  connection.pull_wait = pull_wait.isInteger() && pull_wait.asInteger() != 0;
  connection.Update(alive);
  return ERR_OK;
}

int ConnectionHandshake::ProtoResp2ErrorCode(uint64_t code) const {
  const unsigned long shown = static_cast<unsigned long>(code);
  if (code == 0x3002) return ERR_PERMISS;
  if (code == 0x3003) {
    if (task_ != HandshakeTask::kWorker) HS_LOG(L_CRIT, "Server error(invalid path in view): %lu", shown);
    return ERR_VIEW_PATH;
  }
  if (code == 0x4001) return ERR_QUOTA;
  if (code == 0x4002) return ERR_DISKFULL;
  const uint64_t group = (code >> 12) & 0xF;
  switch (group) {
    case 7:
      HS_LOG(L_CRIT, "server error: %lu", shown);
      return ERR_OK;
    case 1:
    case 2:
      return ERR_AUTH;
    case 3:
      return ERR_VIEW;
    case 5:
      return ERR_VERSION;
    case 8:
    case 9:
    case 10:
      if (task_ == HandshakeTask::kWorker) return ERR_INT;
      break;
    case 0xB:
      // The server is busy with the object or the view: try again later.
      return ERR_INT;
    default:
      break;
  }
  // Classes 0, 4, 6 (and 12 to 15, which no table names) are not handled.
  HS_LOG(L_CRIT, "unhandled error code: %lu", shown);
  return ERR_OK;
}

}  // namespace tidewell
