// The module definition, the registration of the functions and their
// fast-call entry points.
#include <array>
#include <utility>

#include "binding/boundary.hpp"
#include "binding/from_python.hpp"
#include "binding/module_slots.hpp"
#include "binding/once.hpp"
#include "binding/render.hpp"
#include "binding/to_python.hpp"
#include "lib/functions.hpp"

namespace vesk {
namespace {

// Not noexcept, like everything between a call and the boundary: a forced
// unwind (binding/boundary.hpp) passes through.
template <std::size_t Index>
PyObject* entry_point(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return call_boundary([&]() -> Result<Ref> {
    const FunctionEntry& function = kFunctions[Index];
    Result<BoundArgs> bound =
        bind(function.signature, CallArgs{args, PyVectorcall_NARGS(nargs), kwnames});
    if (!bound) return fail(std::move(bound).error());
    return function.body(*bound);
  });
}

template <std::size_t... Index>
std::array<PyMethodDef, kFunctionCount> make_method_defs(std::index_sequence<Index...>) {
  return {
      PyMethodDef{kFunctions[Index].signature.name.data(),
                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry_point<Index>)),
                  METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kFunctions[Index].doc}...};
}

// The interpreter keeps pointers to these for as long as the functions live.
std::array<PyMethodDef, kFunctionCount>& method_defs() {
  static std::array<PyMethodDef, kFunctionCount> defs =
      make_method_defs(std::make_index_sequence<kFunctionCount>());
  return defs;
}

Status add_function(PyObject* module, PyMethodDef& def) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return fail_fetched();
  Ref function = Ref::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
  module_name.reset();
  if (!function) return fail_fetched();

  Ref name = Ref::steal(PyObject_GetAttr(function.get(), interned(Name::Name)));
  if (!name) return fail_fetched();
  if (!PyUnicode_Check(name.get())) {
    return fail(Error::type_check(name.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type)));
  }

  Ref all = Ref::steal(PyObject_GetAttr(module, interned(Name::All)));
  if (!all) {
    Error error = Error::fetch();
    if (!error.matches(PyExc_AttributeError)) return fail(std::move(error));
    all = new_list(0);
    if (PyObject_SetAttr(module, interned(Name::All), all.get()) < 0) return fail_fetched();
  }
  if (!PyList_Check(all.get())) {
    return fail(Error::type_check(all.get(), reinterpret_cast<PyObject*>(&PyList_Type)));
  }
  if (PyList_Append(all.get(), name.get()) < 0) {
    Ref cause = Error::fetch().instance();
    Ref shown = Ref::steal(PyObject_Repr(cause.get()));
    if (!shown) PyErr_Clear();  // before rendering: no call may start with an error pending
    std::string detail = render_text(shown ? shown.get() : cause.get());
    internal_failure(concat("could not append __name__ to __all__: ", detail));
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return fail_fetched();
  return {};
}

// Creates the functions in registration order and adds them to the module.
// Runs again, appending to __all__ again, when the module is reloaded.
int exec_module(PyObject* module) {
  PyObject* done = call_boundary([&]() -> Result<Ref> {
    if (!PyObject_TypeCheck(module, &PyModule_Type)) {
      return fail(Error::type_check(module, reinterpret_cast<PyObject*>(&PyModule_Type)));
    }
    auto& defs = method_defs();
    for (std::size_t i = 0; i < kFunctionCount; ++i) {
      if (Status added = add_function(module, defs[i]); !added)
        return fail(std::move(added).error());
    }
    return new_none();
  });
  if (!done) return -1;
  Py_DECREF(done);
  return 0;
}

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_vesk",
    "Python module definition.",
    0,
    nullptr,
    module_slots<&exec_module>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vesk

PyMODINIT_FUNC PyInit__vesk(void) {
  return PyModuleDef_Init(&vesk::module_definition);
}
