// Download replies a hostile or broken server might send, from a scripted
// server on 127.0.0.1 that speaks the real wire format: content that does
// not match its hash, a reply without content, a broken delta, binaries
// where none belong (also inside keep-alives). Nothing may land in the
// session, and nothing the server sent may stay in the working folder.
// The upload, removal and pull roads get the same binaries where none
// belong.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "base/error_code.h"
#include "base/log.h"
#include "common/engine_harness.h"
#include "common/server_client.h"
#include "common/server_process.h"
#include "common/temp_dir.h"
#include "events/event_generator.h"
#include "net/channel.h"
#include "net/protocol.h"
#include "net/pstream.h"
#include "sync/syncer.h"

namespace tidewell {
namespace {

using testing::EngineClient;
using testing::Md4Hex;
using testing::ServerProcess;

// Answers "connect" (and, unless the script answers every request,
// "resume_get_token") itself and every other request with what the test's
// script returns. One connection at a time.
class ScriptedServer {
 public:
  using Script = std::function<std::vector<PObject>(const PObject& request, testing::TempDir& files)>;

  explicit ScriptedServer(Script script, bool scripts_tokens = false)
      : script_(std::move(script)), scripts_tokens_(scripts_tokens) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
    EXPECT_EQ(0, listen(fd_, 8));
    EXPECT_EQ(0, getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len));
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    stopping_ = true;
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  int port() const { return port_; }
  // The requests the script answered.
  int downloads() const { return downloads_.load(); }

 private:
  void Serve() {
    while (!stopping_) {
      int s = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (s < 0) continue;
      Channel ch;
      if (ch.Open(s, true) != 0) {
        close(s);
        continue;
      }
      PStream ps;
      ps.SetDefaultRecvLocation(ustring(files_.path()));
      for (;;) {
        uint16_t len;
        uint8_t command, version;
        PObject req;
        if (ProtoReadHeader(ch, len, command, version) != 0 || ps.Recv(ch, req) != 0) break;
        std::vector<PObject> replies;
        const std::string action(req["action"].asStringRef().utf8_view());
        if (action == "connect") {
          PObject r;
          r["alive"] = 120;
          r["server"]["package_version"]["build"] = 3100;
          replies.push_back(r);
        } else if (action == "resume_get_token" && !scripts_tokens_) {
          PObject r;
          r["alive"] = 120;
          r["resume_token"] = "0123456789abcdef0123456789abcdef";
          replies.push_back(r);
        } else {
          ++downloads_;
          replies = script_(req, files_);
        }
        bool ok = true;
        for (const PObject& r : replies) ok = ok && ps.Send(ch, r) == 0;
        if (!ok) break;
      }
      ch.Close();
    }
  }

  Script script_;
  const bool scripts_tokens_;
  testing::TempDir files_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> downloads_{0};
  std::thread thread_;
};

// A binary value backed by a fresh file of the scripted server. With
// `claimed` above the content's size the value says more than the file
// holds: the server sends what there is, fails, and closes the connection,
// so the client gets a body cut short.
PObject::binary_type Body(testing::TempDir& files, const std::string& content, uint64_t claimed = 0) {
  static std::atomic<int> n{0};
  std::string name = "body" + std::to_string(n++);
  files.WriteFile(name, content);
  PObject::binary_type b;
  b.path = files.Join(name);
  b.length = std::max<uint64_t>(claimed, content.size());
  return b;
}

PObject FileReply(testing::TempDir& files, const std::string& content, const std::string& hash, bool delta) {
  PObject r;
  r["alive"] = 120;
  r["sync_id"] = 9;
  r["max_id"] = 9;
  r["is_dir"] = false;
  r["file"]["refer"] = false;
  r["file"]["is_delta"] = delta;
  r["file"]["size"] = static_cast<unsigned long long>(content.size());
  r["file"]["hash"] = hash;
  r["file"]["data"] = Body(files, content);
  r["mtime"]["refer"] = false;
  r["mtime"]["mtime"] = 1700000000;
  return r;
}

class ProbeWorker : public Worker {
 public:
  using Worker::Worker;
  using Worker::patch_err_count;
};

struct Case {
  const char* name;
  ScriptedServer::Script script;
  bool local_basis;                // the client holds a synced version (a delta applies to it)
  Worker::PassOutcome each;        // what every attempt ends with
  Worker::PassOutcome last;        // ... the third one
  const char* reason;              // what a line naming the file says went wrong
};

// The number of lines of `log` that hold every one of `parts`.
int CountLinesWith(const std::string& log, const std::vector<std::string>& parts) {
  int n = 0;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    bool all = true;
    for (const std::string& p : parts) all = all && line.find(p) != std::string::npos;
    n += all ? 1 : 0;
  }
  return n;
}

