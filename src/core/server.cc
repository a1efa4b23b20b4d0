#include "core/server.h"

namespace pv {

std::string TParleyvoxServer::ServerPassword() const {
  std::lock_guard<std::mutex> hold(password_lock_);
  return Config.ServerPassword;
}

std::string TParleyvoxServer::AdminPassword() const {
  std::lock_guard<std::mutex> hold(password_lock_);
  return Config.AdminPassword;
}

void TParleyvoxServer::SetServerPassword(const std::string& value) {
  std::lock_guard<std::mutex> hold(password_lock_);
  Config.ServerPassword = value;
}

void TParleyvoxServer::SetAdminPassword(const std::string& value) {
  std::lock_guard<std::mutex> hold(password_lock_);
  Config.AdminPassword = value;
}

}  // namespace pv
