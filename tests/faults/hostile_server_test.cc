// 10,000 hostile server replies: a server on 127.0.0.1 that answers the
// engine's requests (the handshake, the resume token and the download) with
// well-formed replies mutated at random — bytes flipped, cut short, junk
// inserted, lengths and type tags overwritten, or nothing but noise — and
// then closes the connection. The worker must take every damaged reply as a
// failure: it keeps running, the user's files stay as they were, nothing the
// server sent stays in the working folder, and a file lands only with the
// content its hash names (a mutation that hit only, say, the "alive" value
// leaves a reply that is still sound; those are counted).
//
// Mutations come from the printed seed; replay with TIDEWELL_SEED=<seed>.
// TIDEWELL_HOSTILE_REPLIES changes the count (10,000 by default).

#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/engine_harness.h"
#include "common/loopback.h"
#include "common/random.h"
#include "common/server_client.h"
#include "common/server_process.h"
#include "common/temp_dir.h"
#include "net/channel.h"
#include "net/memory_channel.h"
#include "net/protocol.h"
#include "net/pstream.h"
#include "sync/worker.h"

namespace tidewell {
namespace {

using testing::EngineClient;
using testing::Md4Hex;
using testing::ServerProcess;

// What the server claims to hold at `path`: different for every path, so
// that a file that did land is never a local copy for the next event.
std::string ContentOf(const std::string& path) { return "the content the server claims to hold at " + path; }

// A well-formed reply to `action` on `path`, encoded as the server would put
// it on the wire.
using Tweak = std::function<void(const std::string& action, PObject& reply, testing::TempDir& files)>;

std::string Encoded(const std::string& action, const std::string& path, testing::TempDir& files,
                    const Tweak& tweak = nullptr) {
  PObject r;
  r["alive"] = 120;
  if (action == "connect") {
    r["server"]["package_version"]["build"] = 3100;
  } else if (action == "resume_get_token") {
    r["resume_token"] = "0123456789abcdef0123456789abcdef";
  } else {
    const std::string content = ContentOf(path);
    files.WriteFile("body", content);
    r["sync_id"] = 9;
    r["max_id"] = 9;
    r["is_dir"] = false;
    r["file"]["refer"] = false;
    r["file"]["is_delta"] = false;
    r["file"]["size"] = static_cast<unsigned long long>(content.size());
    r["file"]["hash"] = Md4Hex(content);
    PObject::binary_type body;
    body.path = files.Join("body");
    body.length = content.size();
    r["file"]["data"] = body;
    r["mtime"]["refer"] = false;
    r["mtime"]["mtime"] = 1700000000;
  }
  if (tweak) tweak(action, r, files);
  MemoryChannel ch;
  PStream ps;
  EXPECT_EQ(0, ps.Send(ch, r));
  return ch.output();
}

// One of several kinds of damage, chosen by `rng`.
std::string Mutate(std::string bytes, std::mt19937_64& rng) {
  auto pick = [&](size_t n) { return n == 0 ? size_t{0} : static_cast<size_t>(rng() % n); };
  switch (rng() % 7) {
    case 0:  // a few bytes flipped
      for (int i = 1 + static_cast<int>(rng() % 8); i > 0 && !bytes.empty(); --i)
        bytes[pick(bytes.size())] ^= static_cast<char>(1 + rng() % 255);
      break;
    case 1:  // cut short
      bytes.resize(pick(bytes.size()));
      break;
    case 2:  // junk inserted
      bytes.insert(pick(bytes.size() + 1), testing::RandomBytes(rng, 1 + rng() % 64));
      break;
    case 3:  // a run overwritten with 0xff: huge lengths and counts
      for (size_t at = pick(bytes.size()), i = 0; i < 1 + rng() % 8 && at + i < bytes.size(); ++i) bytes[at + i] = '\xff';
      break;
    case 4:  // a byte set to a small value: type tags and lengths changed
      if (!bytes.empty()) bytes[pick(bytes.size())] = static_cast<char>(rng() % 16);
      break;
    case 5:  // noise only
      bytes = testing::RandomBytes(rng, rng() % 512);
      break;
    default:  // a piece repeated
      if (!bytes.empty()) {
        const size_t at = pick(bytes.size());
        bytes.insert(at, bytes.substr(at, 1 + rng() % 32));
      }
      break;
  }
  return bytes;
}

// Reads requests as a server does and answers each with its well-formed
// reply or, for every download and a third of the other requests, a mutated
// one, closing the connection after a mutated reply. Stops mutating once
// `limit` mutated replies went out. A thread per connection, so that a
// connection the client keeps open never holds back the next one.
class HostileServer {
 public:
  // `tweak`, when given, changes every reply before it is encoded (and no
  // reply is mutated): the fixed cases below.
  HostileServer(uint64_t seed, int limit, Tweak tweak = nullptr)
      : limit_(limit), tweak_(std::move(tweak)), rng_(seed) {
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~HostileServer() {
    stopping_ = true;
    listener_.Close();
    acceptor_.join();
    std::vector<std::thread> connections;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (int fd : sockets_) shutdown(fd, SHUT_RDWR);
      connections.swap(connections_);
    }
    for (auto& t : connections) t.join();
  }
  int port() const { return listener_.port(); }
  int hostile() const { return hostile_.load(); }
  int downloads() const { return downloads_.load(); }

