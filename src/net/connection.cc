#include "net/connection.h"

#include <time.h>

#include "net/proxy_channel.h"
#include "net/tunnel_channel.h"

namespace tidewell {

namespace {

std::unique_ptr<ServerChannel> MakeChannel(ChannelMode mode, const ProxyInfo& proxy, const TunnelInfo& tunnel) {
  switch (mode) {
    case CHANNEL_PROXY:
      return std::make_unique<ProxyChannel>(proxy);
    case CHANNEL_TUNNEL:
      return std::make_unique<TunnelChannel>(tunnel);
    case CHANNEL_PROXY_TUNNEL:
      return std::make_unique<ProxyTunnelChannel>(proxy, tunnel);
    case CHANNEL_NORMAL:
    case CHANNEL_UNKNOWN:
      break;
  }
  return std::make_unique<ServerChannel>();
}

}  // namespace

Connection::Connection(ChannelMode mode, const ProxyInfo& proxy, const TunnelInfo& tunnel, bool use_ssl,
                       const std::string& ca_file)
    : mode_(mode), channel(MakeChannel(mode, proxy, tunnel)) {
  // The CA file only matters for SSL; it is kept either way so that a later
  // switch of the pool's SSL choice needs no new channel.
  (void)use_ssl;
  channel->SetCaFile(ca_file);
}

uint32_t Connection::Now() {
  // Monotonic: a clock set back must not make connections look alive for
  // longer than the server keeps them. The offset keeps 0 meaning "never".
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(ts.tv_sec) + 1;
}

void Connection::Drop() {
  channel->Close();
  last_access = 0;
  alive_value = 0;
  pull_wait = false;
  SetState(DISCONNECTED);
}

void Connection::Update(uint32_t alive) {
  alive_value = alive;
  if (alive != 0) {
    last_access = Now();
    SetState(CONNECTED);
  } else {
    last_access = 0;
    channel->Close();
    SetState(DISCONNECTED);
  }
}

bool Connection::IsAlive(uint32_t now) const {
  if (alive_value == 0) return false;
  return now >= last_access && now - last_access <= alive_value;
}

Connection::ConnectionState Connection::GetState() const {
  std::lock_guard<std::mutex> lock(m_conn_state_lock);
  return m_conn_state;
}

void Connection::SetState(ConnectionState state) {
  std::lock_guard<std::mutex> lock(m_conn_state_lock);
  m_conn_state = state;
}

}  // namespace tidewell
