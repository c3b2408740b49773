#include "binding/to_python.hpp"

#include <cstring>

namespace vesk {

Ref created(PyObject* object) {
  if (object) return Ref::steal(object);
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  internal_failure("PyObject pointer is null");
}

Ref shortened(Ref text, std::size_t length) {
  PyObject* object = text.release();
  if (PyUnicode_Resize(&object, static_cast<Py_ssize_t>(length)) < 0) {
    // Released only after the failure has been reported: releasing can run
    // Python code, which must not start with an exception pending.
    Ref failed = Ref::steal(object);
    return created(nullptr);
  }
  return Ref::steal(object);
}

Ref text_copy(PyObject* text) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  Ref copy = created(PyUnicode_New(length, PyUnicode_MAX_CHAR_VALUE(text)));
  std::memcpy(PyUnicode_DATA(copy.get()), PyUnicode_DATA(text),
              static_cast<std::size_t>(length) * PyUnicode_KIND(text));
  return copy;
}

}  // namespace vesk
