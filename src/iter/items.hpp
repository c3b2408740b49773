// Shared helper of the iter functions: bounds-checked list reads.
#pragma once

#include "binding/to_python.hpp"

namespace vesk::iter {

// Item `index` of `list` (borrowed), or the interpreter's IndexError when the
// list has become shorter than that (Python code run during the call may
// have changed it).
inline Result<PyObject*> list_item(PyObject* list, Py_ssize_t index) {
  if (index < PyList_GET_SIZE(list)) return PyList_GET_ITEM(list, index);
  if (PyList_GetItem(list, index) == nullptr) return fail_fetched();
  return fail(Error::system_error("list index out of range"));
}

}  // namespace vesk::iter
