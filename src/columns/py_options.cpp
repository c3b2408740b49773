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

// threads: None or -1 (0: all the process may use, -1 as joblib and
// scikit-learn spell it), or any integer (an int, or an object with __index__
// such as numpy's integers) of at least 1.
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
  if (overflow == 0 && count == -1) return 0u;
  if (overflow < 0 || (overflow == 0 && count < 1)) {
    return fail(Error::value_error(concat("threads must be >= 1, not ", shown(threads),
                                          " (None or -1: all the cores this process may use)")));
  }
  // More threads than tasks are never started; beyond this many, none help.
  return overflow > 0 || count > 1024 ? 1024u : static_cast<unsigned>(count);
}

// What the other libraries' words for `errors` are here: one spelling per
// meaning, so they are refused, with the nearest of ours named.
const char* errors_hint(PyObject* errors) {
  if (is_text(errors, "coerce"))
    return " (pandas' 'coerce' is 'null' here: a cell that is not text becomes missing)";
  if (is_text(errors, "ignore")) {
    return " (pandas' 'ignore' gives the input back unchanged, which no function here does: "
           "'null' makes a cell that is not text missing, 'raise' refuses it)";
  }
  return "";
}

}  // namespace

Error fault_error(const ColumnFault& fault) {
  return fault.kind() == ColumnFault::Kind::Type ? Error::type_error(fault.message())
                                                 : Error::value_error(fault.message());
}

Result<Options> options_of(Function function, const OptionObjects& given) {
  PyObject* const dtype = given.dtype;
  PyObject* const errors = given.errors;
  PyObject* const out = given.out;
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
    return fail(Error::value_error(
        concat("errors must be 'raise' or 'null', not ", shown(errors), errors_hint(errors))));
  }
  // decimal=",": each cell is read with ',' and '.' exchanged (only parse
  // and normalize_numeric_str take it).
  if (given.decimal == nullptr || given.decimal == Py_None || is_text(given.decimal, ".")) {
    options.decimal_comma = false;
  } else if (is_text(given.decimal, ",")) {
    options.decimal_comma = true;
  } else {
    return fail(
        Error::value_error(concat("decimal must be '.' or ',', not ", shown(given.decimal))));
  }
  Result<unsigned> count = threads_of(given.threads);
  if (!count) return fail(std::move(count).error());
  options.threads = *count;
  options.na = given.na == nullptr ? Py_None : given.na;
  return options;
}

}  // namespace vesk::columns
