#include "net/socket_handle.h"

#include <sys/socket.h>

#include <cerrno>

#include "net/net_errors.h"
#include "net/socket_address.h"

namespace pv {

namespace {

// Datagrams per sendmmsg call.
constexpr unsigned kSendChunk = 64;

// Refuses destinations the kernel would take for something else: an unset address family or
// 0.0.0.0 (which Linux delivers to this very host), and port 0.
int CheckDestination(const sockaddr_in& to) {
  if (to.sin_family != AF_INET || to.sin_port == 0) return EINVAL;
  if (to.sin_addr.s_addr == htonl(INADDR_ANY)) return EADDRNOTAVAIL;
  return 0;
}

}  // namespace

TIdSocketHandle::TIdSocketHandle(std::string ip, uint16_t port) : ip_(std::move(ip)), port_(port) {}

TIdSocketHandle::~TIdSocketHandle() { CloseSocket(fd_); }

void TIdSocketHandle::Open() {
  in_addr local = ResolveBindAddress(ip_);
  int fd = OpenSocket(SOCK_DGRAM);
  try {
    // No address reuse: a port in use makes the binding fail.
    BindSocket(fd, local, port_, false);
    port_ = LocalPort(fd);
  } catch (...) {
    CloseSocket(fd);
    throw;
  }
  fd_ = fd;
}

void TIdSocketHandle::SendTo(const std::string& ip, uint16_t port, const uint8_t* data, size_t n) {
  in_addr address{};
  if (!ParseDottedIPv4(ip, address)) throw EIdSocketError(EINVAL);
  SendTo(MakeSockAddr(address, port), data, n);
}

void TIdSocketHandle::SendTo(const sockaddr_in& to, const uint8_t* data, size_t n) {
  int result = TrySendTo(to, data, n);
  if (result != 0) RaiseDatagramError(result);
}

int TIdSocketHandle::TrySendTo(const sockaddr_in& to, const uint8_t* data, size_t n) noexcept {
  if (fd_ < 0) return ENOTSOCK;
  if (int bad = CheckDestination(to)) return bad;
  ssize_t sent;
  do {
    sent = sendto(fd_, data, n, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return errno;
  return static_cast<size_t>(sent) < n ? kNotAllBytesSent : 0;
}

size_t TIdSocketHandle::SendBatch(TIdOutDatagram* items, size_t count) noexcept {
  size_t sent_count = 0;
  size_t next = 0;
  while (next < count) {
    // Gather up to kSendChunk sendable datagrams; refused ones get their result at once.
    mmsghdr messages[kSendChunk] = {};
    iovec parts[kSendChunk];
    size_t index[kSendChunk];
    unsigned gathered = 0;
    for (; next < count && gathered < kSendChunk; ++next) {
      TIdOutDatagram& item = items[next];
      item.result = fd_ < 0 ? ENOTSOCK : CheckDestination(item.to);
      if (item.result != 0) continue;
      parts[gathered].iov_base = const_cast<uint8_t*>(item.data);
      parts[gathered].iov_len = item.size;
      messages[gathered].msg_hdr.msg_name = &item.to;
      messages[gathered].msg_hdr.msg_namelen = sizeof item.to;
      messages[gathered].msg_hdr.msg_iov = &parts[gathered];
      messages[gathered].msg_hdr.msg_iovlen = 1;
      index[gathered++] = next;
    }
    // sendmmsg stops at the first failing datagram; that one is marked and skipped.
    unsigned done = 0;
    while (done < gathered) {
      int sent = sendmmsg(fd_, messages + done, gathered - done, MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) {
        items[index[done++]].result = sent < 0 ? errno : EAGAIN;
        continue;
      }
      for (unsigned k = done; k < done + static_cast<unsigned>(sent); ++k) {
        TIdOutDatagram& item = items[index[k]];
        item.result = messages[k].msg_len < item.size ? kNotAllBytesSent : 0;
        if (item.result == 0) ++sent_count;
      }
      done += static_cast<unsigned>(sent);
    }
  }
  return sent_count;
}

}  // namespace pv
