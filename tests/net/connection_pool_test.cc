#include "net/connection_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <list>
#include <mutex>
#include <random>
#include <thread>

#include "common/random.h"
#include "net/proxy_channel.h"
#include "net/tunnel_channel.h"

namespace tidewell {
namespace {

ConnectionInfo Info(const char* ip = "127.0.0.1", int port = 4430) {
  ConnectionInfo info;
  info.server_ip = ip;
  info.server_port = port;
  info.session = "sess-token";
  info.computer_name = "desk-1";
  info.conn_id = 77;
  return info;
}

// Makes a connection alive as a connect reply would.
void MakeAlive(Connection* c, uint32_t seconds = 60) { c->Update(seconds); }

// Makes it look as if its alive time ran out long ago.
void MakeExpired(Connection* c) {
  c->alive_value = 5;
  c->last_access = Connection::Now() - 100;
}

TEST(ConnectionTest, UpdateAndDropFollowTheServersAnswer) {
  Connection c(CHANNEL_NORMAL, ProxyInfo{}, TunnelInfo{}, true);
  EXPECT_EQ(Connection::DISCONNECTED, c.GetState());
  EXPECT_FALSE(c.IsAlive());
  c.Update(30);
  EXPECT_EQ(Connection::CONNECTED, c.GetState());
  EXPECT_EQ(30u, c.alive_value);
  EXPECT_NE(0u, c.last_access);
  EXPECT_TRUE(c.IsAlive());
  MakeExpired(&c);
  EXPECT_FALSE(c.IsAlive());
  c.Update(0);
  EXPECT_EQ(Connection::DISCONNECTED, c.GetState());
  EXPECT_EQ(0u, c.last_access);
  c.Update(10);
  c.Drop();
  EXPECT_EQ(Connection::DISCONNECTED, c.GetState());
  EXPECT_EQ(0u, c.alive_value);
  EXPECT_EQ(0u, c.last_access);
  EXPECT_TRUE(c.GetChannel().IsClosed());
}

TEST(ConnectionTest, AliveUpToExactlyTheGrantedTime) {
  Connection c(CHANNEL_NORMAL, ProxyInfo{}, TunnelInfo{}, true);
  c.alive_value = 30;
  c.last_access = 1000;
  struct Case {
    uint32_t now;
    bool alive;
  } cases[] = {
      {1000, true},        // just used
      {1029, true},
      {1030, true},        // exactly the granted time
      {1031, false},       // one second past it
      {999, false},        // the clock went back: idle time unknown
      {0, false},
      {0xFFFFFFFF, false},  // far later
  };
  for (const Case& k : cases) EXPECT_EQ(k.alive, c.IsAlive(k.now)) << "now " << k.now;
  // A connection never granted a time is not alive at any time.
  c.alive_value = 0;
  EXPECT_FALSE(c.IsAlive(1000));
  // The longest grant does not overflow.
  c.alive_value = 0xFFFFFFFF;
  c.last_access = 1;
  EXPECT_TRUE(c.IsAlive(0xFFFFFFFF));
}

TEST(ConnectionPoolTest, ChannelModeFollowsProxyAndRelaySettings) {
  ProxyInfo proxy;
  TunnelInfo tunnel;
  EXPECT_EQ(CHANNEL_NORMAL, ConnectionPool::getChannelMode(proxy, tunnel));
  proxy.use_proxy = true;  // switched on without an address: not set
  EXPECT_EQ(CHANNEL_NORMAL, ConnectionPool::getChannelMode(proxy, tunnel));
  proxy.proxy_ip = "10.0.0.8";
  EXPECT_EQ(CHANNEL_PROXY, ConnectionPool::getChannelMode(proxy, tunnel));
  tunnel.use_tunnel = true;
  EXPECT_EQ(CHANNEL_PROXY_TUNNEL, ConnectionPool::getChannelMode(proxy, tunnel));
  proxy.use_proxy = false;
  EXPECT_EQ(CHANNEL_TUNNEL, ConnectionPool::getChannelMode(proxy, tunnel));

  ConnectionPool pool(Info(), proxy, tunnel, 2);
  Connection* c = pool.pop();
  EXPECT_EQ(CHANNEL_TUNNEL, c->mode());
  EXPECT_NE(nullptr, dynamic_cast<TunnelChannel*>(&c->GetChannel()));
  pool.push(c);
}

TEST(ConnectionPoolTest, CopiesTheSettingsTheHandshakeNeeds) {
  ConnectionInfo info = Info("10.1.1.1", 9000);
  info.use_ssl = false;
  info.ssl_ca_file = "/etc/ca.pem";
  ConnectionPool pool(info, ProxyInfo{}, TunnelInfo{}, 3);
  EXPECT_EQ(77u, pool.getConnectionId());
  EXPECT_FALSE(pool.useSSL());
  EXPECT_EQ(9000, pool.getServerPort());
  EXPECT_EQ(ustring("10.1.1.1"), pool.getServerIp());
  EXPECT_EQ(ustring("desk-1"), pool.getClientName());
  EXPECT_EQ(ustring("sess-token"), pool.getSession());
  EXPECT_EQ("/etc/ca.pem", pool.getCaFile());
  EXPECT_EQ(3u, pool.size());
  EXPECT_EQ(3u, pool.available());
  Connection* c = pool.pop();
  EXPECT_EQ("/etc/ca.pem", c->GetChannel().ca_file());
  pool.push(c);
}

TEST(ConnectionPoolTest, AliveConnectionsAreReusedFirstAndExpiredOnesGoLast) {
  ConnectionPool pool(Info(), ProxyInfo{}, TunnelInfo{}, 2);
  Connection* a = pool.pop();
  Connection* b = pool.pop();
  ASSERT_NE(a, b);
  EXPECT_EQ(0u, pool.available());
  MakeAlive(b);
  pool.push(a);  // not alive: back of the list
  pool.push(b);  // alive: front
  EXPECT_EQ(2u, pool.available());
  EXPECT_EQ(b, pool.pop());
  MakeExpired(b);
  pool.push(b);  // expired: back, behind a
  EXPECT_EQ(a, pool.pop());
  EXPECT_EQ(b, pool.pop());
  pool.push(a);
  EXPECT_TRUE(pool.isConnected());  // b's state stays CONNECTED until a drop
  b->Drop();
  pool.push(b);
  EXPECT_FALSE(pool.isConnected());
  Connection* c = pool.pop();
  c->Update(10);
  EXPECT_TRUE(pool.isConnected());  // the state is visible while it is out
  pool.push(c);
}

TEST(ConnectionPoolTest, ForeignAndDoublePushesChangeNothing) {
  ConnectionPool pool(Info(), ProxyInfo{}, TunnelInfo{}, 1);
  Connection stranger(CHANNEL_NORMAL, ProxyInfo{}, TunnelInfo{}, true);
  pool.push(nullptr);
  pool.push(&stranger);
  EXPECT_EQ(1u, pool.available());
  Connection* c = pool.pop();
  pool.push(c);
  pool.push(c);
  EXPECT_EQ(1u, pool.available());
}

TEST(ConnectionPoolTest, PopBlocksUntilAPush) {
  ConnectionPool pool(Info(), ProxyInfo{}, TunnelInfo{}, 1);
  Connection* held = pool.pop();
  std::promise<Connection*> got;
  std::thread taker([&] { got.set_value(pool.pop()); });
  auto future = got.get_future();
  // The taker cannot finish while the only connection is held.
  EXPECT_EQ(std::future_status::timeout, future.wait_for(std::chrono::milliseconds(50)));
  pool.push(held);
  EXPECT_EQ(held, future.get());
  taker.join();
  pool.push(held);
}

TEST(ConnectionPoolTest, ReloadWaitsForHeldConnectionsAndReplacesThem) {
  ConnectionPool pool(Info(), ProxyInfo{}, TunnelInfo{}, 2);
  Connection* held = pool.pop();
  held->Update(60);

  ConnectionInfo next = Info("10.9.9.9", 5000);
  next.use_ssl = false;
  TunnelInfo tunnel{true, "127.0.0.1", 7443};
  std::promise<void> reloaded;
  std::thread reloader([&] {
    pool.reloadConnection(next, ProxyInfo{}, tunnel);
    reloaded.set_value();
  });
  auto done = reloaded.get_future();
  // Await the frozen pool: a taker that came before it would get an old
  // connection, and the reload would wait for it forever.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!pool.reloading() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  if (!pool.reloading()) {
    pool.push(held);
    reloader.join();
    FAIL() << "the reload never froze the pool";
  }
  // It cannot finish while a connection is out.
  EXPECT_EQ(std::future_status::timeout, done.wait_for(std::chrono::milliseconds(50)));
  // The old settings stay until the reload runs.
  EXPECT_EQ(4430, pool.getServerPort());

