#include "platform/socket_owner.h"

#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

namespace tidewell {
namespace {

// Closes the netlink socket on every road out.
class NetlinkSocket {
 public:
  NetlinkSocket() : fd_(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}
  ~NetlinkSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  NetlinkSocket(const NetlinkSocket&) = delete;
  NetlinkSocket& operator=(const NetlinkSocket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// A kernel that never answers must not hold the caller up for long.
constexpr timeval kReplyWait{2, 0};

}  // namespace

int FindSocketOwner(const SocketEnds& ends, uint32_t& uid) {
  NetlinkSocket nl;
  if (nl.fd() < 0) return -errno;
  if (::setsockopt(nl.fd(), SOL_SOCKET, SO_RCVTIMEO, &kReplyWait, sizeof kReplyWait) != 0) return -errno;

  struct {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;  // one exact socket, no dump
  request.header.nlmsg_seq = 1;
  request.body.sdiag_family = AF_INET;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = ~0u;
  request.body.id.idiag_sport = ends.local_port;
  request.body.id.idiag_dport = ends.peer_port;
  request.body.id.idiag_src[0] = ends.local_addr;
  request.body.id.idiag_dst[0] = ends.peer_addr;
  request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t sent;
  do {
    sent = ::sendto(nl.fd(), &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel),
                    sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return -errno;

  alignas(nlmsghdr) char buffer[8192];
  ssize_t got;
  do {
    got = ::recv(nl.fd(), buffer, sizeof buffer, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return errno == EAGAIN ? -ETIMEDOUT : -errno;

  int len = static_cast<int>(got);
  for (const nlmsghdr* h = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
    if (h->nlmsg_seq != request.header.nlmsg_seq) continue;
    if (h->nlmsg_type == NLMSG_ERROR) {
      if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return -EPROTO;
      const nlmsgerr* err = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
      // No such socket: the far end is gone (or was never on this host).
      if (err->error == -ENOENT) return 0;
      return err->error < 0 ? err->error : -EPROTO;
    }
    if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return -EPROTO;
    const inet_diag_msg* msg = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
    if (msg->id.idiag_sport != ends.local_port || msg->id.idiag_dport != ends.peer_port ||
        msg->id.idiag_src[0] != ends.local_addr || msg->id.idiag_dst[0] != ends.peer_addr) {
      return -EPROTO;
    }
    // TIME_WAIT entries and orphaned sockets report user 0 and no inode:
    // their owner is unknown, not root.
    if (msg->idiag_state == TCP_TIME_WAIT || msg->idiag_inode == 0) return 0;
    uid = msg->idiag_uid;
    return 1;
  }
  return -EPROTO;
}

int FindPeerOwner(int fd, uint32_t& uid) {
  SocketEnds mine;
  int rc = GetSocketEnds(fd, mine);
  if (rc != 0) return rc;
  // The far end's own view: its local address is our peer address.
  SocketEnds theirs;
  theirs.local_addr = mine.peer_addr;
  theirs.local_port = mine.peer_port;
  theirs.peer_addr = mine.local_addr;
  theirs.peer_port = mine.local_port;
  return FindSocketOwner(theirs, uid);
}

}  // namespace tidewell
