// A small printf-style formatter returning std::string.
#pragma once

#include <string>

namespace pv {

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace pv
