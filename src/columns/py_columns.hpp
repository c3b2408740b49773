// The glue of vesk._columns, shared by its files: the options of a call, the
// Arrow and Python inputs it reads, and the results it makes.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "columns/arrow_abi.hpp"
#include "columns/buffer.hpp"
#include "columns/column_view.hpp"
#include "columns/engine.hpp"

namespace vesk::columns {

// ---- options (py_options.cpp) ------------------------------------------------

enum class Out : std::uint8_t { Arrow, List, Numpy };

struct Options {
  Function function = Function::Parse;
  NumberMode mode = NumberMode::Float;  // the dtype (Exact: none given, out="list")
  bool int64 = false;
  bool errors_null = false;
  bool decimal_comma = false;  // decimal=",": ',' and '.' exchanged in every cell
  unsigned threads = 0;        // 0: as many as the process may use
  Out out = Out::Arrow;
  PyObject* na = Py_None;  // borrowed: an argument of the call
};

// The keyword arguments of a call, borrowed; null where not given.
struct OptionObjects {
  PyObject* dtype = nullptr;
  PyObject* errors = nullptr;
  PyObject* threads = nullptr;
  PyObject* decimal = nullptr;
  PyObject* out = nullptr;
  PyObject* na = nullptr;
};

Result<Options> options_of(Function function, const OptionObjects& given);

// A fault of the input as the exception the caller sees.
Error fault_error(const ColumnFault& fault);

// ---- Arrow input (py_arrow_input.cpp) ----------------------------------------

// Everything imported by one call; each struct is released exactly once,
// when this goes (with the interpreter lock held).
struct ArrowInput {
  Imported<ArrowArrayStream> stream;
  Imported<ArrowSchema> schema;
  std::vector<Imported<ArrowArray>> arrays;
  bool from_stream = false;
};

// Imports an Arrow stream capsule, or a (schema, array) pair of capsules.
Status import_arrow(PyObject* source, bool pair, ArrowInput& input);

// The checked views of an import: its chunks (a stream's non-empty ones; an
// array's one), and the values of the dictionary-encoded ones, whose views
// refer to them by slot.
struct ArrowViews {
  CellKind kind = CellKind::Utf8;
  std::vector<ColumnView> chunks;
  std::vector<ColumnView> dictionaries;
};

Result<ArrowViews> views_of(ArrowInput& input);

// ---- Python cells (py_cells.cpp) -----------------------------------------------

// The texts of a list, a tuple or a one-dimensional numpy array of objects,
// gathered with the lock held. A reference to every cell is held, and the
// UTF-8 of the non-ASCII ones is encoded into a buffer of this value's own
// (the interpreter keeps no UTF-8 copy attached to the caller's str), so
// the views stay valid while the lock is released.
struct CellsInput {
  Ref tuple;              // a list's or tuple's cells, or null
  std::vector<Ref> held;  // a numpy array's cells
  Buffer encoded;         // the UTF-8 of the non-ASCII cells, back to back
  std::vector<std::string_view> cells;
  std::vector<std::uint8_t> present;
};

// Whether `source` is a sequence the gathering reads (list, tuple), or a
// numpy array of objects, told by its array interface.
bool is_cells_source(PyObject* source);

Status gather_cells(PyObject* source, const Options& options, CellsInput& input);

// ---- results (py_results.cpp) --------------------------------------------------

// Runs `job`, then makes the result the options ask for: a Column of type
// `column_type`, a list, or (parse, out="numpy") a (values, validity)
// pair of bytearrays.
Result<Ref> numbers_result(PyObject* column_type, Job& job, const Options& options);
Result<Ref> texts_result(PyObject* column_type, Job& job, const Options& options, CellKind kind);

}  // namespace vesk::columns
