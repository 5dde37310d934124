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
// is flushed and renamed into place only when complete (DurableReplace).
// Which file to blame comes from the reader's fault; the engine's first
// diagnostic only adds detail to the line.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/ustring.h"
#include "delta/delta_file_reader.h"
#include "delta/delta_format.h"
#include "delta/diagnostics.h"
#include "delta/file_reader.h"
#include "platform/durable_replace.h"

namespace tidewell {
namespace {

std::string g_first_message;  // the engine's first diagnostic, shown as detail

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

// The first file to blame for a failed run, and why.
struct Blame {
  std::string file;
  std::string reason;
};

// What to say about a run that failed with `rc`. `input` is the file read
// (or, for patch, the delta), `basis` the basis or the signature.
Blame Explain(int rc, DeltaFault fault, const std::string& input, const std::string& basis,
              const std::string& output) {
  const std::string detail = g_first_message.empty() ? "" : " (" + g_first_message + ")";
  switch (fault) {
    case DeltaFault::kInput:
      if (rc == DELTA_ERR_FORMAT) return {input, "not a valid delta file" + detail};
      return {input, "cannot be read, or is cut short or inconsistent" + detail};
    case DeltaFault::kBasis:
      return {basis, "cannot be read" + detail};
    case DeltaFault::kBasisTooShort:
      return {input, "copies beyond the end of " + basis + detail};
    case DeltaFault::kSignature:
      return {basis, "not a valid signature file" + detail};
    case DeltaFault::kOutput:
      return {output, "cannot be written" + detail};
    case DeltaFault::kNone:
      break;
  }
  return {output, std::string(DeltaResultString(rc)) + detail};
}

// Runs `reader` with its output at a temporary beside `output`, moved into
// place durably only when complete (`attach` points the reader at the
// temporary). Returns the program's exit status.
int RunToOutput(FileReader& reader, const std::string& output, const std::string& input,
                const std::string& basis, const std::function<void(const ustring&)>& attach) {
  int rc = DELTA_OK;
  const int replaced = DurableReplaceByPath(ustring(output), [&](const ustring& temp) {
    attach(temp);
    rc = reader.readFile();
    return rc == DELTA_OK ? 0 : -1;
  });
  if (rc != DELTA_OK) {
    const Blame blame = Explain(rc, reader.fault(), input, basis, output);
    return Fail(blame.file, blame.reason);
  }
  if (replaced == kReplaceNoSpace) return Fail(output, "cannot be written (no space left on the device)");
  if (replaced != 0) return Fail(output, strerror(errno));
  return 0;
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
    SimpleFileReader reader;
    reader.setFile(ustring(basis));
    return RunToOutput(reader, args[2], basis, basis, [&](const ustring& temp) {
      reader.setSignature(temp, static_cast<uint32_t>(block_size), static_cast<uint32_t>(hash_size));
    });
  }
  if (command == "delta") {
    const std::string& sig = args[1];
    const std::string& new_file = args[2];
    if (!Readable(sig, &status) || !Readable(new_file, &status)) return status;
    SimpleFileReader reader;
    reader.setFile(ustring(new_file));
    return RunToOutput(reader, args[3], new_file, sig,
                       [&](const ustring& temp) { reader.setDelta(temp, ustring(sig)); });
  }
  if (command == "patch") {
    const std::string& basis = args[1];
    const std::string& delta = args[2];
    if (!Readable(basis, &status) || !Readable(delta, &status)) return status;
    DeltaFileReader reader;
    reader.setFile(ustring(delta), ustring(basis));
    return RunToOutput(reader, args[3], delta, basis, [&](const ustring& temp) { reader.setNewFile(temp); });
  }
  return Usage();
}

}  // namespace
}  // namespace tidewell

int main(int argc, char** argv) { return tidewell::Run(argc, argv); }