// The lines of `log` that name `path` and say what becomes of its event.
std::vector<std::string> OutcomeLines(const std::string& log, const std::string& path) {
  std::vector<std::string> out;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    const bool told = line.find("tried again") != std::string::npos || line.find("given up") != std::string::npos;
    if (told && line.find("'" + path + "'") != std::string::npos) out.push_back(line);
  }
  return out;
}

TEST(HostileReplyTest, NothingLandsAndNothingStays) {
  const std::string good = "the real content";
  const Case cases[] = {
      {"\"try again\" (group 0xB): redone, the transfer state dropped",
       [&](const PObject&, testing::TempDir&) {
         PObject r;
         r["alive"] = 120;
         r["error"]["code"] = 0xB001;
         return std::vector<PObject>{r};
       },
       false, Worker::kPassRedo, Worker::kPassRedo, "0xb001"},
      {"content that does not match its hash",
       [&](const PObject&, testing::TempDir& f) { return std::vector<PObject>{FileReply(f, "forged!", Md4Hex(good), false)}; },
       // No basis to fall back on: fetched afresh later.
       false, Worker::kPassRedo, Worker::kPassRedo, "does not match its hash"},
      {"a file reply without content",
       [&](const PObject&, testing::TempDir& f) {
         PObject r = FileReply(f, good, Md4Hex(good), false);
         r["file"]["data"] = PObject();
         return std::vector<PObject>{r};
       },
       false, Worker::kPassRetry, Worker::kPassRetry, "carries no content"},
      // Content "as the client holds it", for a file the client does not
      // hold: a record written for it would claim a file that is not there,
      // which the next rescan reads as a local deletion to send.
      {"a reply that refers to a local version there is none of",
       [&](const PObject&, testing::TempDir& f) {
         PObject r = FileReply(f, good, Md4Hex(good), false);
         r["file"] = PObject();
         r["file"]["refer"] = true;
         return std::vector<PObject>{r};
       },
       false, Worker::kPassRetry, Worker::kPassRetry, "carries no content"},
      {"a file reply without a file part",
       [&](const PObject&, testing::TempDir& f) {
         PObject r = FileReply(f, good, Md4Hex(good), false);
         r.asMap().erase("file");
         return std::vector<PObject>{r};
       },
       false, Worker::kPassRetry, Worker::kPassRetry, "carries no content"},
      {"a delta that is no delta",
       [&](const PObject&, testing::TempDir& f) { return std::vector<PObject>{FileReply(f, "garbage", Md4Hex(good), true)}; },
       // Three failed patches end the event.
       true, Worker::kPassRetry, Worker::kPassDone, "cannot be applied"},
      {"binaries where none belong, also in keep-alives",
       [&](const PObject&, testing::TempDir& f) {
         PObject keep_alive;
         keep_alive["type"] = "keep_alive";
         keep_alive["junk"] = Body(f, "stray 1");
         PObject r = FileReply(f, "forged!", Md4Hex(good), false);
         PObject::array_type extra;
         for (int i = 0; i < 5; ++i) extra.emplace_back(Body(f, "stray"));
         r["extra"] = extra;
         r["mac_attribute"]["data"] = Body(f, "stray 2");
         return std::vector<PObject>{keep_alive, r};
       },
       false, Worker::kPassRedo, Worker::kPassRedo, "does not match its hash"},
      {"a body in place of the file part, then cut short",
       [&](const PObject&, testing::TempDir& f) {
         PObject r = FileReply(f, good, Md4Hex(good), false);
         r["file"] = Body(f, good);
         r["zz"] = Body(f, "a few bytes", 4096);
         return std::vector<PObject>{r};
       },
       false, Worker::kPassRetry, Worker::kPassRetry, "failed to download"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir logs;
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, ustring(logs.Join("log")), ustring(), 2));
    ScriptedServer fake(c.script);
    ServerProcess unused;
    EngineClient client(unused, {.port = fake.port()});
    ProbeWorker& w = client.AddWorker<ProbeWorker>();
    if (c.local_basis) {
      client.Write("/f.txt", "basis");
      ClientFileEventInfo rec;
      rec.path = ustring("/f.txt");
      rec.isExist = 1;
      rec.syncID = rec.maxSyncID = 3;
      rec.fileSize = 5;
      rec.fileCheckSum = ustring(Md4Hex("basis"));
      struct stat st;
      ASSERT_EQ(0, lstat(client.Path("/f.txt").c_str(), &st));
      rec.fileModTime = static_cast<uint32_t>(st.st_mtime);
      ASSERT_EQ(0, client.db().setEventInfo(rec));
    }
    Event e;
    e.m_type = Event::EV_MODIFY;
    e.m_mode = Event::F_SERVER;
    e.m_sess_id = client.sess_id();
    e.m_path = ustring("/f.txt");
    e.m_sync_id = e.m_max_id = 9;
    e.m_data_hash = ustring(Md4Hex(good));
    e.m_data_size = good.size();
    client.events().PushServerEvent(e);

    for (int pass = 0; pass < 3; ++pass) {
      EXPECT_EQ(pass == 2 ? c.last : c.each, w.RunOnePass()) << "pass " << pass;
      EXPECT_EQ(std::vector<std::string>{"#VeltRecycle"}, client.List("/.VeltronaWorkingDirectory")) << "pass " << pass;
      EXPECT_EQ(c.local_basis ? "basis" : "", client.Read("/f.txt"));
    }
    EXPECT_EQ(3, fake.downloads());
    ClientFileEventInfo rec;
    if (c.local_basis) {
      ASSERT_EQ(1, client.Record("/f.txt", rec));
      EXPECT_EQ(3u, rec.syncID);
    } else {
      EXPECT_EQ(0, client.Record("/f.txt", rec)) << "a record of a file that is not on disk";
    }
    EXPECT_EQ((std::vector<std::string>(c.local_basis ? 1 : 0, "f.txt")), client.List("/"));

    // From the log alone, at the levels written when no level table says
    // otherwise (warnings and worse), the user can tell which file failed,
    // why, and whether it is tried again.
    std::ifstream in(logs.Join("log"));
    std::stringstream log;
    log << in.rdbuf();
    Logger::Destroy();
    const std::vector<std::string> lines = OutcomeLines(log.str(), "/f.txt");
    EXPECT_EQ(3u, lines.size()) << log.str();
    for (size_t i = 0; i < lines.size(); ++i) {
      const bool dropped = i == 2 && c.last == Worker::kPassDone;
      EXPECT_NE(std::string::npos, lines[i].find("download of '/f.txt'")) << lines[i];
      EXPECT_NE(std::string::npos, lines[i].find(dropped ? "given up" : "tried again")) << lines[i];
    }
    EXPECT_EQ(3, CountLinesWith(log.str(), {"'/f.txt'", c.reason})) << log.str();
  }
}

