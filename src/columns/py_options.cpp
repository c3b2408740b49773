// The keyword options of the five column functions.
#include <string>

#include "binding/render.hpp"
#include "columns/py_columns.hpp"

namespace vesk::columns {
namespace {

// Whether `object` is the str `expected`.
bool is_text(PyObject* object, const char* expected) {
  return PyUnicode_Check(object) && PyUnicode_CompareWithASCIIString(object, expected) == 0;
}

std::string shown(PyObject* object) {
  Ref repr = Ref::steal(PyObject_Repr(object));
  if (!repr) {
    discard_pending_exception();
    return "<unprintable object>";
  }
  return lossy_utf8(repr.get());
}

// threads: None (0, all the process may use), or any integer (an int, or an
// object with __index__ such as numpy's integers) of at least 1.
Result<unsigned> threads_of(PyObject* threads) {
  if (threads == nullptr || threads == Py_None) return 0u;
  if (PyBool_Check(threads) || Py_TYPE(threads)->tp_as_number == nullptr ||
      Py_TYPE(threads)->tp_as_number->nb_index == nullptr) {
    return fail(Error::type_error(
        concat("threads must be None or an int, not '", Py_TYPE(threads)->tp_name, "'")));
  }
  Ref index = Ref::steal(PyNumber_Index(threads));
  if (!index) return fail_fetched();
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (count == -1 && PyErr_Occurred()) return fail_fetched();
  if (overflow < 0 || (overflow == 0 && count < 1))
    return fail(Error::value_error(concat("threads must be >= 1, not ", shown(threads))));
  // More threads than tasks are never started; beyond this many, none help.
  return overflow > 0 || count > 1024 ? 1024u : static_cast<unsigned>(count);
}

}  // namespace

Error fault_error(const ColumnFault& fault) {
  return fault.kind() == ColumnFault::Kind::Type ? Error::type_error(fault.message())
                                                 : Error::value_error(fault.message());
}

Result<Options> options_of(Function function, PyObject* dtype, PyObject* errors, PyObject* threads,
                           PyObject* out, PyObject* na) {
  Options options;
  options.function = function;
  if (out == nullptr || is_text(out, "arrow")) {
    options.out = Out::Arrow;
  } else if (is_text(out, "list")) {
    options.out = Out::List;
  } else if (is_text(out, "numpy")) {
    options.out = function == Function::Parse ? Out::Numpy : Out::List;
  } else {
    return fail(
        Error::value_error(concat("out must be 'arrow', 'list' or 'numpy', not ", shown(out))));
  }
  if (dtype == nullptr || dtype == Py_None) {
    options.mode = options.out == Out::List ? NumberMode::Exact : NumberMode::Float;
  } else if (is_text(dtype, "float64")) {
    options.mode = NumberMode::Float;
  } else if (is_text(dtype, "int64")) {
    options.mode = NumberMode::Int;
    options.int64 = true;
  } else {
    return fail(
        Error::value_error(concat("dtype must be None, 'float64' or 'int64', not ", shown(dtype))));
  }
  if (errors == nullptr || is_text(errors, "raise")) {
    options.errors_null = false;
  } else if (is_text(errors, "null")) {
    options.errors_null = true;
  } else {
    return fail(
        Error::value_error(concat("errors must be 'raise' or 'null', not ", shown(errors))));
  }
  Result<unsigned> count = threads_of(threads);
  if (!count) return fail(std::move(count).error());
  options.threads = *count;
  options.na = na == nullptr ? Py_None : na;
  return options;
}

}  // namespace vesk::columns
