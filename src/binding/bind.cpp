#include "binding/bind.hpp"

#include <string>

#include "binding/render.hpp"
#include "binding/to_python.hpp"

namespace vesk {
namespace {

std::string display_name(const CallSignature& signature) {
  return concat(signature.name, "()");
}

Error too_many_positional(const CallSignature& signature, Py_ssize_t given) {
  const std::string count = signature.required == signature.param_count
                                ? std::to_string(signature.param_count)
                                : concat("from ", std::to_string(signature.required), " to ",
                                         std::to_string(signature.param_count));
  return Error::type_error(concat(display_name(signature), " takes ", count,
                                  " positional arguments but ", std::to_string(given),
                                  given == 1 ? " was" : " were", " given"));
}

Error unexpected_keyword(const CallSignature& signature, PyObject* keyword) {
  return Error::type_error(concat(display_name(signature), " got an unexpected keyword argument '",
                                  render_text(keyword), "'"));
}

Error missing_required(const CallSignature& signature, const BoundArgs& bound) {
  std::string names;
  int missing = 0;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (bound.slots[i]) continue;
    ++missing;
  }
  // 'a', or 'a' and 'b', or 'a', 'b' and 'c'.
  int written = 0;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (bound.slots[i]) continue;
    if (written > 0) names.append(written == missing - 1 ? " and " : ", ");
    names.append(concat("'", signature.params[i], "'"));
    ++written;
  }
  return Error::type_error(concat(display_name(signature), " missing ", std::to_string(missing),
                                  " required positional ", missing == 1 ? "argument" : "arguments",
                                  ": ", names));
}

}  // namespace

Result<BoundArgs> bind_general(const CallSignature& signature, const CallArgs& call) {
  BoundArgs bound;
  const Py_ssize_t given = call.nargs;
  const Py_ssize_t params = signature.param_count;
  const Py_ssize_t positional = given < params ? given : params;
  for (Py_ssize_t i = 0; i < positional; ++i)
    bound.slots[static_cast<std::size_t>(i)] = call.args[i];

  if (signature.variadic) {
    Ref tuple = created(PyTuple_New(given));
    for (Py_ssize_t i = 0; i < given; ++i) {
      PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(call.args[i]).release());
    }
    bound.varargs = std::move(tuple);
  } else if (given > params) {
    return fail(too_many_positional(signature, given));
  }

  if (call.kwnames) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(call.kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      PyObject* keyword = PyTuple_GET_ITEM(call.kwnames, k);
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
      if (!text) {
        // A name that has no UTF-8 form matches no parameter.
        discard_pending_exception();
        return fail(unexpected_keyword(signature, keyword));
      }
      const std::string_view name(text, static_cast<std::size_t>(size));
      std::size_t slot = signature.param_count;
      for (std::size_t i = 0; i < signature.param_count; ++i) {
        if (signature.params[i] == name) {
          slot = i;
          break;
        }
      }
      if (slot == signature.param_count) return fail(unexpected_keyword(signature, keyword));
      if (bound.slots[slot]) {
        return fail(Error::type_error(
            concat(display_name(signature), " got multiple values for argument '", name, "'")));
      }
      bound.slots[slot] = call.args[given + k];
    }
  }

  if (given < signature.required) {
    for (std::size_t i = static_cast<std::size_t>(given); i < signature.required; ++i) {
      if (!bound.slots[i]) return fail(missing_required(signature, bound));
    }
  }
  return bound;
}

}  // namespace vesk
