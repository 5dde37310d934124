// Wire throughput: one binary value of N bytes sent through PStream over a
// loopback TCP connection and received into a file, plain and over SSL,
// against bare loops on the same kind of connection -- 80 KiB send/recv
// (plain) and 80 KiB SSL_write/SSL_read (SSL). Every case gets its own
// freshly connected 127.0.0.1 pair, set up the same way.
//
// Writing N bytes to a new file costs the file system about as much as
// moving them over loopback, so each bare loop also runs a second time
// writing what it receives to a file in the same folder ("+file"), and
// PStream also runs receiving into /dev/null ("null"), which shows the
// layer's own cost. After the run the medians and the ratios are printed.
//
//   wire_bench [--bytes=N] [--dir=FOLDER] [benchmark flags]
//
// N defaults to 1 GiB; CI runs it small (e.g. --bytes=8388608). FOLDER
// (default /tmp) holds the source file and the received files.

#include <arpa/inet.h>
#include <fcntl.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "net/channel.h"
#include "net/pobject.h"
#include "net/pstream.h"
#include "net/ssl_setup.h"

namespace tidewell {
namespace {

constexpr size_t kChunk = 81920;
uint64_t g_bytes = uint64_t{1} << 30;
std::string g_base = "/tmp";
std::string g_dir;

// Where each iteration stores what it receives. The file is removed before
// the timed part, so every iteration writes a new file, as a download does.
std::string ReceivedPath() {
  std::string path = g_dir + "/received";
  std::remove(path.c_str());
  return path;
}

// Writes `n` bytes to `fd` or aborts.
void WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) std::abort();
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// A connected loopback pair of blocking sockets: {client, server}.
std::pair<int, int> LoopbackPair() {
  int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(lfd, 1) != 0 ||
      getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    std::abort();
  }
  int cfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(cfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) std::abort();
  int sfd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
  close(lfd);
  if (sfd < 0) std::abort();
  return {cfd, sfd};
}

bool SendAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

void MakeCertificate() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());
  FILE* f = std::fopen((g_dir + "/server.crt").c_str(), "w");
  PEM_write_X509(f, cert);
  std::fclose(f);
  f = std::fopen((g_dir + "/server.key").c_str(), "w");
  PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
  X509_free(cert);
  EVP_PKEY_free(key);
  SetCERTPath(g_dir + "/server.crt");
  SetPriKeyPath(g_dir + "/server.key");
}

void MakeSourceFile() {
  std::string path = g_dir + "/source";
  FILE* f = std::fopen(path.c_str(), "wb");
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 2654435761u) >> 13);
  for (uint64_t left = g_bytes; left > 0;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
    std::fwrite(block.data(), 1, n, f);
    left -= n;
  }
  std::fclose(f);
}

// --- plain ----------------------------------------------------------------

void RunBare(benchmark::State& state, bool to_file) {
  auto [cfd, sfd] = LoopbackPair();
  std::vector<char> out(kChunk, 'x'), in(kChunk);
  for (auto _ : state) {
    state.PauseTiming();
    int file = to_file ? open(ReceivedPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
    state.ResumeTiming();
    std::thread sender([&] {
      for (uint64_t left = g_bytes; left > 0;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
        if (!SendAll(cfd, out.data(), n)) std::abort();
        left -= n;
      }
    });
    for (uint64_t got = 0; got < g_bytes;) {
      ssize_t r = recv(sfd, in.data(), kChunk, 0);
      if (r <= 0) std::abort();
      if (file >= 0) WriteAll(file, in.data(), static_cast<size_t>(r));
      got += static_cast<uint64_t>(r);
    }
    sender.join();
    if (file >= 0) close(file);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_bytes));
  close(cfd);
  close(sfd);
}

void BM_BareSendRecv(benchmark::State& state) { RunBare(state, false); }
void BM_BareSendRecvFile(benchmark::State& state) { RunBare(state, true); }

// Sends the source file as one binary value and receives it into a file,
// or into /dev/null to show the layer's own cost without the file system's.
void RunPStream(benchmark::State& state, bool ssl, bool to_null) {
  auto [cfd, sfd] = LoopbackPair();
  Channel client, server;
  if (client.Open(cfd, true) != 0 || server.Open(sfd, true) != 0) std::abort();
  if (ssl) {
    std::thread accept([&] {
      if (server.ConvertToSSLChannel(true) != 0) std::abort();
    });
    if (client.ConvertToSSLChannel(false) != 0) std::abort();
    accept.join();
  }
  PObject::binary_type src;
  src.path = ustring(g_dir + "/source");
  src.length = g_bytes;
  const PObject value(src);
  for (auto _ : state) {
    state.PauseTiming();
    PObject got;
    got.asBinary().path = ustring(to_null ? std::string("/dev/null") : ReceivedPath());
    state.ResumeTiming();
    std::thread sender([&] {
      PStream ps;
      if (ps.Send(client, value) != 0) std::abort();
    });
    PStream ps;
    if (ps.Recv(server, got) != 0 || got.asBinary().length != g_bytes) std::abort();
    sender.join();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_bytes));
}

void BM_PStreamPlain(benchmark::State& state) { RunPStream(state, false, false); }
void BM_PStreamPlainNull(benchmark::State& state) { RunPStream(state, false, true); }

// --- SSL --------------------------------------------------------------------