  // A pop during the reload waits and gets a connection of the new kind.
  std::promise<Connection*> got;
  std::thread taker([&] { got.set_value(pool.pop()); });
  pool.push(held);
  done.get();
  reloader.join();
  Connection* fresh = got.get_future().get();
  taker.join();
  EXPECT_EQ(CHANNEL_TUNNEL, fresh->mode());
  EXPECT_EQ(Connection::DISCONNECTED, fresh->GetState());
  EXPECT_EQ(0u, fresh->alive_value);
  EXPECT_EQ(5000, pool.getServerPort());
  EXPECT_EQ(ustring("10.9.9.9"), pool.getServerIp());
  EXPECT_FALSE(pool.useSSL());
  EXPECT_EQ(ustring("sess-token"), pool.getSession());  // kept
  EXPECT_EQ(77u, pool.getConnectionId());               // kept
  pool.push(fresh);
  EXPECT_EQ(2u, pool.available());
}

// The pool against a plain list model: front-to-back order, used flags,
// alive/expired returns, reloads. The seed is printed for replay.
TEST(ConnectionPoolTest, RandomisedAgainstAListModel) {
  const uint64_t seed = testing::TestSeed();
  std::mt19937_64 rng(seed);
  const size_t n = 4;
  ConnectionPool pool(Info(), ProxyInfo{}, TunnelInfo{}, n);

  // Model: the order of all connections and which are out.
  std::list<Connection*> order;
  std::vector<Connection*> out;
  auto refill = [&] {
    for (size_t i = 0; i < n; ++i) out.push_back(pool.pop());
    order.assign(out.begin(), out.end());
    // Returning them all, not alive, keeps the order.
    for (Connection* c : out) pool.push(c);
    out.clear();
  };
  refill();

  for (int step = 0; step < 2000; ++step) {
    int op = static_cast<int>(rng() % 10);
    if (op < 5 && out.size() < n) {
      Connection* expect = *std::find_if(order.begin(), order.end(), [&](Connection* c) {
        return std::find(out.begin(), out.end(), c) == out.end();
      });
      Connection* c = pool.pop();
      ASSERT_EQ(expect, c) << "step " << step;
      out.push_back(c);
    } else if (op < 9 && !out.empty()) {
      size_t i = rng() % out.size();
      Connection* c = out[i];
      out.erase(out.begin() + static_cast<long>(i));
      int how = static_cast<int>(rng() % 3);
      if (how == 0) MakeAlive(c);
      if (how == 1) MakeExpired(c);
      if (how == 2) c->Drop();
      order.remove(c);
      if (how == 0) {
        order.push_front(c);
      } else {
        order.push_back(c);
      }
      pool.push(c);
    } else if (out.empty()) {
      pool.reloadConnection(Info(), ProxyInfo{}, TunnelInfo{});
      refill();
    }
    ASSERT_EQ(n - out.size(), pool.available()) << "step " << step;
  }
  for (Connection* c : out) pool.push(c);
}

}  // namespace
}  // namespace tidewell

