// Result builders: native values to new Python objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "binding/error.hpp"

namespace vesk {

// Adopts a freshly created object. A null pointer means the interpreter could
// not create it: the pending exception is reported as unraisable and the call
// ends in the internal failure "PyObject pointer is null".
Ref created(PyObject* object);

inline Ref new_text(std::string_view utf8) {
  return created(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}
// A new ASCII str of `length` characters, not yet written: the caller fills
// its bytes (ascii_data) before anyone else sees it.
inline Ref new_ascii(std::size_t length) {
  return created(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
}
inline char* ascii_data(const Ref& text) {
  return reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
}

// Cuts a str made by new_ascii, not yet seen by anyone else, to its first
// `length` characters.
Ref shortened(Ref text, std::size_t length);

// A new str equal to the str `text`, copied at its own width.
Ref text_copy(PyObject* text);

inline Ref new_int(std::int64_t value) {
  return created(PyLong_FromLongLong(value));
}
inline Ref new_float(double value) {
  return created(PyFloat_FromDouble(value));
}
inline Ref new_none() {
  return Ref::borrow(Py_None);
}
inline Ref new_bool(bool value) {
  return Ref::borrow(value ? Py_True : Py_False);
}
inline Ref new_list(Py_ssize_t length) {
  return created(PyList_New(length));
}
// A new list of `items`, taking over their references. A half-filled list
// (empty slots) must never be reachable from Python code (a collection lists
// every tracked container), so results are collected as Refs first and the
// list is made here, where nothing can run Python code between its creation
// and its last slot.
inline Ref list_of(std::vector<Ref>& items) {
  Ref list = new_list(static_cast<Py_ssize_t>(items.size()));
  PyObject* const target = list.get();
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyList_SET_ITEM(target, static_cast<Py_ssize_t>(i), items[i].release());
  }
  items.clear();
  return list;
}

inline Ref new_dict() {
  return created(PyDict_New());
}

// Appends `item` (borrowed) to `list`; an interpreter failure is an error value.
inline Status list_append(PyObject* list, PyObject* item) {
  if (PyList_Append(list, item) < 0) return fail_fetched();
  return {};
}

// d[key] = value (both borrowed).
inline Status dict_set(PyObject* dict, PyObject* key, PyObject* value) {
  if (PyDict_SetItem(dict, key, value) < 0) return fail_fetched();
  return {};
}

}  // namespace vesk
