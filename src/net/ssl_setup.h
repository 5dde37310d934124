// Process-wide SSL settings: the one-time library set-up and the files a
// channel uses when it acts as an SSL server.

#ifndef TIDEWELL_NET_SSL_SETUP_H_
#define TIDEWELL_NET_SSL_SETUP_H_

#include <string>

namespace tidewell {

// Initialises the SSL library for the whole process: its error strings and
// the library itself. The daemon calls it at start-up, before other threads
// exist; channels call it too, so it is safe to call from any thread any
// number of times (the work happens once). The library locks for itself; no
// locking callbacks are needed. SSL sessions of channels write through
// their own socket glue, so a vanished peer never raises SIGPIPE.
// Returns 0, or ERR_SYS when the library cannot be initialised.
[[nodiscard]] int InitSslLibrary();

// Certificate and private-key files (PEM) for the SSL server role. Defaults:
// "/usr/velt/etc/ssl/ssl.crt/server.crt" and
// "/usr/velt/etc/ssl/ssl.key/server.key". Thread-safe.
void SetCERTPath(const std::string& path);
void SetPriKeyPath(const std::string& path);
std::string GetCERTPath();
std::string GetPriKeyPath();

}  // namespace tidewell

#endif  // TIDEWELL_NET_SSL_SETUP_H_
