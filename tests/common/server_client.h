// A bare protocol client for tests: makes changes on a running server the
// way another client would (whole-file uploads, folders, removals) and reads
// its state (pulls), without any of the engine's roads, so that a test of
// one road can set up the server side independently of the others.
// Requests go over one connection of its own, established with the
// project's handshake.
//
// Not thread-safe: one test thread uses an instance.

#ifndef TIDEWELL_TESTS_COMMON_SERVER_CLIENT_H_
#define TIDEWELL_TESTS_COMMON_SERVER_CLIENT_H_

#include <cstdint>
#include <memory>
#include <string>

#include "common/server_process.h"
#include "common/temp_dir.h"
#include "net/pobject.h"

namespace tidewell {
class ConnectionPool;
}

namespace tidewell::testing {

// MD4 of `content` as the protocol's lower-case hexadecimal hash string.
std::string Md4Hex(const std::string& content);

class ServerClient {
 public:
  explicit ServerClient(const ServerProcess& server, bool use_ssl = false);
  ~ServerClient();
  ServerClient(const ServerClient&) = delete;
  ServerClient& operator=(const ServerClient&) = delete;

  // Sends `request` (with "session", "view_id" and "_agent" added) after a
  // header with `command`; the reply, or an object {"transport_error": code}
  // (and a test failure) when the exchange itself fails.
  PObject Request(uint8_t command, PObject request);

  // A whole-file upload of `content` to `path` over base version `base`
  // (0: new). The reply: {"sync_id", ...} or {"error": ...}.
  PObject Upload(const std::string& path, const std::string& content, uint64_t base = 0, uint32_t mtime = 1700000000);
  // The same with the content of the local file `file` (streamed, never
  // held in memory).
  PObject UploadFile(const std::string& path, const std::string& file, uint64_t base = 0, uint32_t mtime = 1700000000);
  PObject MakeDir(const std::string& path, uint64_t base = 0, uint32_t mtime = 1700000000);
  // Removes `path` at its current version and, for a folder, the highest
  // version below it (both looked up by a pull).
  PObject Remove(const std::string& path);
  // pull_event of the view below `path` from `sync_id`.
  PObject Pull(uint64_t sync_id = 0, const std::string& path = "/");
  // The current sync id of `path` (0 when the server lists none).
  uint64_t SyncIdOf(const std::string& path);

 private:
  const ServerProcess& server_;
  TempDir dir_;
  std::unique_ptr<ConnectionPool> pool_;
};

}  // namespace tidewell::testing

#endif  // TIDEWELL_TESTS_COMMON_SERVER_CLIENT_H_
