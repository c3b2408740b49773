// The table of the module's functions: signature, docstring and body of each,
// in registration order.
#pragma once

#include <cstddef>

#include "binding/bind.hpp"

namespace vesk {

// A function body: converts its bound parameters, computes, and returns a new
// result or an error value. Bodies never touch the error indicator.
using Body = Result<Ref> (*)(BoundArgs& args);

struct FunctionEntry {
  CallSignature signature;
  const char* doc;  // text signature line, "--", blank line, documentation
  Body body;
};

inline constexpr std::size_t kFunctionCount = 10;
extern const FunctionEntry kFunctions[kFunctionCount];

}  // namespace vesk
