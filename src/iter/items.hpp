// Shared helpers of the iter functions: bounds-checked list reads and lists
// built from items owned on the native side.
#pragma once

#include <vector>

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

// A new list of `items`, which it takes over. The items stay owned here
// while a result is built, because a half-filled list (empty slots) must
// never be reachable from Python code (a collection lists every tracked
// container); between the creation of this list and its last slot, nothing
// can run Python code.
inline Ref list_of(std::vector<Ref>& items) {
  Ref list = new_list(static_cast<Py_ssize_t>(items.size()));
  PyObject* const target = list.get();
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyList_SET_ITEM(target, static_cast<Py_ssize_t>(i), items[i].release());
  }
  items.clear();
  return list;
}

}  // namespace vesk::iter