 private:
  void Accept() {
    while (!stopping_) {
      int s = listener_.Accept();
      if (s < 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      sockets_.push_back(s);
      connections_.emplace_back([this, s] { Serve(s); });
    }
  }

  void Serve(int s) {
    Channel ch;
    if (ch.Open(s, true) != 0) return;
    ch.SetTimeout(30);
    PStream ps;
    ps.SetDefaultRecvLocation(ustring(files_.path()));
    for (;;) {
      uint16_t len;
      uint8_t command, version;
      PObject req;
      if (ProtoReadHeader(ch, len, command, version) != 0 || ps.Recv(ch, req) != 0) break;
      const std::string action(req["action"].asStringRef().utf8_view());
      const bool download = action != "connect" && action != "resume_get_token";
      if (download) ++downloads_;
      std::string bytes;
      bool hostile = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes = Encoded(action, std::string(req["path"].asStringRef().utf8_view()), files_, tweak_);
        hostile = !tweak_ && hostile_.load() < limit_ && (download || rng_() % 3 == 0);
        if (hostile) {
          bytes = Mutate(std::move(bytes), rng_);
          ++hostile_;
        }
      }
      bool ok = true;
      for (size_t at = 0; ok && at < bytes.size(); at += 4096) {
        const size_t n = std::min<size_t>(4096, bytes.size() - at);
        ok = ch.Write(bytes.data() + at, n) == 0;
      }
      ok = ok && ch.FlushWrite(0) == 0;
      if (!ok || hostile) break;
    }
    ch.Close();
  }

  const int limit_;
  const Tweak tweak_;
  testing::LoopbackListener listener_;
  testing::TempDir files_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> hostile_{0};
  std::atomic<int> downloads_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  // Guarded by mutex_: the generator, the body file, the connections.
  std::mt19937_64 rng_;
  std::vector<int> sockets_;
  std::vector<std::thread> connections_;
};

int ReplyCount() {
  const char* env = std::getenv("TIDEWELL_HOSTILE_REPLIES");
  return env != nullptr && *env ? std::atoi(env) : 10000;
}

TEST(HostileServerTest, TenThousandMutatedRepliesLeaveTheSessionUntouched) {
  const int limit = ReplyCount();
  HostileServer server(testing::TestSeed(), limit);
  ServerProcess unused;
  EngineClient client(unused, {.port = server.port()});
  client.Write("/kept.txt", "a file of the user's");
  Worker& worker = client.AddWorker();

  Event e;
  e.m_type = Event::EV_CREATE;
  e.m_mode = Event::F_SERVER;
  e.m_sess_id = client.sess_id();
  e.m_sync_id = e.m_max_id = 9;

  int passes = 0;
  int events = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(8);
  while (server.hostile() < limit) {
    ASSERT_LT(std::chrono::steady_clock::now(), until) << server.hostile() << " hostile replies in time";
    if (client.events().GetAllPendingEventCount(client.sess_id()) == 0) {
      // A new name each time, so that a file that did land does not turn
      // the next event into an echo.
      const std::string path = "/f" + std::to_string(++events) + ".txt";
      e.m_path = ustring(path);
      e.m_data_hash = ustring(Md4Hex(ContentOf(path)));
      e.m_data_size = ContentOf(path).size();
      client.events().PushServerEvent(e);
    }
    worker.RunOnePass();
    ++passes;
    if (passes % 500 == 0) {
      // Nothing piles up: at most what the last reply brought (its partial
      // body, kept to resume, and at most eight other files a message may
      // carry, dropped at the next attempt) beside the recycle folder.
      ASSERT_LE(client.List("/.VeltronaWorkingDirectory").size(), 10u) << "after " << passes << " passes";
      ASSERT_EQ("a file of the user's", client.Read("/kept.txt")) << "after " << passes << " passes";
    }
  }
  // The server answers soundly from now on: the pending event completes and
  // whatever it kept goes with it.
  while (client.events().GetAllPendingEventCount(client.sess_id()) != 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), until) << "the last event to complete";
    worker.RunOnePass();
  }
  // Every event is done: nothing a transfer made may be left.
  for (const std::string& name : client.List("/.VeltronaWorkingDirectory")) {
    if (name == "#VeltRecycle") continue;
    ADD_FAILURE() << "left in the working folder: " << name << " ("
                  << client.Read("/.VeltronaWorkingDirectory/" + name).size() << " bytes)";
  }
  // A reply may also say the item is now a folder (the server's state is
  // newer than the event); anything landed as a file holds the content its
  // hash names.
  int landed = 0, folders = 0;
  for (const std::string& name : client.List("/")) {
    if (name == "kept.txt") continue;
    struct stat st;
    ASSERT_EQ(0, lstat(client.Path("/" + name).c_str(), &st));
    if (S_ISDIR(st.st_mode)) {
      ++folders;
      EXPECT_TRUE(client.List("/" + name).empty()) << name;
      continue;
    }
    ++landed;
    EXPECT_EQ(ContentOf("/" + name), client.Read("/" + name)) << name << " landed with content its hash does not name";
  }
  std::printf("hostile server: %d mutated replies over %d downloads of %d events in %d passes; "
              "%d files landed, each with the content its hash names, and %d folders\n",
              server.hostile(), server.downloads(), events, passes, landed, folders);
}

