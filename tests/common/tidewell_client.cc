#include "common/tidewell_client.h"

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "cli/verify.h"
#include "platform/process.h"

extern char** environ;

namespace tidewell::testing {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

TidewellClient::TidewellClient(std::string name) : name_(std::move(name)) {
  fs::create_directories(dir_.Join("home"));
  fs::create_directories(dir_.Join("run"));
}

TidewellClient::~TidewellClient() {
  std::string out;
  if (Run({"stop"}, &out, std::chrono::seconds(150)) != 0) {
    ADD_FAILURE() << name_ << ": tidewell stop failed: " << out;
  }
  pid_t daemon = DaemonPid();
  if (daemon > 0 && ProcessExists(daemon)) (void)SignalProcess(daemon, SIGKILL);
  if (::testing::Test::HasFailure()) {
    std::cerr << "---- " << name_ << " instance log\n" << ReadAll(StateFile("instance.log"));
    std::string log = ReadAll(StateFile("daemon.log"));
    if (log.size() > 20000) log = log.substr(log.size() - 20000);
    std::cerr << "---- " << name_ << " daemon log (end)\n" << log << "----\n";
  }
}

std::string TidewellClient::ProgramPath() { return std::string(TIDEWELL_BINARY_DIR) + "/src/tidewell"; }

std::string TidewellClient::StateFile(const std::string& name) const {
  return dir_.Join("home/.local/state/tidewell/" + name);
}

std::vector<std::string> TidewellClient::Environment() const {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    if (entry.rfind("HOME=", 0) == 0 || entry.rfind("XDG_", 0) == 0) continue;
    env.push_back(entry);
  }
  env.push_back("HOME=" + dir_.Join("home"));
  env.push_back("XDG_RUNTIME_DIR=" + dir_.Join("run"));
  return env;
}

int TidewellClient::Run(const std::vector<std::string>& args, std::string* output, std::chrono::seconds deadline) {
  const std::string log = dir_.Join("command.out");
  fs::remove(log);
  SpawnOptions o;
  o.argv = {ProgramPath()};
  o.argv.insert(o.argv.end(), args.begin(), args.end());
  o.env = Environment();
  o.output_file = log;
  pid_t pid = SpawnProcess(o);
  if (pid < 0) {
    if (output) *output = "cannot start " + ProgramPath();
    return -1;
  }
  int code = -1;
  if (WaitProcess(pid, static_cast<int>(deadline.count() * 1000), &code) != 1) {
    (void)SignalProcess(pid, SIGKILL);
    (void)WaitProcess(pid, 10000, nullptr);
    code = -1;
  }
  if (output) *output = ReadAll(log);
  return code;
}

void TidewellClient::Login(int port, const std::string& token, uint64_t view, const std::string& ca_file) {
  std::vector<std::string> args = {"login",  "127.0.0.1:" + std::to_string(port), "--token", token, "--view",
                                   std::to_string(view), "--name", name_};
  if (!ca_file.empty()) args.insert(args.end(), {"--ca-file", ca_file});
  std::string out;
  ASSERT_EQ(0, Run(args, &out)) << out;
}

void TidewellClient::Add(const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"add", folder()};
  args.insert(args.end(), extra.begin(), extra.end());
  std::string out;
  ASSERT_EQ(0, Run(args, &out)) << out;
}

void TidewellClient::Start() {
  std::string out;
  ASSERT_EQ(0, Run({"start"}, &out)) << out;
}

void TidewellClient::Stop() {
  std::string out;
  ASSERT_EQ(0, Run({"stop"}, &out, std::chrono::seconds(150))) << out;
}

pid_t TidewellClient::DaemonPid() const {
  nlohmann::json j = nlohmann::json::parse(ReadAll(dir_.Join("run/tidewell/port")), nullptr, false);
  if (j.is_discarded() || !j.contains("daemon_pid")) return -1;
  return j["daemon_pid"].get<pid_t>();
}

nlohmann::json TidewellClient::Status() {
  std::string out;
  if (Run({"status", "--json"}, &out) != 0) return nullptr;
  return nlohmann::json::parse(out, nullptr, false);
}

nlohmann::json TidewellClient::Verify(int* rc) {
  std::string out;
  *rc = Run({"verify", folder(), "--json"}, &out);
  nlohmann::json j = nlohmann::json::parse(out, nullptr, false);
  if (j.is_discarded()) return nlohmann::json{{"output", out}};
  return j;
}

