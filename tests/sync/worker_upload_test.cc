// The upload road against the real server, through a forwarder that counts
// what travels: whole files, deltas, content the server keeps, the
// de-duplication probe, a resumable upload cut in the middle of its body,
// names the server cannot hold, the server's refusals, files that change
// while they are read, and items that are never uploaded.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>
#include <algorithm>

#include "base/error_code.h"
#include "common/engine_harness.h"
#include "common/forwarder.h"
#include "common/random.h"
#include "common/server_client.h"
#include "events/event_generator.h"
#include "sync/worker.h"

namespace tidewell {
namespace {

namespace fs = std::filesystem;
using testing::EngineClient;
using testing::Forwarder;
using testing::Md4Hex;
using testing::ServerClient;
using testing::ServerProcess;

// Exposes what the tests drive or look at directly.
class ProbeWorker : public Worker {
 public:
  using Worker::cached_request;
  using Worker::context;
  using Worker::HandleUploadError;
  using Worker::Worker;

  // Appends to the file being uploaded the first `changes` times its
  // content has been read: the file is still being written.
  int changes = 0;
  void OnUploadContentRead(const ustring& path) override {
    if (changes <= 0) return;
    --changes;
    std::string full(context.root_entry.local_path.utf8_view());
    full += std::string(path.utf8_view());
    FILE* f = fopen(full.c_str(), "ab");
    ASSERT_NE(nullptr, f);
    fputs(" more", f);
    fclose(f);
    // A new size is enough even within the same second.
  }
};

// path -> {hash, size} of what the server holds (folders: empty hash).
std::map<std::string, std::pair<std::string, uint64_t>> ServerFiles(ServerProcess& server) {
  ServerClient peer(server);
  PObject reply = peer.Pull(0);
  std::map<std::string, std::pair<std::string, uint64_t>> out;
  for (const PObject& e : reply["event_list"].asArray())
    out[std::string(e["path"].asStringRef().utf8_view())] = {std::string(e["file"]["hash"].asStringRef().utf8_view()),
                                                             e["file"]["size"].asUInt64()};
  return out;
}

class WorkerUploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Start());
    seed_ = testing::TestSeed();
  }

  void Upload(EngineClient& client, const std::string& path, bool dir = false) {
    Registry::Entry e = client.entry();
    PushUploadEvent(e, ustring(path), dir, client.events());
  }

  // Runs passes of `w` until nothing is left; the outcomes seen.
  std::vector<Worker::PassOutcome> Drain(EngineClient& client, Worker& w) {
    std::vector<Worker::PassOutcome> seen;
    client.Await(
        [&] {
          Worker::PassOutcome o = w.RunOnePass();
          if (o == Worker::kPassIdle) return client.events().GetAllPendingEventCount(client.sess_id()) == 0;
          seen.push_back(o);
          return false;
        },
        "the queue is drained");
    return seen;
  }

  ServerProcess server;
  uint64_t seed_ = 0;
};

