#include "delta/diagnostics.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace tidewell {

namespace {
std::atomic<DeltaDiagnosticSink> g_sink{nullptr};
}  // namespace

void SetDeltaDiagnosticSink(DeltaDiagnosticSink sink) { g_sink.store(sink); }

void DeltaDiagnostic(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  const DeltaDiagnosticSink sink = g_sink.load();
  if (sink != nullptr) {
    sink(line);
  } else {
    fprintf(stderr, "%s\n", line);
  }
}

}  // namespace tidewell
