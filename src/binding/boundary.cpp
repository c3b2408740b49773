#include "binding/boundary.hpp"

#include <cstdio>

namespace vesk {

void report_unexpected(const char* what) noexcept {
  std::fprintf(stderr, "_vesk: internal failure: unexpected C++ exception: %s\n", what);
}

void raise_internal_failure(const std::string& message) noexcept {
  try {
    Error::panic(message).restore();
  } catch (...) {
    abort_at_boundary(message);
  }
}

}  // namespace vesk
