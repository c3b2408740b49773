#include "binding/boundary.hpp"

#include <cstdio>

namespace vesk {

void raise_internal_failure(const std::string& message) {
  try {
    Error::panic(message).restore();
  } catch (ForcedUnwind&) {
    throw;
  } catch (...) {
    abort_at_boundary(message);
  }
}

void raise_unexpected_exception(const char* what) {
  std::fprintf(stderr,
               "_vesk: internal failure at the call boundary:\nunexpected C++ exception: %s\n",
               what ? what : "");
  raise_internal_failure("unexpected C++ exception");
}

}  // namespace vesk
