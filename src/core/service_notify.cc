#include "core/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace pv {

bool NotifyServiceManager(const char* socket_name, const std::string& state) {
  if (socket_name == nullptr) return false;
  size_t length = std::strlen(socket_name);
  // A path or an abstract name ("@" stands for its leading zero byte); other kinds of address
  // (vsock) are not for this server.
  if (length < 2 || (socket_name[0] != '/' && socket_name[0] != '@')) return false;
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  if (length > sizeof to.sun_path) return false;
  std::memcpy(to.sun_path, socket_name, length);
  if (to.sun_path[0] == '@') to.sun_path[0] = '\0';
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  auto address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&to), address_length);
  ::close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

bool NotifyServiceManager(const std::string& state) {
  return NotifyServiceManager(std::getenv(kNotifySocketVariable), state);
}

}  // namespace pv
