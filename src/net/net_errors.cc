#include "net/net_errors.h"

#include <cerrno>
#include <cstring>

#include "base/printf.h"

namespace pv {

EIdSocketError::EIdSocketError(int code) : EIdSocketError(code, SystemErrorText(code)) {}

EIdSocketError::EIdSocketError(int code, const std::string& text)
    : Error("EIdSocketError", Printf("Socket Error # %d\r\n%s", code, text.c_str())), code_(code) {}

namespace {
// strerror is not safe across threads; the two strerror_r flavours return different types.
[[maybe_unused]] std::string FromStrerrorR(int /*result*/, const char* buffer) { return buffer; }
[[maybe_unused]] std::string FromStrerrorR(const char* result, const char* /*buffer*/) {
  return result;
}
}  // namespace

std::string SystemErrorText(int code) {
  char buffer[256] = {0};
  return FromStrerrorR(strerror_r(code, buffer, sizeof buffer), buffer);
}

void RaiseSocketError(int code) { throw EIdSocketError(code); }

void RaiseDatagramError(int code) {
  if (code == EMSGSIZE) throw EIdPackageSizeTooBig();
  if (code == kNotAllBytesSent) throw EIdNotAllBytesSent();
  throw EIdSocketError(code);
}

}  // namespace pv
