// The daemon's connection to the user interface's loopback port, over which
// it announces its own control port ({"daemon_port": port}) at start-up. The
// connection then stays open, idle, until the daemon shuts down.
//
// Not thread-safe: the control loop's thread owns it.

#ifndef TIDEWELL_DAEMON_IPC_SENDER_H_
#define TIDEWELL_DAEMON_IPC_SENDER_H_

#include "net/channel.h"

namespace tidewell {

class PObject;

class IPCSender {
 public:
  IPCSender() : c(Channel::kDefaultCapacity) {}
  virtual ~IPCSender() { close(); }
  IPCSender(const IPCSender&) = delete;
  IPCSender& operator=(const IPCSender&) = delete;

  // Connects to 127.0.0.1:`port`. 0, or -1.
  int connect(int port);
  // Encodes `obj` onto the connection. 0, or -1.
  virtual int send(const PObject& obj);
  // Decodes one value from the connection. 0, or -1.
  virtual int recv(PObject& obj);
  void close() { c.Close(); }

 private:
  Channel c;
};

}  // namespace tidewell

#endif  // TIDEWELL_DAEMON_IPC_SENDER_H_
