// Python objects rendered as text for messages and diagnostics.
#pragma once

#include <string>

#include "binding/error.hpp"

namespace vesk {

// UTF-8 of a str, lone surrogates replaced by U+FFFD (one per ill-formed byte
// sequence of their "surrogatepass" encoding); empty if even that fails.
std::string lossy_utf8(PyObject* text);

// Text of `object` for messages: str(), lossy UTF-8 (lone surrogates become
// U+FFFD); "<unprintable T object>" when str() fails (reported as unraisable).
std::string render_text(PyObject* object);

// The message of a failed type check: "'{}' object is not an instance of
// '{}'", or "'None' is not an instance of '{}'" (see Error::type_check).
std::string type_check_message(PyObject* object, PyObject* required_type);

}  // namespace vesk
