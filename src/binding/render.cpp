#include "binding/render.hpp"

#include "binding/once.hpp"

namespace vesk {
namespace {

// The type name shown in a failed type check.
std::string qualname_of(PyObject* type) {
  Ref name = Ref::steal(PyObject_GetAttr(type, interned(Name::Qualname)));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return lossy_utf8(name.get());
}

}  // namespace

std::string lossy_utf8(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string(data, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return {};
  }
  Ref decoded = Ref::steal(
      PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()), "replace"));
  if (!decoded || !(PyUnicode_AsUTF8AndSize(decoded.get(), &size))) {
    PyErr_Clear();
    return {};
  }
  return std::string(PyUnicode_AsUTF8AndSize(decoded.get(), &size), static_cast<std::size_t>(size));
}

std::string render_text(PyObject* object) {
  if (Ref text = Ref::steal(PyObject_Str(object))) return lossy_utf8(text.get());
  PyErr_WriteUnraisable(object);
  const Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  Ref name = Ref::steal(PyObject_GetAttr(type.get(), interned(Name::Name)));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  return concat("<unprintable ", lossy_utf8(name.get()), " object>");
}

std::string type_check_message(PyObject* object, PyObject* required_type) {
  std::string required = qualname_of(required_type);
  if (object == Py_None) return concat("'None' is not an instance of '", required, "'");
  // Held: the lookup can run Python code that reassigns object.__class__.
  const Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  return concat("'", qualname_of(type.get()), "' object is not an instance of '", required, "'");
}

}  // namespace vesk
