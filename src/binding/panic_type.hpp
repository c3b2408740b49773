// The exception type that internal failures are raised as.
#pragma once

#include "binding/ref.hpp"

namespace vesk {

// pyo3_runtime.PanicException (a BaseException), created on first use and
// kept for the life of the process; a borrowed reference. A failure to create
// it is an internal failure.
PyObject* panic_exception_type();

}  // namespace vesk
