#include "binding/boundary.hpp"

namespace vesk {

void raise_internal_failure(const std::string& message) noexcept {
  try {
    Error::panic(message).restore();
  } catch (...) {
    abort_at_boundary(message);
  }
}

}  // namespace vesk
