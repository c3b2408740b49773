// The `Column` result type of vesk._columns: an Arrow result that Python code
// hands to any consumer of the Arrow PyCapsule interface.
#pragma once

#include <memory>

#include "binding/error.hpp"
#include "columns/output.hpp"

namespace vesk::columns {

// Creates the type (a heap type of the module being executed).
Result<Ref> make_column_type(PyObject* module);

// A new Column of `type` over `column`.
Result<Ref> new_column(PyObject* type, std::shared_ptr<const OutColumn> column);

}  // namespace vesk::columns