void TidewellClient::Write(const std::string& rel, const std::string& content) const {
  const fs::path p = Path(rel);
  fs::create_directories(p.parent_path());
  // Written beside and renamed into place, as editors do, so that the
  // daemon never reads half a file.
  const fs::path tmp = p.parent_path() / (".tmp-" + p.filename().string());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << tmp;
  }
  fs::rename(tmp, p);
}

std::string TidewellClient::Read(const std::string& rel) const { return ReadAll(Path(rel)); }

bool TidewellClient::Exists(const std::string& rel) const {
  std::error_code ec;
  return fs::exists(fs::symlink_status(Path(rel), ec));
}

std::map<std::string, std::string> FolderContent(const std::string& root) {
  std::map<std::string, cli::TreeItem> items;
  std::string error;
  std::map<std::string, std::string> out;
  if (cli::ScanLocalTree(root, items, error) != 0) return out;
  for (const auto& [path, item] : items) out[path] = item.is_dir ? "<dir>" : item.hash;
  return out;
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::seconds deadline) {
  const auto end = Clock::now() + deadline;
  for (;;) {
    if (pred()) return true;
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

namespace {

// Idle: every session of the client reports no pending event and no error
// or hold, and nothing is in transfer.
bool Idle(const nlohmann::json& s, std::string& why) {
  if (s.is_null() || s.is_discarded() || !s.value("running", false)) {
    why = "not running";
    return false;
  }
  for (const auto& session : s["sessions"]) {
    const std::string state = session["state"];
    if (state != "up to date" || session["pending"].get<uint64_t>() != 0) {
      why = "session " + session["folder"].get<std::string>() + " is " + state + " with " +
            std::to_string(session["pending"].get<uint64_t>()) + " pending";
      return false;
    }
  }
  if (!s["transfers"].empty()) {
    why = "transfers running";
    return false;
  }
  return true;
}

std::string Diff(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b) {
  std::string out;
  for (const auto& [p, h] : a) {
    auto it = b.find(p);
    if (it == b.end()) out += "  only in first: " + p + "\n";
    else if (it->second != h) out += "  differs: " + p + "\n";
  }
  for (const auto& [p, h] : b) {
    if (!a.count(p)) out += "  only in second: " + p + "\n";
  }
  return out;
}

}  // namespace

::testing::AssertionResult Converged(TidewellClient& a, TidewellClient& b, std::chrono::seconds deadline) {
  const auto end = Clock::now() + deadline;
  std::string last;
  for (;;) {
    std::string why;
    const auto ca = FolderContent(a.folder());
    const auto cb = FolderContent(b.folder());
    if (ca != cb) {
      last = "the folders differ:\n" + Diff(ca, cb);
    } else if (!Idle(a.Status(), why)) {
      last = a.name() + ": " + why;
    } else if (!Idle(b.Status(), why)) {
      last = b.name() + ": " + why;
    } else {
      int ra = 0, rb = 0;
      nlohmann::json va = a.Verify(&ra), vb = b.Verify(&rb);
      const bool clean_a = ra == 0 && va.contains("pending") && va["pending"].empty();
      const bool clean_b = rb == 0 && vb.contains("pending") && vb["pending"].empty();
      // The folders may have moved on while verify ran: look again.
      if (clean_a && clean_b && FolderContent(a.folder()) == ca && FolderContent(b.folder()) == cb) {
        return ::testing::AssertionSuccess();
      }
      last = "verify: " + a.name() + " " + va.dump() + "; " + b.name() + " " + vb.dump();
    }
    if (Clock::now() > end) {
      return ::testing::AssertionFailure() << "not converged within " << deadline.count() << " s: " << last;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

::testing::AssertionResult InStepWithServer(TidewellClient& c, std::chrono::seconds deadline) {
  int rc = 0;
  nlohmann::json v;
  if (WaitFor(
          [&] {
            v = c.Verify(&rc);
            return rc == 0 && v.contains("pending") && v["pending"].empty();
          },
          deadline)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << c.name() << " not in step with the server within " << deadline.count()
                                       << " s: verify exit " << rc << ": " << v.dump();
}

}  // namespace tidewell::testing
