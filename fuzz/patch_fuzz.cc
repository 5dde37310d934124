// Feeds arbitrary bytes to the patch reader as a delta file against a fixed
// basis, recording a reverse delta too. Any result code is fine; crashes,
// sanitizer reports, hangs and runaway memory are not.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "delta/delta_file_reader.h"
#include "delta/diagnostics.h"
#include "fuzz_files.h"
#include "patch_basis.h"

namespace {

struct Files {
  std::string dir, basis, delta, out, reverse;
};

using tidewell::fuzzing::WriteAll;

const Files& Setup() {
  static Files files = [] {
    Files f;
    f.dir = tidewell::fuzzing::MakeScratchDir("/dev/shm/tidewell-patch-fuzz-XXXXXX");
    f.basis = f.dir + "/basis";
    f.delta = f.dir + "/delta";
    f.out = f.dir + "/out";
    f.reverse = f.dir + "/reverse";
    const std::string basis = tidewell::fuzzing::PatchBasis();
    WriteAll(f.basis, reinterpret_cast<const uint8_t*>(basis.data()), basis.size());
    tidewell::SetDeltaDiagnosticSink([](const char*) {});
    return f;
  }();
  return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Files& f = Setup();
  WriteAll(f.delta, data, size);
  tidewell::DeltaFileReader reader;
  reader.setFile(tidewell::ustring(f.delta), tidewell::ustring(f.basis));
  reader.setNewFile(tidewell::ustring(f.out));
  reader.setReverseDeltaFile(tidewell::ustring(f.reverse));
  const int rc = reader.readFile();
  if (rc > 0 || rc < -5) abort();
  if (rc == 0) {
    // A delta that applied must have a reverse delta that restores the basis.
    tidewell::DeltaFileReader back;
    back.setFile(tidewell::ustring(f.reverse), tidewell::ustring(f.out));
    back.setNewFile(tidewell::ustring(f.dir + "/back"));
    if (back.readFile() != 0) abort();
  }
  return 0;
}
