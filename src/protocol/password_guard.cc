#include "protocol/password_guard.h"

#include <netinet/in.h>

#include "base/printf.h"
#include "base/event_log.h"
#include "net/local_address.h"
#include "net/socket_address.h"

namespace pv {

namespace {

std::string Dotted(uint32_t address) {
  in_addr a{};
  a.s_addr = address;
  return DottedIPv4(a);
}

}  // namespace

bool IsDefaultAdminPassword(const std::string& password) { return password == Settings().AdminPassword; }

void NoteWrongPassword(LoginThrottle& throttle, uint32_t address, const char* who) {
  const std::chrono::seconds lock = throttle.Failed(address);
  if (lock.count() == 0) return;
  WriteLog(Printf("%s from %s refused for %lld seconds after %d wrong passwords", who, Dotted(address).c_str(),
                  static_cast<long long>(lock.count()), throttle.GetRules().failures),
           1);
}

bool RefuseLocalOnlyAdminPassword(const std::string& password, uint32_t address) {
  in_addr from{};
  from.s_addr = address;
  if (!(IsDefaultAdminPassword(password) || password.empty()) || IsLocalHostAddress(from)) return false;
  WriteLog(Printf("Refused the %s administrator password from %s: it is accepted only from 127.0.0.1",
                  password.empty() ? "empty" : "default", Dotted(address).c_str()),
           1);
  return true;
}

}  // namespace pv
