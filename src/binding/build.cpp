#include "binding/build.hpp"

namespace vesk {

Ref created(PyObject* object) {
  if (object) return Ref::steal(object);
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  internal_failure("PyObject pointer is null");
}

}  // namespace vesk
