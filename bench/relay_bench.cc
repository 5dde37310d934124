// Relay throughput: bytes pushed through a TunnelChannel, the relay service
// and an echo target and back, against the same traffic on a direct
// loopback connection to the echo target. Also the cost of opening one
// tunnel (TCP, SSL with the relay, request and answer) against a direct
// connect. Everything runs in this process on 127.0.0.1.
//
//   relay_bench [benchmark flags] 2>/dev/null   (stderr: channel warnings)

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "net/channel.h"
#include "net/tunnel_channel.h"
#include "relay/relay_server.h"

namespace {

using tidewell::Channel;

// Echoes every byte, one thread per connection; lives for the whole run.
class Echo {
 public:
  Echo() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd_, 64) != 0) std::abort();
    getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    std::thread([fd = fd_] {
      for (;;) {
        int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        std::thread([c] {
          std::vector<char> buf(65536);
          for (;;) {
            ssize_t n = recv(c, buf.data(), buf.size(), 0);
            if (n <= 0 || send(c, buf.data(), static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
          }
          ::close(c);
        }).detach();
      }
    }).detach();
  }
  int port() const { return port_; }

 private:
  int fd_;
  int port_;
};

void WriteCert(const std::string& cert, const std::string& key) {
  EVP_PKEY* k = EVP_EC_gen("P-256");
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 24 * 3600);
  X509_set_pubkey(x, k);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("relay"), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509_sign(x, k, EVP_sha256());
  FILE* f = std::fopen(cert.c_str(), "w");
  PEM_write_X509(f, x);
  std::fclose(f);
  f = std::fopen(key.c_str(), "w");
  PEM_write_PrivateKey(f, k, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
  X509_free(x);
  EVP_PKEY_free(k);
}

struct World {
  Echo echo;
  std::string dir;
  std::unique_ptr<tidewell::RelayServer> relay;
  World() {
    char tmpl[] = "/tmp/relay-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    WriteCert(dir + "/r.crt", dir + "/r.key");
    tidewell::RelayServer::Options o;
    o.listen_address = "127.0.0.1";
    o.port = 0;
    o.cert_file = dir + "/r.crt";
    o.key_file = dir + "/r.key";
    o.allow_any = true;
    relay = std::make_unique<tidewell::RelayServer>(o);
    if (relay->Start() != 0) std::abort();
  }
  ~World() {
    relay.reset();
    std::remove((dir + "/r.crt").c_str());
    std::remove((dir + "/r.key").c_str());
    rmdir(dir.c_str());
  }
};

World& TheWorld() {
  static World w;
  return w;
}

std::unique_ptr<Channel> Connect(bool through_relay) {
  World& w = TheWorld();
  std::unique_ptr<Channel> ch;
  if (through_relay) {
    ch = std::make_unique<tidewell::TunnelChannel>(
        tidewell::TunnelInfo{true, "127.0.0.1", static_cast<uint16_t>(w.relay->port())});
  } else {
    ch = std::make_unique<Channel>();
  }
  if (ch->Open("127.0.0.1", w.echo.port()) != 0) std::abort();
  return ch;
}

// Round trips of 64 KiB blocks; bytes counted once per direction.
void BM_EchoThroughput(benchmark::State& state) {
  const bool relay = state.range(0) != 0;
  std::unique_ptr<Channel> ch = Connect(relay);
  std::string block(65536, 'x');
  std::string back(block.size(), '\0');
  for (auto _ : state) {
    if (ch->Write(block.data(), block.size()) != 0 || ch->FlushWrite(0) != 0) std::abort();
    if (ch->Read(back.data(), back.size()) != 0) std::abort();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(block.size()) * 2);
  state.SetLabel(relay ? "through relay" : "direct");
}
BENCHMARK(BM_EchoThroughput)->Arg(0)->Arg(1)->UseRealTime();

void BM_Open(benchmark::State& state) {
  const bool relay = state.range(0) != 0;
  for (auto _ : state) {
    std::unique_ptr<Channel> ch = Connect(relay);
    ch->Close();
  }
  state.SetLabel(relay ? "tunnel open" : "direct connect");
}
BENCHMARK(BM_Open)->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  (void)tidewell::Logger::Initialize(tidewell::Logger::STDERR_LOGGER, "", "", 2);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