// A download cut short in its body leaves a partial file, which the next
// attempt continues. When that attempt's reply puts something else where
// the body was, the partial file is no longer named by any reply; it must
// go then, not stay in the working folder after the event is done.
TEST(HostileReplyTest, APartialBodyTheNextReplyDisplacesIsDeleted) {
  const std::string good = "the real content, long enough to be cut in two";
  const std::string sent = good.substr(0, 20);
  struct Displacing {
    const char* name;
    std::function<PObject(testing::TempDir&)> reply;
  };
  const Displacing cases[] = {
      {"the file part is a string",
       [&](testing::TempDir& f) {
         PObject r = FileReply(f, good, Md4Hex(good), false);
         r["file"] = "no map";
         return r;
       }},
      {"the body is a number",
       [&](testing::TempDir& f) {
         PObject r = FileReply(f, good, Md4Hex(good), false);
         r["file"]["data"] = 7;
         return r;
       }},
      {"the file part is itself a body",
       [&](testing::TempDir& f) {
         PObject r = FileReply(f, good, Md4Hex(good), false);
         r["file"] = Body(f, good);
         return r;
       }},
      {"the file part is a string, then the reply is cut short",
       [&](testing::TempDir& f) {
         PObject r = FileReply(f, good, Md4Hex(good), false);
         r["file"] = "no map";
         r["zz"] = Body(f, "a few bytes", 4096);
         return r;
       }},
  };
  for (const Displacing& c : cases) {
    SCOPED_TRACE(c.name);
    std::mutex mu;
    std::vector<uint64_t> offsets;  // guarded by mu: the body offset of each download request
    ScriptedServer fake([&](const PObject& req, testing::TempDir& f) {
      std::lock_guard<std::mutex> lock(mu);
      offsets.push_back(req["file"]["offset"].asUInt64());
      PObject r = FileReply(f, good, Md4Hex(good), false);
      if (offsets.size() == 1) r["file"]["data"] = Body(f, sent, good.size());  // cut short in the body
      if (offsets.size() == 2) r = c.reply(f);
      return std::vector<PObject>{r};
    });
    ServerProcess unused;
    EngineClient client(unused, {.port = fake.port()});
    Worker& w = client.AddWorker();
    Event e;
    e.m_type = Event::EV_CREATE;
    e.m_mode = Event::F_SERVER;
    e.m_sess_id = client.sess_id();
    e.m_path = ustring("/f.txt");
    e.m_sync_id = e.m_max_id = 9;
    e.m_data_hash = ustring(Md4Hex(good));
    e.m_data_size = good.size();
    client.events().PushServerEvent(e);

    // The cut: the partial body stays, to be continued.
    EXPECT_EQ(Worker::kPassRetry, w.RunOnePass());
    std::vector<std::string> work = client.List("/.VeltronaWorkingDirectory");
    ASSERT_EQ(2u, work.size()) << "a partial body beside the recycle folder";
    const std::string partial = work[0] == "#VeltRecycle" ? work[1] : work[0];
    EXPECT_EQ(sent, client.Read("/.VeltronaWorkingDirectory/" + partial));

    // The continuing attempt gets a reply without the body in its place.
    (void)w.RunOnePass();
    EXPECT_EQ(std::vector<std::string>{"#VeltRecycle"}, client.List("/.VeltronaWorkingDirectory"));

    // A sound reply ends the event; nothing is left.
    for (int pass = 0; pass < 3 && client.events().GetAllPendingEventCount(client.sess_id()) != 0; ++pass)
      (void)w.RunOnePass();
    EXPECT_EQ(0, client.events().GetAllPendingEventCount(client.sess_id()));
    EXPECT_EQ(good, client.Read("/f.txt"));
    EXPECT_EQ(std::vector<std::string>{"#VeltRecycle"}, client.List("/.VeltronaWorkingDirectory"));
    std::lock_guard<std::mutex> lock(mu);
    ASSERT_GE(offsets.size(), 2u);
    EXPECT_EQ(sent.size(), offsets[1]) << "the second attempt continues the partial body";
  }
}

