// Conversions from Python objects to native values, with their errors.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "binding/error.hpp"

namespace vesk {

// A `str` (or subclass) as UTF-8, borrowed from the object for the call.
// Lone surrogates: the interpreter's UnicodeEncodeError.
Result<std::string_view> to_text_view(PyObject* object);

// The same, copied.
Result<std::string> to_owned_text(PyObject* object);

// A `str` argument as UTF-8 for the length of one call. An ASCII str, or one
// whose UTF-8 form the interpreter already keeps, lends its own bytes; any
// other is encoded into a bytes object of this value's own, released with it,
// so that a call leaves no UTF-8 copy attached to the caller's str (as large
// as the text, and kept for as long as the str lives). The bytes stay where
// they are when the value moves, and nobody else can see them: they may be
// read while the interpreter lock is released. Lone surrogates: the
// interpreter's UnicodeEncodeError.
class Utf8Text {
 public:
  Utf8Text(Ref owner, std::string_view bytes) : owner_(std::move(owner)), bytes_(bytes) {}
  operator std::string_view() const noexcept { return bytes_; }
  // Lets the bytes go before the end of the call, once read (views of them
  // are then invalid): a long result need not coexist with them.
  void release() {
    bytes_ = {};
    owner_.reset();
  }

 private:
  Ref owner_;  // the bytes object holding `bytes_`, or null when lent
  std::string_view bytes_;
};

Result<Utf8Text> to_utf8_text(PyObject* object);

// A `list` (or subclass), used in place; gives the object back.
Result<PyObject*> check_list(PyObject* object);

// A `dict` (or subclass); gives the object back.
Result<PyObject*> check_dict(PyObject* object);

// A non-`str` sequence whose items are all texts, taken by iteration.
Result<std::vector<std::string>> to_text_sequence(PyObject* object);

// True/False, or a numpy boolean scalar.
Result<bool> to_flag(PyObject* object);

// Attaches the note "while processing '{param}'" to the error's exception.
Error with_argument_context(Error error, std::string_view param);

// Passes a conversion result through, attaching the argument context to a
// failure.
template <class T>
Result<T> argument(std::string_view param, Result<T> converted) {
  if (!converted) return fail(with_argument_context(std::move(converted).error(), param));
  return converted;
}

}  // namespace vesk