TEST_F(WorkerUploadTest, WholeFilesThenDeltasAndUnchangedContentStaysHome) {
  Forwarder wire(server.port());
  EngineClient client(server, {.port = wire.port()});
  auto& w = client.AddWorker<ProbeWorker>();

  // Sizes around the plain/resumable limit and the block length.
  const size_t sizes[] = {0, 1, 2048, 524288, 524289, 3 << 20};
  for (size_t size : sizes) {
    const std::string path = "/f" + std::to_string(size);
    client.Write(path, testing::RandomBytes(seed_ + size, size));
    Upload(client, path);
  }
  Drain(client, w);
  auto files = ServerFiles(server);
  for (size_t size : sizes) {
    const std::string path = "/f" + std::to_string(size);
    SCOPED_TRACE(path);
    EXPECT_EQ(Md4Hex(client.Read(path)), files[path].first);
    EXPECT_EQ(size, files[path].second);
    ClientFileEventInfo info;
    ASSERT_EQ(1, client.Record(path, info));
    EXPECT_EQ(Md4Hex(client.Read(path)), std::string(info.fileCheckSum.utf8_view()));
    EXPECT_EQ(size, info.fileSize);
  }

  // One byte changed in the middle of 3 MiB: a delta goes, not the file.
  std::string big = client.Read("/f3145728");
  big[big.size() / 2] ^= 0x5A;
  client.Write("/f3145728", big);
  wire.ResetCounters();
  Upload(client, "/f3145728");
  Drain(client, w);
  EXPECT_LT(wire.to_server(), 64u * 1024) << "a one-byte edit sends a delta";
  EXPECT_EQ(Md4Hex(big), ServerFiles(server)["/f3145728"].first);

  // The same content under a new time: nothing is sent, the time goes back.
  ClientFileEventInfo before;
  ASSERT_EQ(1, client.Record("/f2048", before));
  const std::string content = client.Read("/f2048");
  client.Write("/f2048", content);
  struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(before.fileModTime) + 100, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, client.Path("/f2048").c_str(), times, AT_SYMLINK_NOFOLLOW));
  wire.ResetCounters();
  Upload(client, "/f2048");
  Drain(client, w);
  EXPECT_EQ(0u, wire.to_server()) << "nothing but the time changed";
  struct stat st;
  ASSERT_EQ(0, stat(client.Path("/f2048").c_str(), &st));
  EXPECT_EQ(before.fileModTime, static_cast<uint32_t>(st.st_mtime));
  ClientFileEventInfo after;
  ASSERT_EQ(1, client.Record("/f2048", after));
  EXPECT_EQ(before.syncID, after.syncID);

  // A folder whose record exists has nothing to send either.
  fs::create_directories(client.Path("/dir"));
  Upload(client, "/dir", true);
  Drain(client, w);
  ASSERT_EQ(1, client.Record("/dir", after));
  wire.ResetCounters();
  Upload(client, "/dir", true);
  Drain(client, w);
  EXPECT_EQ(0u, wire.to_server());
}

TEST_F(WorkerUploadTest, ContentTheServerAlreadyHoldsIsNotSentAgain) {
  Forwarder wire(server.port());
  EngineClient client(server, {.port = wire.port()});
  auto& w = client.AddWorker<ProbeWorker>();
  const std::string content = testing::RandomBytes(seed_, 2 << 20);
  client.Write("/a.bin", content);
  Upload(client, "/a.bin");
  Drain(client, w);

  client.Write("/copies/b.bin", content);
  wire.ResetCounters();
  Upload(client, "/copies/b.bin");
  Drain(client, w);
  EXPECT_LT(wire.to_server(), 16u * 1024) << "the probe found the content; no body was sent";
  auto files = ServerFiles(server);
  EXPECT_EQ(Md4Hex(content), files["/copies/b.bin"].first);
  ClientFileEventInfo info;
  ASSERT_EQ(1, client.Record("/copies/b.bin", info));
  EXPECT_EQ(Md4Hex(content), std::string(info.fileCheckSum.utf8_view()));
  EXPECT_EQ(content.size(), info.fileSize);
}

TEST_F(WorkerUploadTest, AnUploadCutInItsBodyResumesFromWhatTheServerHolds) {
  Forwarder wire(server.port());
  EngineClient client(server, {.port = wire.port()});
  auto& w = client.AddWorker<ProbeWorker>();
  const std::string content = testing::RandomBytes(seed_, 16 << 20);
  client.Write("/big.bin", content);
  // The connection breaks after 6 MiB have gone towards the server.
  wire.CutToServerAfter(6u << 20);
  Upload(client, "/big.bin");
  EXPECT_EQ(Worker::kPassRetry, w.RunOnePass()) << "the broken transfer keeps its event";
  EXPECT_GE(wire.to_server(), 6u << 20);

  // What the server kept of the body, asked the way the worker asks.
  PObject status_request;
  status_request["_action"] = "resume_get_status";
  status_request["_resume_token"] = w.cached_request["_resume_token"];
  ASSERT_FALSE(status_request["_resume_token"].asStringRef().empty());
  PObject status = ServerClient(server).Request(27, status_request);
  const uint64_t held = status["file"]["offset"].asUInt64();
  EXPECT_GT(held, 0u) << status.toString().c_str_utf8();
  EXPECT_LE(held, 6u << 20);

  wire.ResetCounters();
  EXPECT_EQ(Worker::kPassDone, w.RunOnePass()) << "the second attempt completes";
  // Only the rest travelled.
  EXPECT_GE(wire.to_server(), content.size() - held);
  EXPECT_LT(wire.to_server(), content.size() - held + (64u << 10));
  EXPECT_EQ(Md4Hex(content), ServerFiles(server)["/big.bin"].first);
  for (const std::string& name : client.List("/.VeltronaWorkingDirectory"))
    EXPECT_TRUE(name == "#VeltRecycle" || name == "session-root") << "left behind: " << name;
}

