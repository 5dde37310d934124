// The front end's side of the user-interface port: a thread that accepts
// loopback connections, reads one value object from each and hands it to a
// callback -- the daemon's start-up notice {"daemon_port": N}, its notices
// {"notify": ...}, and requests of other `tidewell` commands
// {"action": ...}, which the callback may answer on the same connection.
// Messages from other users are dropped (see Serve for how a notice whose
// sender has already gone is told apart).
//
// Thread-safe: Start and Stop from one thread. Notices are handed to the
// callback on the listener's thread, one at a time; requests (messages with
// "action") each on a thread of their own, so that a slow request never
// holds up the daemon's notices. The callback must be thread-safe.

#ifndef TIDEWELL_CLI_UI_LISTENER_H_
#define TIDEWELL_CLI_UI_LISTENER_H_

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "net/pobject.h"
#include "platform/loopback_socket.h"

namespace tidewell::cli {

class UiListener {
 public:
  // Receives one message; fills `reply` (a map) to answer it, or leaves it
  // null to answer nothing.
  using Handler = std::function<void(const PObject& message, PObject& reply)>;

  UiListener() = default;
  ~UiListener() { Stop(); }
  UiListener(const UiListener&) = delete;
  UiListener& operator=(const UiListener&) = delete;

  // Listens on a free loopback port and starts the thread. Returns the
  // port, or -1 when no port can be opened.
  int Start(Handler handler);

  // Ends the thread (within a fraction of a second) and closes the port.
  void Stop();

  int port() const { return port_; }

  // Messages dropped because another user sent them.
  int refused() const { return refused_.load(); }

 private:
  void Loop();
  void Serve(int fd);
  // Joins the request threads that have finished (all of them with `all`).
  void Reap(bool all);

  struct Request {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  Handler handler_;
  LoopbackListener listener_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> refused_{0};
  int port_ = -1;
  std::mutex requests_mutex_;
  std::list<std::unique_ptr<Request>> requests_;  // guarded by requests_mutex_
};

}  // namespace tidewell::cli

#endif  // TIDEWELL_CLI_UI_LISTENER_H_
