#include "daemon/ipc_sender.h"

#include "net/pobject.h"
#include "net/pstream.h"

namespace tidewell {

int IPCSender::connect(int port) { return c.Open("127.0.0.1", port) == 0 ? 0 : -1; }

int IPCSender::send(const PObject& obj) {
  PStream stream;
  return stream.Send(c, obj) == 0 ? 0 : -1;
}

int IPCSender::recv(PObject& obj) {
  PStream stream;
  return stream.Recv(c, obj) == 0 ? 0 : -1;
}

}  // namespace tidewell
