// Feeds arbitrary bytes to PStream::Recv over an in-memory channel.
//
// Input layout: the first byte picks how many bytes each low-level read
// hands out (1 to 256, or everything), so buffer refills and wraps happen at
// every position; the rest is the wire. Decoding must never crash, overflow
// the stack or allocate without bound. A value that decodes is encoded again
// and must decode to the same value.

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/log.h"
#include "net/memory_channel.h"
#include "net/pstream.h"
#include "fuzz_files.h"

namespace {

using tidewell::MemoryChannel;
using tidewell::PObject;
using tidewell::PStream;
using tidewell::ustring;

const std::string& ScratchDir() {
  static const std::string dir = tidewell::fuzzing::MakeScratchDir("/tmp/pstream-fuzz-XXXXXX");
  return dir;
}

// Received binaries without a path land in the scratch folder; empty it so a
// long run does not fill the disk.
void EmptyScratchDir() {
  DIR* d = opendir(ScratchDir().c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    unlink((ScratchDir() + "/" + e->d_name).c_str());
  }
  closedir(d);
}

// Values that re-encode to themselves: no binaries (they refer to files) and
// no keys starting with "_" (those travel without it).
bool RoundTrips(const PObject& v) {
  if (v.isBinary()) return false;
  for (const PObject& e : v.asArray()) {
    if (!RoundTrips(e)) return false;
  }
  for (const auto& [k, e] : v.asMap()) {
    if (!k.empty() && k[0] == '_') return false;
    if (!RoundTrips(e)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Malformed input is logged as errors; silence the component so the run
  // is not dominated by writing them.
  std::string levels = ScratchDir() + ".levels";
  FILE* f = fopen(levels.c_str(), "w");
  if (f == nullptr) abort();
  fputs("channel_debug = 0\n", f);
  fclose(f);
  if (tidewell::Logger::Initialize(tidewell::Logger::STDERR_LOGGER, ustring(), ustring(levels), 50) != 0) abort();
  unlink(levels.c_str());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t chunk = data[0] == 0 ? SIZE_MAX : data[0];
  std::string wire(reinterpret_cast<const char*>(data) + 1, size - 1);

  // Into a target that already holds values: reuse, merge and append.
  PObject target;
  target["data"].asBinary().path = "/dev/null";  // a binary target with a path
  target["list"].asArray().push_back(PObject(1));
  {
    MemoryChannel ch(wire, chunk, 257);
    PStream ps;
    ps.SetDefaultRecvLocation(ustring(ScratchDir()));
    ps.SetValueLimit(20000);
    int rc = ps.Recv(ch, target);
    if (rc > 0 || rc < -6) abort();
  }

  // Into a fresh value, which must then survive a round trip.
  PObject fresh;
  int rc;
  {
    MemoryChannel ch(wire, chunk);
    PStream ps;
    ps.SetDefaultRecvLocation(ustring(ScratchDir()));
    rc = ps.Recv(ch, fresh);
  }
  EmptyScratchDir();
  if (rc == 0 && RoundTrips(fresh)) {
    MemoryChannel out;
    PStream ps;
    if (ps.Send(out, fresh) != 0) abort();
    PObject again;
    MemoryChannel in(out.output());
    if (ps.Recv(in, again) != 0 || !(again == fresh)) abort();
    if (in.consumed() != out.output().size()) abort();
  }
  return 0;
}