void RunBareSsl(benchmark::State& state, bool to_file) {
  auto [cfd, sfd] = LoopbackPair();
  SSL_CTX* sctx = SSL_CTX_new(TLS_server_method());
  SSL_CTX* cctx = SSL_CTX_new(TLS_client_method());
  if (SSL_CTX_use_certificate_file(sctx, GetCERTPath().c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(sctx, GetPriKeyPath().c_str(), SSL_FILETYPE_PEM) != 1) {
    std::abort();
  }
  SSL* s = SSL_new(sctx);
  SSL* c = SSL_new(cctx);
  SSL_set_fd(s, sfd);
  SSL_set_fd(c, cfd);
  std::thread accept([&] {
    if (SSL_accept(s) != 1) std::abort();
  });
  if (SSL_connect(c) != 1) std::abort();
  accept.join();

  std::vector<char> out(kChunk, 'x'), in(kChunk);
  for (auto _ : state) {
    state.PauseTiming();
    int file = to_file ? open(ReceivedPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
    state.ResumeTiming();
    std::thread sender([&] {
      for (uint64_t left = g_bytes; left > 0;) {
        int n = static_cast<int>(std::min<uint64_t>(left, kChunk));
        if (SSL_write(c, out.data(), n) != n) std::abort();
        left -= static_cast<uint64_t>(n);
      }
    });
    for (uint64_t got = 0; got < g_bytes;) {
      int r = SSL_read(s, in.data(), static_cast<int>(kChunk));
      if (r <= 0) std::abort();
      if (file >= 0) WriteAll(file, in.data(), static_cast<size_t>(r));
      got += static_cast<uint64_t>(r);
    }
    sender.join();
    if (file >= 0) close(file);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_bytes));
  SSL_free(s);
  SSL_free(c);
  SSL_CTX_free(sctx);
  SSL_CTX_free(cctx);
  close(cfd);
  close(sfd);
}

void BM_BareSslWriteRead(benchmark::State& state) { RunBareSsl(state, false); }
void BM_BareSslWriteReadFile(benchmark::State& state) { RunBareSsl(state, true); }

void BM_PStreamSsl(benchmark::State& state) { RunPStream(state, true, false); }
void BM_PStreamSslNull(benchmark::State& state) { RunPStream(state, true, true); }

// Collects the median real time of each benchmark for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
        medians_[r.run_name.function_name] = r.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    // Medians are in milliseconds; rates in MiB/s.
    auto rate = [&](const char* name) {
      auto it = medians_.find(name);
      if (it == medians_.end() || it->second <= 0) return 0.0;
      return static_cast<double>(g_bytes) / (1 << 20) / (it->second / 1000);
    };
    auto line = [&](const char* label, const char* name, const char* bare, const char* bare_file) {
      double r = rate(name);
      std::printf("  %-22s %9.1f MiB/s", label, r);
      if (bare != nullptr && rate(bare) > 0) std::printf("   %.2f of bare", r / rate(bare));
      if (bare_file != nullptr && rate(bare_file) > 0) std::printf("   %.2f of bare+file", r / rate(bare_file));
      std::printf("\n");
    };
    std::printf("\nmedians, %llu bytes, files in %s:\n", static_cast<unsigned long long>(g_bytes), g_base.c_str());
    line("bare send/recv", "BM_BareSendRecv", nullptr, nullptr);
    line("bare send/recv+file", "BM_BareSendRecvFile", nullptr, nullptr);
    line("PStream plain", "BM_PStreamPlain", "BM_BareSendRecv", "BM_BareSendRecvFile");
    line("PStream plain, null", "BM_PStreamPlainNull", "BM_BareSendRecv", nullptr);
    line("bare SSL", "BM_BareSslWriteRead", nullptr, nullptr);
    line("bare SSL+file", "BM_BareSslWriteReadFile", nullptr, nullptr);
    line("PStream SSL", "BM_PStreamSsl", "BM_BareSslWriteRead", "BM_BareSslWriteReadFile");
    line("PStream SSL, null", "BM_PStreamSslNull", "BM_BareSslWriteRead", nullptr);
  }

 private:
  std::map<std::string, double> medians_;
};

}  // namespace
}  // namespace tidewell

int main(int argc, char** argv) {
  using namespace tidewell;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--bytes=", 8) == 0) {
      g_bytes = std::strtoull(argv[i] + 8, nullptr, 10);
    } else if (std::strncmp(argv[i], "--dir=", 6) == 0) {
      g_base = argv[i] + 6;
    } else {
      args.push_back(argv[i]);
    }
  }
  if (g_bytes == 0) g_bytes = 1;
  std::string tmpl = g_base + "/wire-bench-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) return 1;
  g_dir = tmpl;
  if (InitSslLibrary() != 0) return 1;
  MakeCertificate();
  MakeSourceFile();

  for (auto* b : {benchmark::RegisterBenchmark("BM_BareSendRecv", BM_BareSendRecv),
                  benchmark::RegisterBenchmark("BM_BareSendRecvFile", BM_BareSendRecvFile),
                  benchmark::RegisterBenchmark("BM_PStreamPlain", BM_PStreamPlain),
                  benchmark::RegisterBenchmark("BM_PStreamPlainNull", BM_PStreamPlainNull),
                  benchmark::RegisterBenchmark("BM_BareSslWriteRead", BM_BareSslWriteRead),
                  benchmark::RegisterBenchmark("BM_BareSslWriteReadFile", BM_BareSslWriteReadFile),
                  benchmark::RegisterBenchmark("BM_PStreamSsl", BM_PStreamSsl),
                  benchmark::RegisterBenchmark("BM_PStreamSslNull", BM_PStreamSslNull)}) {
    b->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
  }
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();

  std::remove((g_dir + "/source").c_str());
  std::remove((g_dir + "/received").c_str());
  std::remove((g_dir + "/server.crt").c_str());
  std::remove((g_dir + "/server.key").c_str());
  rmdir(g_dir.c_str());
  return 0;
}