// Every file under the session folder (the working folder included) with
// the digest of its content.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string rel = entry.path().string().substr(root.size());
    if (!entry.is_regular_file()) {
      out[rel] = "<dir>";
      continue;
    }
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    out[rel] = Md4Hex(content.str());
  }
  return out;
}

// The other roads, given a binary where their reply holds none: the
// upload's token and dry-run replies, a removal's "error", a pulled event.
// No file the client received may stay in the working folder, no user
// file may change, and a token that is no string never goes back to the
// server.
TEST(HostileReplyTest, OtherRoadsKeepNoReceivedFile) {
  enum Road { kUpload, kRemove, kPull };
  using Reply = std::function<PObject(const std::string& action, testing::TempDir& files)>;
  struct Row {
    const char* name;
    Road road;
    Reply reply;   // the answer to each request but "connect"
    int expected;        // the pass outcome (upload, remove) or the pull's daemon code
    const char* reason;  // what a log line naming the file says, if one must
  };
  auto alive = [] {
    PObject r;
    r["alive"] = 120;
    return r;
  };
  // A sound answer to each request of a resumable upload.
  auto upload = [&](const std::string& action) {
    PObject r = alive();
    if (action == "resume_get_token") {
      r["resume_token"] = "0123456789abcdef0123456789abcdef";
    } else if (action == "upload") {  // the dry run: not stored yet
      r["file"]["file_id"] = 0;
    } else {
      r["sync_id"] = 9;
      r["max_id"] = 9;
      r["is_dir"] = false;
    }
    return r;
  };
  const Row rows[] = {
      // Refused: the upload fails as a protocol fault, kept for later.
      {"a binary as the resume token", kUpload,
       [&](const std::string& a, testing::TempDir& f) {
         PObject r = upload(a);
         if (a == "resume_get_token") r["resume_token"] = Body(f, "token?");
         return r;
       },
       Worker::kPassUnexpected, "resume token is not a string"},
      // Ignored: the upload goes on and ends.
      {"a binary in the dry-run reply", kUpload,
       [&](const std::string& a, testing::TempDir& f) {
         PObject r = upload(a);
         if (a == "upload") r["junk"] = Body(f, "stray");
         return r;
       },
       Worker::kPassDone, nullptr},
      // An error without a code: the removal is not recorded as done.
      {"a binary as a removal's error", kRemove,
       [&](const std::string&, testing::TempDir& f) {
         PObject r = alive();
         r["error"] = Body(f, "stray");
         return r;
       },
       Worker::kPassDone, nullptr},
      // Refused while received: the pull fails and is tried again.
      {"a binary as a pulled event", kPull,
       [&](const std::string&, testing::TempDir& f) {
         PObject r = alive();
         r["next_sync_id"] = 5;
         PObject::array_type list;
         list.emplace_back(Body(f, "stray"));
         r["event_list"] = list;
         return r;
       },
       ERR_IO, nullptr},
  };
  std::string big(600 * 1024, '\0');  // above the plain upload limit
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i * 7919 % 26);

  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testing::TempDir logs;
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, ustring(logs.Join("log")), ustring(), 2));
    std::atomic<int> binary_tokens{0};
    ScriptedServer fake(
        [&](const PObject& req, testing::TempDir& f) {
          for (const char* key : {"resume_token", "_resume_token"})
            if (req[key].isBinary()) ++binary_tokens;
          return std::vector<PObject>{row.reply(std::string(req["action"].asStringRef().utf8_view()), f)};
        },
        /*scripts_tokens=*/true);
    ServerProcess unused;
    EngineClient client(unused, {.port = fake.port()});
    ProbeWorker& w = client.AddWorker<ProbeWorker>();
    client.Write("/keep.txt", "the user's");
    Registry::Entry entry = client.entry();
    if (row.road == kUpload) {
      client.Write("/big.bin", big);
      ASSERT_EQ(1, PushUploadEvent(entry, ustring("/big.bin"), false, client.events()));
    } else if (row.road == kRemove) {
      ClientFileEventInfo rec;
      rec.path = ustring("/gone.txt");
      rec.isExist = 1;
      rec.syncID = rec.maxSyncID = 3;
      rec.fileSize = 4;
      rec.fileCheckSum = ustring(Md4Hex("gone"));
      ASSERT_EQ(0, client.db().setEventInfo(rec));
      ASSERT_EQ(1, PushLocalRemoveEvent(entry, ustring("/gone.txt"), false, client.events()));
    }
    // The guard's marker in the working folder is written at its first look.
    ASSERT_EQ(0, client.env().removal_guard.CheckRoot(entry));
    const auto before = Snapshot(client.root());

    if (row.road == kPull) {
      Syncer syncer(client.env());
      ASSERT_EQ(0, syncer.UpdateContext());
      PObject response;
      EXPECT_EQ(row.expected, syncer.PullEventFromServer(response));
      EXPECT_EQ(0u, client.stored_sync_id());
    } else {
      EXPECT_EQ(row.expected, w.RunOnePass());
    }
    EXPECT_EQ(before, Snapshot(client.root())) << "a received file stayed, or a user file changed";
    EXPECT_EQ(0, binary_tokens.load()) << "a received token went back to the server";
    ClientFileEventInfo rec;
    if (row.road == kRemove) {
      EXPECT_EQ(1, client.Record("/gone.txt", rec));
    }
    if (row.road == kUpload) {
      const bool done = row.expected == Worker::kPassDone;
      EXPECT_EQ(done ? 1 : 0, client.Record("/big.bin", rec));
      EXPECT_EQ(done ? 0 : 1, client.events().GetAllPendingEventCount(client.sess_id())) << "kept for later";
    }
    std::ifstream in(logs.Join("log"));
    std::stringstream log;
    log << in.rdbuf();
    Logger::Destroy();
    if (row.reason != nullptr) {
      EXPECT_EQ(1, CountLinesWith(log.str(), {"'/big.bin'", row.reason})) << log.str();
    }
  }
}

}  // namespace
}  // namespace tidewell