TEST_F(WorkerUploadTest, NamesTheServerCannotHoldAreRenamedFirst) {
  EngineClient client(server);
  auto& w = client.AddWorker<ProbeWorker>();
  client.Write("/ notes.txt", "leading blank");
  client.Write("/report.", "trailing dot");
  client.Write("/taken.txt", "already here");
  client.Write("/taken.txt ", "trailing blank, clean name taken");
  for (const char* p : {"/ notes.txt", "/report.", "/taken.txt ", "/taken.txt"}) Upload(client, p);
  Drain(client, w);

  auto names = client.List("/");
  EXPECT_EQ(4u, names.size());
  auto files = ServerFiles(server);
  EXPECT_EQ(Md4Hex("leading blank"), files["/notes.txt"].first);
  EXPECT_EQ(Md4Hex("already here"), files["/taken.txt"].first);
  int tail = 0;
  int blank = 0;
  for (const auto& [path, f] : files) {
    if (path.find("_PC1_") != std::string::npos && path.find("_TailCharacterConflict") != std::string::npos) {
      EXPECT_EQ(Md4Hex("trailing dot"), f.first);
      ++tail;
    }
    if (path.rfind("/taken_PC1_", 0) == 0 && path.find("_WhiteSpaceConflict.txt") != std::string::npos) {
      EXPECT_EQ(Md4Hex("trailing blank, clean name taken"), f.first);
      ++blank;
    }
    EXPECT_NE(' ', path[1]) << path;
    EXPECT_NE('.', path.back()) << path;
  }
  EXPECT_EQ(1, tail);
  EXPECT_EQ(1, blank);
}

