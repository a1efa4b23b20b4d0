#include "base/errors.h"

namespace pv {

std::string CaughtLine(const std::string& prefix, const std::exception& e) {
  if (auto* err = dynamic_cast<const Error*>(&e)) return prefix + err->ClassName() + ": " + err->Message();
  return prefix + "Exception: " + e.what();
}

}  // namespace pv
