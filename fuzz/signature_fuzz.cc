// Feeds arbitrary bytes to the signature loader, and when they load, builds
// a delta against them from a new file made of the same bytes (so that weak
// and strong sums sometimes match). Result codes may be anything; crashes,
// sanitizer reports and runaway memory may not.

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "delta/diagnostics.h"
#include "delta/file_reader.h"
#include "delta/signature_index.h"
#include "fuzz_files.h"

namespace {

struct Files {
  std::string dir, sig, next, delta;
};

using tidewell::fuzzing::WriteAll;

const Files& Setup() {
  static Files files = [] {
    Files f;
    f.dir = tidewell::fuzzing::MakeScratchDir("/dev/shm/tidewell-signature-fuzz-XXXXXX");
    f.sig = f.dir + "/sig";
    f.next = f.dir + "/next";
    f.delta = f.dir + "/delta";
    tidewell::SetDeltaDiagnosticSink([](const char*) {});
    return f;
  }();
  return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Files& f = Setup();
  tidewell::SignatureIndex index;
  const int parsed = index.Parse(data, size);
  WriteAll(f.sig, data, size);
  WriteAll(f.next, data, size);
  tidewell::SimpleFileReader reader;
  reader.setFile(tidewell::ustring(f.next));
  reader.setDelta(tidewell::ustring(f.delta), tidewell::ustring(f.sig));
  const int rc = reader.readFile();
  // The loader in memory and the delta builder's loader must agree.
  if ((parsed == 0) != (rc == 0)) abort();
  if (parsed == 0) {
    for (const tidewell::DeltaBlock& b : index.sig_stat()) {
      if (b.index >= index.block_count() || index.weak(b.index) != b.weaksum) abort();
    }
  }
  return 0;
}
