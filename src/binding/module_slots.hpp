// The slots of both extension modules: their exec step, and what they
// declare to the interpreter about subinterpreters and the GIL.
#pragma once

#include <Python.h>

namespace vesk {

template <int (*Exec)(PyObject*)>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
#ifdef Py_mod_multiple_interpreters
    // The process-wide values (binding/once.hpp) are objects of the
    // interpreter that first needed them; no other interpreter may use them,
    // so an isolated subinterpreter's import fails with ImportError.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // Safe without the interpreter lock: containers that other threads may
    // change are read under their critical sections (binding/critical.hpp).
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

}  // namespace vesk
