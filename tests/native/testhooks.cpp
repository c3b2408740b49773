// Test-only module: reaches the failure paths of the binding layer that no
// input to _vesk can reach (internal failures, failed object creation, a
// PanicException coming back through Python code). Built only with
// -DVESK_TEST_HOOKS=ON and never installed.
#include <chrono>
#include <new>

#include "binding/boundary.hpp"
#include "binding/from_python.hpp"
#include "binding/render.hpp"
#include "binding/to_python.hpp"
#include "columns/column_view.hpp"
#include "columns/cpus.hpp"
#include "columns/engine.hpp"

namespace {

using vesk::Error;
using vesk::Ref;
using vesk::Result;

PyObject* raise_internal(PyObject*, PyObject* message) {
  return vesk::call_boundary([&]() -> Result<Ref> {
    Result<std::string> text = vesk::to_owned_text(message);
    if (!text) return vesk::fail(std::move(text).error());
    vesk::internal_failure(*text);
  });
}

PyObject* null_object(PyObject*, PyObject*) {
  return vesk::call_boundary([&]() -> Result<Ref> {
    PyErr_SetString(PyExc_MemoryError, "pretend the interpreter ran out of memory");
    return vesk::created(nullptr);
  });
}

PyObject* fetch_nothing(PyObject*, PyObject*) {
  return vesk::call_boundary([&]() -> Result<Ref> { return vesk::fail(Error::fetch()); });
}

PyObject* bad_alloc(PyObject*, PyObject*) {
  return vesk::call_boundary([&]() -> Result<Ref> { throw std::bad_alloc(); });
}

// Calls `callable()` and passes its exception on through the error model, so
// a PanicException raised by this module inside it is resumed.
PyObject* call(PyObject*, PyObject* callable) {
  return vesk::call_boundary([&]() -> Result<Ref> {
    Ref result = Ref::steal(PyObject_CallNoArgs(callable));
    if (!result) return vesk::fail_fetched();
    return result;
  });
}

// Calls `callable()`, discarding whatever it raises, the way the sort discards
// failed comparisons.
PyObject* call_discarding(PyObject*, PyObject* callable) {
  return vesk::call_boundary([&]() -> Result<Ref> {
    Ref result = Ref::steal(PyObject_CallNoArgs(callable));
    if (!result) vesk::discard_pending_exception();
    return vesk::new_none();
  });
}

// The text rendering used in messages.
PyObject* render(PyObject*, PyObject* object) {
  return vesk::call_boundary(
      [&]() -> Result<Ref> { return vesk::new_text(vesk::render_text(object)); });
}

// The flag conversion with its argument context.
PyObject* flag(PyObject*, PyObject* object) {
  return vesk::call_boundary([&]() -> Result<Ref> {
    Result<bool> value = vesk::argument("inplace", vesk::to_flag(object));
    if (!value) return vesk::fail(std::move(value).error());
    return vesk::new_bool(*value);
  });
}

// The sequence-of-texts conversion.
PyObject* texts(PyObject*, PyObject* object) {
  return vesk::call_boundary([&]() -> Result<Ref> {
    Result<std::vector<std::string>> converted = vesk::to_text_sequence(object);
    if (!converted) return vesk::fail(std::move(converted).error());
    Ref list = vesk::new_list(0);
    for (const std::string& text : *converted) {
      Ref item = vesk::new_text(text);
      if (auto appended = vesk::list_append(list.get(), item.get()); !appended) {
        return vesk::fail(std::move(appended).error());
      }
    }
    return list;
  });
}

// The column engine's reading of a cgroup CPU quota, from the files under
// the folder `root` (laid out like /): an int, or None without a quota.
PyObject* cgroup_cpu_limit(PyObject*, PyObject* root) {
  return vesk::call_boundary([&]() -> Result<Ref> {
    Result<std::string> folder = vesk::to_owned_text(root);
    if (!folder) return vesk::fail(std::move(folder).error());
    const std::optional<unsigned> limit = vesk::columns::cgroup_cpu_limit(*folder);
    return limit ? vesk::new_int(*limit) : vesk::new_none();
  });
}

// Seconds that the column engine's checks take over the rows of an Arrow
// (schema, array) pair of a plain string type, on one thread, as a parse
// would run them (for bench/: the share of the checks in a call). The
// structs are moved out of their capsules and released here.
PyObject* time_column_checks(PyObject*, PyObject* pair) {
  return vesk::call_boundary([&]() -> Result<Ref> {
    using namespace vesk::columns;
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
      return vesk::fail(Error::type_error("expected a (schema, array) pair of capsules"));
    auto* schema =
        static_cast<ArrowSchema*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(pair, 0), "arrow_schema"));
    auto* array =
        static_cast<ArrowArray*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(pair, 1), "arrow_array"));
    if (schema == nullptr || array == nullptr) return vesk::fail_fetched();
    Imported<ArrowSchema> owned_schema;
    Imported<ArrowArray> owned_array;
    owned_schema.adopt(schema);
    owned_array.adopt(array);
    double seconds = 0;
    try {
      const ColumnType type = column_type_of(*owned_schema);
      const auto start = std::chrono::steady_clock::now();
      const ColumnView view = view_of(type.kind, *owned_array, 0);
      for (std::int64_t row = 0; row < view.length; row += kRowsPerTask)
        check_rows(view, row, std::min(view.length, row + kRowsPerTask), {});
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } catch (const ColumnFault& fault) {
      return vesk::fail(Error::value_error(fault.message()));
    }
    return vesk::new_float(seconds);
  });
}

// Runs the execution step of `module`'s definition again on `target` (the
// interpreter itself never re-runs it on reload for modules with m_size 0).
PyObject* exec_again(PyObject*, PyObject* args) {
  PyObject* module = nullptr;
  PyObject* target = nullptr;
  if (!PyArg_ParseTuple(args, "OO", &module, &target)) return nullptr;
  PyModuleDef* def = PyModule_GetDef(module);
  if (!def) return nullptr;
  for (PyModuleDef_Slot* slot = def->m_slots; slot && slot->slot; ++slot) {
    if (slot->slot != Py_mod_exec) continue;
    auto exec = reinterpret_cast<int (*)(PyObject*)>(slot->value);
    if (exec(target) < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"exec_again", exec_again, METH_VARARGS, nullptr},
    {"raise_internal", raise_internal, METH_O, nullptr},
    {"null_object", null_object, METH_NOARGS, nullptr},
    {"fetch_nothing", fetch_nothing, METH_NOARGS, nullptr},
    {"bad_alloc", bad_alloc, METH_NOARGS, nullptr},
    {"call", call, METH_O, nullptr},
    {"call_discarding", call_discarding, METH_O, nullptr},
    {"render", render, METH_O, nullptr},
    {"flag", flag, METH_O, nullptr},
    {"texts", texts, METH_O, nullptr},
    {"cgroup_cpu_limit", cgroup_cpu_limit, METH_O, nullptr},
    {"time_column_checks", time_column_checks, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT,
                          "_vesk_testhooks",
                          nullptr,
                          -1,
                          methods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__vesk_testhooks(void) {
  return PyModule_Create(&definition);
}