TEST_F(WorkerUploadTest, TheServersRefusalsAreSettledOnTheRightSide) {
  EngineClient client(server);
  ServerClient peer(server);
  auto& w = client.AddWorker<ProbeWorker>();
  for (const char* p : {"/removed.txt", "/edited.txt"}) {
    client.Write(p, "first");
    Upload(client, p);
  }
  Drain(client, w);

  // 0x9001: removed on the server meanwhile; the local edit wins and the
  // file is uploaded as new.
  ASSERT_FALSE(peer.Remove("/removed.txt").hasMember("error"));
  client.Write("/removed.txt", "edited after the server's removal");
  Upload(client, "/removed.txt");
  // 0x9002: another client's newer version; ours is left for the pull to
  // turn into a conflict copy.
  ClientFileEventInfo base;
  ASSERT_EQ(1, client.Record("/edited.txt", base));
  ASSERT_FALSE(peer.Upload("/edited.txt", "the other client's", base.syncID).hasMember("error"));
  client.Write("/edited.txt", "ours");
  Upload(client, "/edited.txt");
  // 0x6002: a folder on the server where we have a file.
  ASSERT_FALSE(peer.MakeDir("/kind").hasMember("error"));
  client.Write("/kind", "a file here");
  Upload(client, "/kind");
  Drain(client, w);

  auto files = ServerFiles(server);
  EXPECT_EQ(Md4Hex("edited after the server's removal"), files["/removed.txt"].first);
  EXPECT_EQ(Md4Hex("the other client's"), files["/edited.txt"].first);
  EXPECT_EQ("ours", client.Read("/edited.txt"));
  ClientFileEventInfo still;
  ASSERT_EQ(1, client.Record("/edited.txt", still));
  EXPECT_EQ(base.syncID, still.syncID) << "the record still names our base";
  EXPECT_FALSE(client.Exists("/kind"));
  bool renamed = false;
  for (const auto& [path, f] : files)
    if (path.rfind("/kind_PC1_", 0) == 0 && path.find("_Conflict") != std::string::npos) {
      EXPECT_EQ(Md4Hex("a file here"), f.first);
      renamed = true;
    }
  EXPECT_TRUE(renamed);

  // Codes this server never sends, and the rest of the table, on a record
  // that exists.
  struct Row {
    uint64_t code;
    int result;
    bool record_kept;
  };
  const Row rows[] = {
      {0x7000, ERR_INT, false},  // drops the record: uploaded as new next
      {0x6001, ERR_OK, true},    // wait for the pull
      {0xB001, ERR_INT, true},   // try again
      {0xB7FF, ERR_INT, true},
      {0x4001, ERR_QUOTA, true},
      {0x1001, ERR_AUTH, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    client.Write("/t.txt", "t");
    Upload(client, "/t.txt");
    Drain(client, w);
    Upload(client, "/t.txt");
    ASSERT_EQ(0, client.events().PullEvent(&w, w.context.current_event));
    w.context.root_entry = client.entry();
    ASSERT_EQ(1, client.Record("/t.txt", w.context.database_record));
    PObject reply;
    reply["error"]["code"] = static_cast<unsigned long long>(row.code);
    EXPECT_EQ(row.result, w.HandleUploadError(reply));
    ClientFileEventInfo info;
    EXPECT_EQ(row.record_kept ? 1 : 0, client.Record("/t.txt", info));
    Event e = w.context.current_event;
    client.events().DoneEvent(&w, e);
    w.context.clear();
  }
}

TEST_F(WorkerUploadTest, AFileStillBeingWrittenIsReadAgainLaterNeverSentHalfDone) {
  Forwarder wire(server.port());
  EngineClient client(server, {.port = wire.port()});
  client.env().upload_backoff.SetDelays(std::chrono::milliseconds(20), std::chrono::milliseconds(80));
  auto& w = client.AddWorker<ProbeWorker>();
  w.changes = 4;
  const std::string start = testing::RandomBytes(seed_, 1 << 20);
  client.Write("/growing.log", start);
  Upload(client, "/growing.log");
  auto seen = Drain(client, w);
  // Four reads saw the file move; each attempt was redone (and the later
  // ones spaced out), none was sent.
  EXPECT_EQ(0, w.changes);
  EXPECT_GE(std::count(seen.begin(), seen.end(), Worker::kPassRedo), 4);
  EXPECT_EQ(1, std::count(seen.begin(), seen.end(), Worker::kPassDone));
  const std::string final_content = start + " more more more more";
  EXPECT_EQ(final_content, client.Read("/growing.log"));
  EXPECT_EQ(Md4Hex(final_content), ServerFiles(server)["/growing.log"].first);
  EXPECT_LT(wire.to_server(), final_content.size() + (64u << 10)) << "one body went, the final one";
  EXPECT_EQ(0, client.env().upload_backoff.Changes(client.sess_id(), ustring("/growing.log")));
}

TEST_F(WorkerUploadTest, LinksFifosAndSocketsAreNeverUploaded) {
  Forwarder wire(server.port());
  EngineClient client(server, {.port = wire.port()});
  auto& w = client.AddWorker<ProbeWorker>();
  fs::create_directories(client.Path("/real"));
  client.Write("/real/secret.txt", "outside the session's reach through the link");
  fs::create_symlink(client.Path("/real/secret.txt"), client.Path("/link.txt"));
  fs::create_directory_symlink(client.Path("/real"), client.Path("/linkdir"));
  ASSERT_EQ(0, mkfifo(client.Path("/fifo").c_str(), 0600));
  for (const char* p : {"/link.txt", "/linkdir", "/linkdir/secret.txt", "/fifo"}) Upload(client, p);
  Drain(client, w);
  EXPECT_EQ(0u, wire.to_server()) << "nothing was even asked";
  EXPECT_TRUE(ServerFiles(server).empty());
  ClientFileEventInfo info;
  for (const char* p : {"/link.txt", "/linkdir", "/fifo"}) EXPECT_EQ(0, client.Record(p, info)) << p;

  // A rescan sees them too, and leaves them out.
  client.events().IssueRescan(client.sess_id(), ustring("/"), false);
  Drain(client, w);
  auto files = ServerFiles(server);
  const std::string secret = "outside the session's reach through the link";
  EXPECT_EQ((std::map<std::string, std::pair<std::string, uint64_t>>{
                {"/real", {"", 0}}, {"/real/secret.txt", {Md4Hex(secret), secret.size()}}}),
            files);
}

}  // namespace
}  // namespace tidewell
