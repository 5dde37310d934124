// Where the delta engine's diagnostics go. The engine has no logger: each
// message is one line on standard error unless a program installs a sink
// (the command-line tool does, to turn them into its own one-line errors).

#ifndef TIDEWELL_DELTA_DIAGNOSTICS_H_
#define TIDEWELL_DELTA_DIAGNOSTICS_H_

namespace tidewell {

// Receives one message without its line end. Must be safe to call from any
// thread that runs the engine.
using DeltaDiagnosticSink = void (*)(const char* message);

// Installs `sink` for the whole process; null restores standard error.
void SetDeltaDiagnosticSink(DeltaDiagnosticSink sink);

// Formats one message and hands it to the sink.
void DeltaDiagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tidewell

#endif  // TIDEWELL_DELTA_DIAGNOSTICS_H_
