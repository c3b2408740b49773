// Binding of fast-call arguments to a function's named parameters.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "binding/error.hpp"

namespace vesk {

// The static description of one function's parameters.
struct CallSignature {
  std::string_view name;
  std::array<std::string_view, 3> params{};  // the first `param_count` are used
  std::uint8_t param_count = 0;
  std::uint8_t required = 0;
  bool variadic = false;  // extra positional arguments go into a tuple
};

// The fast-call arguments as CPython passes them.
struct CallArgs {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;
};

// Parameters after binding: borrowed references, null for an unbound optional
// parameter; `varargs` holds the variadic tuple.
struct BoundArgs {
  std::array<PyObject*, 3> slots{};
  Ref varargs;
  PyObject* operator[](std::size_t index) const noexcept { return slots[index]; }
};

// The general binder: keywords, the variadic tuple and every binding error.
Result<BoundArgs> bind_general(const CallSignature& signature, const CallArgs& call);

// Binds the call or gives the exact TypeError of the first mismatch. Calls
// with positional arguments only, as many as the function takes, are bound
// inline: that is nearly every call.
inline Result<BoundArgs> bind(const CallSignature& signature, const CallArgs& call) {
  if (call.kwnames == nullptr && !signature.variadic && call.nargs >= signature.required &&
      call.nargs <= signature.param_count) {
    BoundArgs bound;
    for (Py_ssize_t i = 0; i < call.nargs; ++i)
      bound.slots[static_cast<std::size_t>(i)] = call.args[i];
    return bound;
  }
  return bind_general(signature, call);
}

}  // namespace vesk
