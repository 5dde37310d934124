#include "cli/ui_listener.h"

#include <unistd.h>

#include "base/error_code.h"
#include "net/channel.h"
#include "net/pstream.h"
#include "platform/socket_owner.h"

namespace tidewell::cli {

int UiListener::Start(Handler handler) {
  handler_ = std::move(handler);
  if (listener_.Create() != 0 || listener_.Bind(0) != 0 || listener_.Listen(64) != 0 || listener_.Port() <= 0) {
    listener_.Close();
    return -1;
  }
  port_ = listener_.Port();
  stop_ = false;
  thread_ = std::thread([this] { Loop(); });
  return port_;
}

void UiListener::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  Reap(true);
  listener_.Close();
}

void UiListener::Reap(bool all) {
  std::list<std::unique_ptr<Request>> finished;
  {
    std::lock_guard<std::mutex> lock(requests_mutex_);
    for (auto it = requests_.begin(); it != requests_.end();) {
      if (all || (*it)->done) {
        finished.push_back(std::move(*it));
        it = requests_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& r : finished) r->thread.join();
}

void UiListener::Loop() {
  while (!stop_) {
    Reap(false);
    if (listener_.WaitForConnection(200) != 1) continue;
    int fd = listener_.Accept();
    if (fd < 0) continue;
    Serve(fd);
  }
}

void UiListener::Serve(int fd) {
  auto ch = std::make_shared<Channel>();
  if (ch->Open(fd, true) != ERR_OK) {
    close(fd);
    return;
  }
  // A peer gets ten seconds to say its piece; the daemon needs far less.
  ch->SetTimeout(10);
  PStream ps;
  auto message = std::make_shared<PObject>();
  if (ps.Recv(*ch, *message) != kStreamOk || !message->isMap()) return;
  // Who sent it. The daemon closes a notice's connection as soon as it is
  // written, so its far end often has no owner left to look up; a notice
  // is dropped only when another user is known to have sent it. The
  // daemon's port announcement and requests come from peers that keep their
  // end open, so their sender must be known to be this user.
  uint32_t uid = 0;
  const int known = FindPeerOwner(ch->GetFd(), uid);
  const bool ours = known == 1 && uid == geteuid();
  if (message->hasMember("notify") ? (known == 1 && !ours) : !ours) {
    ++refused_;
    return;
  }
  if (!message->hasMember("action")) {
    PObject ignored;
    handler_(*message, ignored);
    return;
  }
  auto request = std::make_unique<Request>();
  Request* r = request.get();
  // The answer may take long (a request can wait for the daemon).
  ch->SetTimeout(600);
  r->thread = std::thread([this, r, ch, message] {
    PObject reply;
    handler_(*message, reply);
    if (!reply.isNull()) {
      PStream out;
      (void)out.Send(*ch, reply);
    }
    r->done = true;
  });
  std::lock_guard<std::mutex> lock(requests_mutex_);
  requests_.push_back(std::move(request));
}

}  // namespace tidewell::cli
