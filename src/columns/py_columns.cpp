// vesk._columns: the five column functions over Arrow input (the PyCapsule
// interface) and Python sequences; the module definition and the calls. The
// options, the inputs and the results are the other py_ files'; the work
// itself is engine.hpp's, with the interpreter lock released.
#include <span>
#include <string>

#include "binding/boundary.hpp"
#include "binding/module_slots.hpp"
#include "binding/to_python.hpp"
#include "columns/py_column_type.hpp"
#include "columns/py_columns.hpp"

namespace vesk::columns {
namespace {

struct ModuleState {
  PyObject* column_type;
};

ModuleState& state_of(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// An Arrow stream, a (schema, array) pair of capsules, a list, a tuple or a
// numpy array of objects, through the job, to the result.
Result<Ref> run_call(PyObject* module, Function function, PyObject* source,
                     const Options& options) {
  Job job;
  job.function = function;
  job.mode = options.mode;
  job.threads = options.threads;
  job.decimal_comma = options.decimal_comma;
  PyObject* const column_type = state_of(module).column_type;
  const bool pair = PyTuple_Check(source) && PyTuple_GET_SIZE(source) == 2 &&
                    PyCapsule_CheckExact(PyTuple_GET_ITEM(source, 0));
  if (PyCapsule_CheckExact(source) || pair) {
    ArrowInput input;
    if (Status imported = import_arrow(source, pair, input); !imported)
      return fail(std::move(imported).error());
    Result<ArrowViews> views = views_of(input);
    if (!views) return fail(std::move(views).error());
    job.chunks = views->chunks;
    job.dictionaries = views->dictionaries;
    if (function == Function::Parse) return numbers_result(column_type, job, options);
    return texts_result(column_type, job, options, views->kind);
  }
  CellsInput input;
  if (Status gathered = gather_cells(source, options, input); !gathered)
    return fail(std::move(gathered).error());
  ColumnView view;
  view.kind = CellKind::Sequence;
  view.length = static_cast<std::int64_t>(input.cells.size());
  view.cells = input.cells.data();
  view.present = input.present.data();
  job.chunks = std::span<const ColumnView>(&view, 1);
  if (function == Function::Parse) return numbers_result(column_type, job, options);
  return texts_result(column_type, job, options, CellKind::Sequence);
}

constexpr const char* name_of(Function function) {
  switch (function) {
    case Function::Parse:
      return "parse";
    case Function::Normalize:
      return "normalize_numeric_str";
    case Function::Uncamel:
      return "uncamel";
    case Function::ToCamel:
      return "underscore_to_camelcase";
    default:
      return "sanitize_vulgar_string";
  }
}

template <Function F>
PyObject* entry(PyObject* module, PyObject* args, PyObject* kwargs) {
  return call_boundary([&]() -> Result<Ref> {
    PyObject* source = nullptr;
    OptionObjects given;
    // Each function's keywords: dtype for parse alone, decimal for the two
    // number functions.
    static const std::string format = concat(F == Function::Parse       ? "O|$OOOOOO:"
                                             : F == Function::Normalize ? "O|$OOOOO:"
                                                                        : "O|$OOOO:",
                                             name_of(F));
    bool parsed = false;
    if constexpr (F == Function::Parse) {
      static const char* keywords[] = {"",        "dtype", "errors", "threads",
                                       "decimal", "out",   "na",     nullptr};
      parsed =
          PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords),
                                      &source, &given.dtype, &given.errors, &given.threads,
                                      &given.decimal, &given.out, &given.na) != 0;
    } else if constexpr (F == Function::Normalize) {
      static const char* keywords[] = {"", "errors", "threads", "decimal", "out", "na", nullptr};
      parsed = PyArg_ParseTupleAndKeywords(
                   args, kwargs, format.c_str(), const_cast<char**>(keywords), &source,
                   &given.errors, &given.threads, &given.decimal, &given.out, &given.na) != 0;
    } else {
      static const char* keywords[] = {"", "errors", "threads", "out", "na", nullptr};
      parsed = PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(),
                                           const_cast<char**>(keywords), &source, &given.errors,
                                           &given.threads, &given.out, &given.na) != 0;
    }
    if (!parsed) return fail_fetched();
    Result<Options> options = options_of(F, given);
    if (!options) return fail(std::move(options).error());
    return run_call(module, F, source, *options);
  });
}

template <Function F>
constexpr PyCFunction entry_of() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<F>));
}

PyMethodDef functions[] = {
    {"parse", entry_of<Function::Parse>(), METH_VARARGS | METH_KEYWORDS,
     "parse(source, /, *, dtype=None, errors='raise', threads=None, decimal='.', out='arrow', "
     "na=None)\n--\n\n"
     "vesk.parse applied to every cell of a column."},
    {"normalize_numeric_str", entry_of<Function::Normalize>(), METH_VARARGS | METH_KEYWORDS,
     "normalize_numeric_str(source, /, *, errors='raise', threads=None, decimal='.', out='arrow', "
     "na=None)\n--\n\nvesk.normalize_numeric_str applied to every cell of a column."},
    {"uncamel", entry_of<Function::Uncamel>(), METH_VARARGS | METH_KEYWORDS,
     "uncamel(source, /, *, errors='raise', threads=None, out='arrow', na=None)\n--\n\n"
     "vesk.uncamel applied to every cell of a column."},
    {"underscore_to_camelcase", entry_of<Function::ToCamel>(), METH_VARARGS | METH_KEYWORDS,
     "underscore_to_camelcase(source, /, *, errors='raise', threads=None, out='arrow', na=None)\n"
     "--\n\nvesk.underscore_to_camelcase applied to every cell of a column."},
    {"sanitize_vulgar_string", entry_of<Function::Vulgar>(), METH_VARARGS | METH_KEYWORDS,
     "sanitize_vulgar_string(source, /, *, errors='raise', threads=None, out='arrow', na=None)\n"
     "--\n\nvesk.sanitize_vulgar_string applied to every cell of a column."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  PyObject* done = call_boundary([&]() -> Result<Ref> {
    Result<Ref> type = make_column_type(module);
    if (!type) return fail(std::move(type).error());
    state_of(module).column_type = Ref::borrow(type->get()).release();
    // (PyModule_AddObject steals the reference only when it succeeds)
    if (PyModule_AddObject(module, "Column", type->get()) < 0) return fail_fetched();
    static_cast<void>(type->release());
    return new_none();
  });
  if (done == nullptr) return -1;
  Py_DECREF(done);
  return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  Py_VISIT(state_of(module).column_type);
  return 0;
}

int clear_module(PyObject* module) {
  Py_CLEAR(state_of(module).column_type);
  return 0;
}

void free_module(void* module) {
  clear_module(static_cast<PyObject*>(module));
}

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "vesk._columns", "Whole columns in one call: the column engine of vesk.",
    sizeof(ModuleState),   functions,       module_slots<&exec_module>,
    &traverse_module,      &clear_module,   &free_module,
};

}  // namespace
}  // namespace vesk::columns

PyMODINIT_FUNC PyInit__columns(void) {
  return PyModuleDef_Init(&vesk::columns::module_definition);
}
