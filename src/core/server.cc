#include "core/server.h"

namespace pv {

std::string TParleyvoxServer::ServerPassword() const {
  MutexLock hold(password_lock_);
  return server_password_;
}

std::string TParleyvoxServer::AdminPassword() const {
  MutexLock hold(password_lock_);
  return admin_password_;
}

void TParleyvoxServer::SetServerPassword(const std::string& value) {
  MutexLock hold(password_lock_);
  server_password_ = value;
}

void TParleyvoxServer::SetAdminPassword(const std::string& value) {
  MutexLock hold(password_lock_);
  admin_password_ = value;
}

}  // namespace pv
