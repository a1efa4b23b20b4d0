#include "support/forged_udp.h"

#include <arpa/inet.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pv::test {

ForgedUdp::ForgedUdp() {
  if (::geteuid() != 0) {
    why_not_ = "not running as root";
    return;
  }
  // IPPROTO_RAW implies IP_HDRINCL: the kernel sends the header as written (it fills in the
  // header checksum and total length).
  fd_ = Fd(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
  if (fd_.Get() < 0) why_not_ = std::string("raw socket: ") + std::strerror(errno);
}

bool ForgedUdp::Send(const std::string& from_ip, uint16_t from_port, uint16_t to_port,
                     const std::vector<uint8_t>& payload) {
  if (!why_not_.empty()) return false;
  std::vector<uint8_t> packet(sizeof(iphdr) + sizeof(udphdr) + payload.size());
  auto* ip = reinterpret_cast<iphdr*>(packet.data());
  auto* udp = reinterpret_cast<udphdr*>(packet.data() + sizeof(iphdr));
  ip->version = 4;
  ip->ihl = sizeof(iphdr) / 4;
  ip->ttl = 64;
  ip->protocol = IPPROTO_UDP;
  ip->tot_len = htons(static_cast<uint16_t>(packet.size()));
  if (::inet_pton(AF_INET, from_ip.c_str(), &ip->saddr) != 1) return false;
  ip->daddr = htonl(INADDR_LOOPBACK);
  udp->source = htons(from_port);
  udp->dest = htons(to_port);
  udp->len = htons(static_cast<uint16_t>(sizeof(udphdr) + payload.size()));
  udp->check = 0;  // no checksum: allowed for UDP over IPv4
  std::memcpy(packet.data() + sizeof(iphdr) + sizeof(udphdr), payload.data(), payload.size());
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::sendto(fd_.Get(), packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(packet.size());
}

}  // namespace pv::test