// Replies the random run found to matter, each on its own.
TEST(HostileServerTest, FixedRepliesThatClaimContentWithoutCarryingIt) {
  struct Case {
    const char* name;
    Tweak tweak;
  };
  auto download = [](const std::string& action) { return action != "connect" && action != "resume_get_token"; };
  const Case cases[] = {
      {"content said to be unchanged, with nothing local to refer to",
       [&](const std::string& a, PObject& r, testing::TempDir&) {
         if (download(a)) r["file"]["refer"] = true;
       }},
      {"no file part at all",
       [&](const std::string& a, PObject& r, testing::TempDir&) {
         if (download(a)) r.asMap().erase(ustring("file"));
       }},
      {"size 0 beside a non-empty body",
       [&](const std::string& a, PObject& r, testing::TempDir&) {
         if (download(a)) r["file"]["size"] = 0;
       }},
      {"a bare binary instead of a reply",
       [&](const std::string& a, PObject& r, testing::TempDir&) {
         if (download(a)) r = PObject(PObject::binary_type(r["file"]["data"].asBinary()));
       }},
      {"a file inside the handshake's reply",
       [&](const std::string& a, PObject& r, testing::TempDir& files) {
         if (a != "connect") return;
         files.WriteFile("junk", "a file nobody asked for");
         PObject::binary_type junk;
         junk.path = files.Join("junk");
         junk.length = 23;
         r["junk"] = junk;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostileServer server(testing::TestSeed(), 0, c.tweak);
    ServerProcess unused;
    EngineClient client(unused, {.port = server.port()});
    Worker& worker = client.AddWorker();
    Event e;
    e.m_type = Event::EV_CREATE;
    e.m_mode = Event::F_SERVER;
    e.m_sess_id = client.sess_id();
    e.m_path = ustring("/f.txt");
    e.m_sync_id = e.m_max_id = 9;
    e.m_data_hash = ustring(Md4Hex(ContentOf("/f.txt")));
    e.m_data_size = ContentOf("/f.txt").size();
    client.events().PushServerEvent(e);
    for (int pass = 0; pass < 3; ++pass) worker.RunOnePass();
    EXPECT_FALSE(client.Exists("/f.txt") && client.Read("/f.txt") != ContentOf("/f.txt"))
        << "f.txt holds '" << client.Read("/f.txt") << "'";
    ClientFileEventInfo rec;
    if (client.Record("/f.txt", rec) == 1 && rec.isExist) {
      EXPECT_TRUE(client.Exists("/f.txt")) << "recorded as synced but not on disk";
    }
    EXPECT_EQ(std::vector<std::string>{"#VeltRecycle"}, client.List("/.VeltronaWorkingDirectory"));
  }
}

}  // namespace
}  // namespace tidewell
