#include "net/protocol_request.h"

#include "base/error_code.h"
#include "net/net_log.h"

namespace tidewell {

namespace {

bool IsKeepAlive(const PObject& obj) {
  const PObject& type = obj["type"];
  return type.isString() && type.asStringRef() == ustring("keep_alive");
}

// Restores a channel's time-out when the scope ends.
class TimeoutScope {
 public:
  TimeoutScope(Channel& ch) : ch_(ch), saved_(ch.GetTimeout()) {}
  ~TimeoutScope() { ch_.SetTimeout(saved_); }
  TimeoutScope(const TimeoutScope&) = delete;
  TimeoutScope& operator=(const TimeoutScope&) = delete;

 private:
  Channel& ch_;
  uint32_t saved_;
};

}  // namespace

int ProtoExchange(Channel& ch, PStream& ps, uint8_t command, const PObject& request, PObject& reply,
                  uint32_t reply_timeout, ExchangeStep* failed) {
  auto fail = [&](ExchangeStep step, int rc) {
    if (failed != nullptr) *failed = step;
    return rc;
  };
  if (failed != nullptr) *failed = ExchangeStep::kNone;
  int rc = ProtoWriteHeader(ch, 0, command);
  if (rc < 0) return fail(ExchangeStep::kHeader, rc);
  if ((rc = ps.Send(ch, request)) < 0) return fail(ExchangeStep::kRequest, rc);

  TimeoutScope restore(ch);
  if (reply_timeout != 0) ch.SetTimeout(reply_timeout);
  const PObject start = reply;
  for (;;) {
    if ((rc = ps.Recv(ch, reply)) < 0) {
      // Only a partly received file body can be continued (by a download
      // that asks again from its length); nothing else of a broken reply
      // is worth a file.
      const PObject& got = reply;
      const ustring body = got["file"]["data"].asBinary().path;
      ps.DeleteReceivedFiles(&reply, body);
      return fail(ExchangeStep::kReply, rc);
    }
    if (!IsKeepAlive(reply)) return ERR_OK;
    PR_LOG_DEBUG("keep-alive message while waiting for %s", ProtoCmd2String(command));
    // Nothing keeps what a keep-alive carried.
    ps.DeleteReceivedFiles();
    reply = start;
  }
}

PObject ClientAgent() {
  PObject agent;
  agent["platform"] = "Windows";
  agent["version"]["major"] = 2;
  agent["version"]["minor"] = 1;
  agent["version"]["build"] = 2572;
  return agent;
}

int ProtoWriteKeepAliveControl(Channel& ch, uint32_t seconds) {
  int rc = ProtoWriteHeader(ch, 0, SCMD_KEEP_ALIVE);
  if (rc < 0) {
    PR_LOG_ERR("fail to send keep-alive header. %s", GetErrorString(rc));
    return rc;
  }
  if ((rc = ProtoWriteSection(ch, SPROTO_ID_KEEP_ALIVE_OPTION, uint32_t{0})) < 0) {
    PR_LOG_ERR("fail to send keep-alive option. %s.", GetErrorString(rc));
    return rc;
  }
  if ((rc = ProtoWriteSection(ch, SPROTO_ID_KEEP_ALIVE_CONTROL, uint32_t{1})) < 0) {
    PR_LOG_ERR("fail to send keep-alive control. %s.", GetErrorString(rc));
    return rc;
  }
  if ((rc = ProtoWriteSection(ch, SPROTO_ID_ALIVE, uint32_t{seconds})) < 0) {
    PR_LOG_ERR("fail to send keep-alive time. %s.", GetErrorString(rc));
    return rc;
  }
  if ((rc = ch.FlushWrite(0)) < 0) {
    PR_LOG_ERR("fail to send keep-alive data. %s.", GetErrorString(rc));
    return rc;
  }
  return ERR_OK;
}

int ProtoWriteSSLServiceRequest(Channel& ch) {
  int rc = ch.FlushWrite(0);
  if (rc == 0) rc = ProtoWriteHeader(ch, 0, SCMD_REQUEST_SSL);
  if (rc == 0) rc = ch.FlushWrite(0);
  return rc;
}

int ProtoWriteSSLServiceRequest2OLD(Channel& ch, const SSLServiceReq& request, SSLServiceResponse* response) {
  int rc = ch.FlushWrite(0);
  if (rc == 0) rc = ProtoWriteHeader(ch, 0, SCMD_REQUEST_SSL_2);
  if (rc == 0) rc = ProtoWriteProtocolVersion(ch, request.proto_ver);
  if (rc == 0) rc = ProtoWriteSection(ch, SPROTO_ID_SSL_OPTION, uint32_t{request.ssl_option});
  if (rc == 0) rc = ch.FlushWrite(0);
  if (rc < 0) return rc;

  uint16_t len;
  uint8_t command, version;
  if ((rc = ProtoReadHeader(ch, len, command, version)) < 0) return rc;
  if (command != SCMD_REQUEST_SSL_2) {
    PR_LOG_ERR("ProtoReadSSLServiceResponse2: Bad response. Expect command (%d) but got (%d)", SCMD_REQUEST_SSL_2,
               command);
    return ERR_PROTO;
  }
  SSLServiceResponse got;
  if ((rc = ProtoReadSection(ch, SPROTO_ID_RES, got.response_code)) < 0) return rc;
  if (got.response_code != 10 && (rc = ProtoReadSection(ch, SPROTO_ID_SSL_RESPONSE_OPTION, got.misc_response)) < 0) {
    return rc;
  }
  if (response != nullptr) *response = got;
  return ERR_OK;
}

int ProtoWriteSSLServiceRequest2(Channel& ch, const SSLServiceReq& request) {
  PObject req;
  req["_action"] = "encrypt_channel";
  req["proto_ver"]["major"] = request.proto_ver.major;
  req["proto_ver"]["minor"] = request.proto_ver.minor;
  req["proto_ver"]["build"] = request.proto_ver.build;
  req["ssl_option"] = request.ssl_option;
  req["_agent"] = ClientAgent();

  PStream ps;
  PObject reply;
  int rc = ProtoExchange(ch, ps, SCMD_REQUEST_SSL_2, req, reply, 0);
  if (rc < 0) {
    PR_LOG_ERR("RunProtocol: stream: Error code %d", rc);
    return ERR_IO;
  }
  const PObject& answer = reply;
  if (!answer.hasMember("error")) return ERR_OK;
  switch (answer["error"]["code"].asUInt64()) {
    case 2:
      return ERR_SERVER;
    case 10:
      return ERR_VERSION;
    default:
      return ERR_SYS;
  }
}

int ProtoConnect(Channel& ch, const char* address, int port) { return ch.Open(address, port) < 0 ? -1 : 0; }

int ProtoDisconnect(Channel& ch) {
  ch.Close();
  return ERR_OK;
}

}  // namespace tidewell