#include "net/pobject.h"

namespace tidewell {
namespace {

TEST(ConnectionInfoTest, FillsTheRecordsFromConnectionData) {
  PObject r;
  r["session"] = "tok";
  r["server_ip"] = "10.0.0.5";
  r["server_port"] = 4430;
  r["connection_id"] = 0xFFFFFFFFFFULL;
  r["computer_name"] = "desk";
  r["use_ssl"] = 0;
  r["ssl_ca_file"] = "/etc/tidewell/ca.pem";
  r["use_proxy"] = 1;
  r["proxy_ip"] = "10.0.0.1";
  r["proxy_port"] = 3128;
  r["proxy_username"] = "alice";
  r["use_tunnel"] = 1;
  r["tunnel_ip"] = "10.0.0.2";
  r["tunnel_port"] = 7443;
  ConnectionInfo info;
  ProxyInfo proxy;
  TunnelInfo tunnel;
  FillConnectionInfo(r, info, proxy, tunnel);
  EXPECT_EQ(ustring("tok"), info.session);
  EXPECT_EQ(ustring("10.0.0.5"), info.server_ip);
  EXPECT_EQ(4430, info.server_port);
  EXPECT_EQ(0xFFFFFFFFFFULL, info.conn_id);
  EXPECT_EQ(ustring("desk"), info.computer_name);
  EXPECT_FALSE(info.use_ssl);
  EXPECT_EQ(ustring("/etc/tidewell/ca.pem"), info.ssl_ca_file);
  EXPECT_TRUE(proxy.IsSet());
  EXPECT_EQ(3128, proxy.proxy_port);
  EXPECT_EQ("alice", proxy.user_name);
  EXPECT_TRUE(tunnel.use_tunnel);
  EXPECT_EQ("10.0.0.2", tunnel.tunnel_ip);
  EXPECT_EQ(7443, tunnel.tunnel_port);
  EXPECT_EQ(CHANNEL_PROXY_TUNNEL, ConnectionPool::getChannelMode(proxy, tunnel));

  // Absent keys keep the defaults: SSL on, no CA file, no proxy.
  ConnectionInfo plain;
  ProxyInfo no_proxy;
  TunnelInfo no_tunnel;
  FillConnectionInfo(PObject(), plain, no_proxy, no_tunnel);
  EXPECT_TRUE(plain.use_ssl);
  EXPECT_TRUE(plain.ssl_ca_file.empty());
  EXPECT_FALSE(no_proxy.IsSet());
}

}  // namespace
}  // namespace tidewell
