// tidewell-delta: signatures, deltas and patches from the command line, with
// the argument order of the usual rdiff-style tools so the same command lines
// drive either:
//
//   tidewell-delta signature [-b BLOCK] [-S SUMLEN] BASIS SIG
//   tidewell-delta delta SIG NEW DELTA
//   tidewell-delta patch BASIS DELTA NEW
//
// Exit status 0 on success. On failure one line on standard error names the
// file and the reason, the status is 1 (2 for usage errors), and nothing is
// left under the output name: output goes to a temporary file beside it that
// is renamed into place only when complete.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/ustring.h"
#include "delta/delta_file_reader.h"
#include "delta/delta_format.h"
#include "delta/diagnostics.h"
#include "delta/file_reader.h"

namespace tidewell {
namespace {

std::string g_first_message;  // the engine's first diagnostic of the run

void KeepFirst(const char* message) {
  if (g_first_message.empty()) g_first_message = message;
}

int Usage() {
  fprintf(stderr,
          "usage: tidewell-delta signature [-b BLOCK] [-S SUMLEN] BASIS SIG\n"
          "       tidewell-delta delta SIG NEW DELTA\n"
          "       tidewell-delta patch BASIS DELTA NEW\n");
  return 2;
}

int Fail(const std::string& file, const std::string& reason) {
  fprintf(stderr, "tidewell-delta: %s: %s\n", file.c_str(), reason.c_str());
  return 1;
}

// Fails with the file's open error when it cannot be read.
bool Readable(const std::string& path, int* status) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *status = Fail(path, strerror(errno));
    return false;
  }
  struct stat st;
  const bool regular = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
  ::close(fd);
  if (!regular) {
    *status = Fail(path, "is a directory");
    return false;
  }
  return true;
}

// An output written under a temporary name beside the target and moved into
// place by Commit(); dropped otherwise.
class PendingOutput {
 public:
  explicit PendingOutput(std::string target) : target_(std::move(target)) {}
  ~PendingOutput() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
  }

  // Creates the temporary file. False with errno set on failure.
  bool Create() {
    std::string pattern = target_ + ".tmp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) return false;
    ::close(fd);
    temp_ = name.data();
    return true;
  }

  const std::string& temp() const { return temp_; }
  const std::string& target() const { return target_; }

  // Renames the finished file over the target. False with errno set.
  bool Commit() {
    // mkstemp made it private; give it the usual mode for a new file.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(temp_.c_str(), 0666 & ~mask);
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return false;
    temp_.clear();
    return true;
  }

 private:
  std::string target_;
  std::string temp_;
};

int Finish(PendingOutput* out, int rc, const std::string& input_blamed_for_io,
           const std::string& input_blamed_for_format) {
  if (rc == DELTA_OK) {
    if (!out->Commit()) return Fail(out->target(), strerror(errno));
    return 0;
  }
  std::string detail = g_first_message.empty() ? "" : " (" + g_first_message + ")";
  const bool signature_problem = g_first_message.find("signature") != std::string::npos;
  const bool write_problem = g_first_message.find("CreateFile") != std::string::npos ||
                             g_first_message.find("WriteFile") != std::string::npos ||
                             g_first_message.find("fd_write") != std::string::npos ||
                             g_first_message.find("fd_aio") != std::string::npos;
  switch (rc) {
    case DELTA_ERR_FORMAT:
      return Fail(input_blamed_for_format, "not a valid delta file" + detail);
    case DELTA_ERR_IO:
      return Fail(input_blamed_for_io, "cannot be read, or is cut short or inconsistent" + detail);
    case DELTA_ERR_HANDLER:
      if (signature_problem && !write_problem) {
        return Fail(input_blamed_for_format, "not a valid signature file" + detail);
      }
      return Fail(out->target(), "cannot be written" + detail);
    default:
      return Fail(out->target(), std::string(DeltaResultString(rc)) + detail);
  }
}

bool ParseNumber(const char* text, long min, long max, long* value) {
  char* end = nullptr;
  errno = 0;
  const long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
  *value = v;
  return true;
}

int Run(int argc, char** argv) {
  long block_size = kDefaultBlockSize;
  long hash_size = kDefaultHashSize;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = nullptr;
    char option = 0;
    if ((arg == "-b" || arg == "-S") && i + 1 < argc) {
      option = arg[1];
      value = argv[++i];
    } else if (arg.rfind("--block-size=", 0) == 0) {
      option = 'b';
      value = argv[i] + strlen("--block-size=");
    } else if (arg.rfind("--sum-size=", 0) == 0) {
      option = 'S';
      value = argv[i] + strlen("--sum-size=");
    } else if (arg == "-h" || arg == "--help") {
      Usage();
      return 0;
    } else if (arg.size() > 1 && arg[0] == '-') {
      fprintf(stderr, "tidewell-delta: unknown option %s\n", arg.c_str());
      return Usage();
    } else {
      args.push_back(arg);
      continue;
    }
    if (option == 'b' && !ParseNumber(value, 1, kMaxBlockSize, &block_size)) {
      fprintf(stderr, "tidewell-delta: block size must be 1 to %u\n", kMaxBlockSize);
      return 2;
    }
    if (option == 'S' && !ParseNumber(value, 1, kMaxHashSize, &hash_size)) {
      fprintf(stderr, "tidewell-delta: strong-sum size must be 1 to %u\n", kMaxHashSize);
      return 2;
    }
  }
  if (args.empty()) return Usage();
  const std::string& command = args[0];
  if (args.size() != (command == "signature" ? 3u : 4u)) return Usage();
  SetDeltaDiagnosticSink(KeepFirst);
  int status = 0;

  if (command == "signature") {
    const std::string& basis = args[1];
    if (!Readable(basis, &status)) return status;
    PendingOutput out(args[2]);
    if (!out.Create()) return Fail(args[2], strerror(errno));
    SimpleFileReader reader;
    reader.setFile(ustring(basis));
    reader.setSignature(ustring(out.temp()), static_cast<uint32_t>(block_size),
                        static_cast<uint32_t>(hash_size));
    return Finish(&out, reader.readFile(), basis, basis);
  }
  if (command == "delta") {
    const std::string& sig = args[1];
    const std::string& new_file = args[2];
    if (!Readable(sig, &status) || !Readable(new_file, &status)) return status;
    PendingOutput out(args[3]);
    if (!out.Create()) return Fail(args[3], strerror(errno));
    SimpleFileReader reader;
    reader.setFile(ustring(new_file));
    reader.setDelta(ustring(out.temp()), ustring(sig));
    return Finish(&out, reader.readFile(), new_file, sig);
  }
  if (command == "patch") {
    const std::string& basis = args[1];
    const std::string& delta = args[2];
    if (!Readable(basis, &status) || !Readable(delta, &status)) return status;
    PendingOutput out(args[3]);
    if (!out.Create()) return Fail(args[3], strerror(errno));
    DeltaFileReader reader;
    reader.setFile(ustring(delta), ustring(basis));
    reader.setNewFile(ustring(out.temp()));
    const int rc = reader.readFile();
    // A short read of the basis means the delta copies beyond its end.
    const bool basis_short = g_first_message.find("fd_read: length") != std::string::npos;
    if (rc == DELTA_ERR_IO && basis_short) {
      return Fail(delta, "copies beyond the end of " + basis + " (" + g_first_message + ")");
    }
    return Finish(&out, rc, delta, delta);
  }
  return Usage();
}

}  // namespace
}  // namespace tidewell

int main(int argc, char** argv) { return tidewell::Run(argc, argv); }
