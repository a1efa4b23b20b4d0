// Error objects of the server. Every error the server raises derives from Error, which carries
// the class name that the event log shows ("in: <place> exception <ClassName>: <message>").
// Refusals of client commands are reply codes, never errors.
#pragma once

#include <exception>
#include <limits>
#include <type_traits>
#include <string>

namespace pv {

class Error : public std::exception {
 public:
  Error(std::string class_name, std::string message)
      : class_name_(std::move(class_name)), message_(std::move(message)) {}
  const std::string& ClassName() const noexcept { return class_name_; }
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string class_name_;
  std::string message_;
};

// Declares an error class whose log name is the class's own name.
#define PV_DECLARE_ERROR(Name, DefaultMessage)                                  \
  class Name : public ::pv::Error {                                             \
   public:                                                                      \
    explicit Name(std::string message = DefaultMessage)                         \
        : ::pv::Error(#Name, std::move(message)) {}                             \
   protected:                                                                   \
    Name(std::string class_name, std::string message)                           \
        : ::pv::Error(std::move(class_name), std::move(message)) {}             \
  }

// A number that does not fit the field or type it is put into.
PV_DECLARE_ERROR(ERangeError, "Range check error");
// An arithmetic overflow of a signed computation.
PV_DECLARE_ERROR(EIntOverflow, "Arithmetic overflow");

// The log line of a caught error: prefix + class name + ": " + message. The prefix is spelled
// exactly as the caller's place in the server names it ("in: TCPServerExecute excption ").
std::string CaughtLine(const std::string& prefix, const std::exception& e);

// Narrows a number to the type T, raising ERangeError when it does not fit.
template <typename T, typename U>
T CheckedNarrow(U value) {
  static_assert(std::is_integral_v<T> && std::is_integral_v<U>);
  if constexpr (std::is_signed_v<U> == std::is_signed_v<T>) {
    if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max())
      throw ERangeError();
  } else if constexpr (std::is_signed_v<U>) {
    if (value < 0 || static_cast<std::make_unsigned_t<U>>(value) > std::numeric_limits<T>::max())
      throw ERangeError();
  } else {
    if (value > static_cast<std::make_unsigned_t<T>>(std::numeric_limits<T>::max()))
      throw ERangeError();
  }
  return static_cast<T>(value);
}

}  // namespace pv
