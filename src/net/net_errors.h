// The transport's errors. Their class names and messages appear in the server's log lines, so
// both are spelled exactly as the log shows them. EIdSocketError carries the system's error code
// (errno); its message is "Socket Error # <code>" CR LF and the system's text for that code.
#pragma once

#include <string>

#include "base/errors.h"

namespace pv {

// A failed socket call. Written out by hand rather than with PV_DECLARE_ERROR because it
// carries the numeric code that callers test (a reset or aborted connection is told apart).
class EIdSocketError : public Error {
 public:
  // The message built from the code and the system's text for it.
  explicit EIdSocketError(int code);
  // The message built from the code and a given text (host look-ups have texts of their own).
  EIdSocketError(int code, const std::string& text);
  int Code() const noexcept { return code_; }

 private:
  int code_;
};

// The peer closed the connection and nothing that was asked for is left to read.
PV_DECLARE_ERROR(EIdConnClosedGracefully, "Connection Closed Gracefully.");
// A datagram too large for the network.
PV_DECLARE_ERROR(EIdPackageSizeTooBig, "Package Size Too Big.");
// A datagram that left shorter than it was given.
PV_DECLARE_ERROR(EIdNotAllBytesSent, "Not all bytes sent.");
// Removing more bytes from the front of a byte buffer than it holds.
PV_DECLARE_ERROR(EIdNotEnoughDataInBuffer, "Not enough data in buffer.");

// The system's text for an error code; safe from any thread.
std::string SystemErrorText(int code);

// Raises EIdSocketError for `code`.
[[noreturn]] void RaiseSocketError(int code);

// The result code of a datagram send that left with fewer bytes than it was given.
constexpr int kNotAllBytesSent = -1;

// Raises what a failed datagram send shows: EMSGSIZE becomes EIdPackageSizeTooBig,
// kNotAllBytesSent EIdNotAllBytesSent, every other code EIdSocketError.
[[noreturn]] void RaiseDatagramError(int code);

}  // namespace pv
