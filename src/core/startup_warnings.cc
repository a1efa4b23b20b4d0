#include "core/startup_warnings.h"

#include <sys/stat.h>

#include "base/printf.h"
#include "core/atomic_file.h"
#include "core/ini_file.h"
#include "net/local_address.h"
#include "net/socket_address.h"

namespace pv {

namespace {

// An empty IP listens on every address; a configured one beyond 127.0.0.0/8 is reachable too.
bool ListensBeyondLoopback(const Settings& settings) {
  in_addr address{};
  return !ParseDottedIPv4(settings.IP, address) || !IsLoopbackAddress(address);
}

bool HoldsPasswords(const std::string& path) {
  IniFile file(path);
  return !file.ReadString("Passwords", "ServerPassword", "").empty() ||
         !file.ReadString("Passwords", "AdminPassword", "").empty();
}

}  // namespace

std::vector<std::string> StartupWarnings(const Settings& settings, const std::string& config_path) {
  std::vector<std::string> warnings;
  if (settings.AdminPassword == Settings().AdminPassword && ListensBeyondLoopback(settings))
    warnings.push_back(Printf(
        "Warning: the administrator password is the default \"%s\" and the server listens beyond this machine; "
        "the default is accepted from 127.0.0.1 only. Set [Passwords] AdminPassword in %s.",
        settings.AdminPassword.c_str(), config_path.c_str()));
  if (settings.AdminPassword.empty() && ListensBeyondLoopback(settings))
    warnings.push_back(Printf(
        "Warning: the administrator password is empty and the server listens beyond this machine; "
        "an empty password is accepted from 127.0.0.1 only. Set [Passwords] AdminPassword in %s.",
        config_path.c_str()));
  struct stat st;
  const std::string target = WriteTarget(config_path);
  if (::stat(target.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0 && HoldsPasswords(target))
    warnings.push_back(Printf("Warning: %s holds passwords and is readable by every user (mode %04o); "
                              "chmod 600 it.",
                              target.c_str(), static_cast<unsigned>(st.st_mode & 07777)));
  return warnings;
}

}  // namespace pv
