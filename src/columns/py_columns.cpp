// vesk._columns: the five column functions over Arrow input (the PyCapsule
// interface) and Python sequences. The module definition, the argument rules,
// the import of Arrow structs, the gathering of sequence cells and the
// results; the work itself is engine.hpp's, with the interpreter lock released.
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unwind.hpp"
#include "binding/boundary.hpp"
#include "binding/render.hpp"
#include "binding/to_python.hpp"
#include "binding/unlocked.hpp"
#include "columns/engine.hpp"
#include "columns/pool.hpp"
#include "columns/py_column_type.hpp"
#include "text/vulgar.hpp"

namespace vesk::columns {
namespace {

struct ModuleState {
  PyObject* column_type;
};

ModuleState& state_of(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

enum class Out : std::uint8_t { Arrow, List, Numpy };

struct Options {
  Function function = Function::Parse;
  NumberMode mode = NumberMode::Float;  // the dtype (Exact: none given, out="list")
  bool int64 = false;
  bool errors_null = false;
  unsigned threads = 1;
  Out out = Out::Arrow;
  PyObject* na = Py_None;  // borrowed: an argument of the call
};

Error fault_error(const ColumnFault& fault) {
  return fault.kind() == ColumnFault::Kind::Type ? Error::type_error(fault.message())
                                                 : Error::value_error(fault.message());
}

// Whether `object` is the str `expected`.
bool is_text(PyObject* object, const char* expected) {
  return PyUnicode_Check(object) && PyUnicode_CompareWithASCIIString(object, expected) == 0;
}

std::string shown(PyObject* object) {
  Ref repr = Ref::steal(PyObject_Repr(object));
  if (!repr) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  return lossy_utf8(repr.get());
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
  if (threads == nullptr || threads == Py_None) {
    options.threads = available_cpus();
  } else {
    if (!PyLong_Check(threads) || PyBool_Check(threads)) {
      return fail(Error::type_error(
          concat("threads must be None or an int, not '", Py_TYPE(threads)->tp_name, "'")));
    }
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(threads, &overflow);
    if (count == -1 && PyErr_Occurred()) return fail_fetched();
    if (overflow < 0 || (overflow == 0 && count < 1)) {
      return fail(Error::value_error(concat("threads must be >= 1, not ", shown(threads))));
    }
    // More threads than tasks are never started; beyond this many, none help.
    options.threads = overflow > 0 || count > 1024 ? 1024u : static_cast<unsigned>(count);
  }
  options.na = na == nullptr ? Py_None : na;
  return options;
}

// ---- Arrow input ------------------------------------------------------------

constexpr const char* kSchemaName = "arrow_schema";
constexpr const char* kArrayName = "arrow_array";
constexpr const char* kStreamName = "arrow_array_stream";

// The struct inside a capsule of the given name, moved out of it (the
// capsule's destructor then finds it released and does nothing).
template <class Struct>
Status take_from_capsule(PyObject* capsule, const char* name, const char* what,
                         Imported<Struct>& owner) {
  if (!PyCapsule_CheckExact(capsule)) {
    return fail(Error::type_error(
        concat("expected a PyCapsule named '", name, "', not '", Py_TYPE(capsule)->tp_name, "'")));
  }
  const char* found = PyCapsule_GetName(capsule);
  if (found == nullptr && PyErr_Occurred()) return fail_fetched();
  if (found == nullptr || std::strcmp(found, name) != 0) {
    return fail(Error::type_error(concat("expected a PyCapsule named '", name, "', not one named '",
                                         found == nullptr ? "" : found, "'")));
  }
  auto* raw = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (raw == nullptr) return fail_fetched();
  if (raw->release == nullptr) {
    return fail(Error::value_error(concat("the ", what, " in the capsule was already released")));
  }
  owner.adopt(raw);
  return {};
}

// Everything imported by one call; each struct is released exactly once,
// when this goes (with the interpreter lock held).
struct ArrowInput {
  Imported<ArrowArrayStream> stream;
  Imported<ArrowSchema> schema;
  std::vector<Imported<ArrowArray>> arrays;
};

Error stream_error(ArrowArrayStream& stream, int code, const char* step) {
  const char* message = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
  std::string text = concat("Arrow stream: ", step, " failed (error ", std::to_string(code), ")");
  if (message != nullptr) text = concat(text, ": ", message);
  PyErr_SetString(PyExc_RuntimeError, text.c_str());
  return Error::fetch();
}

Status import_stream(PyObject* capsule, ArrowInput& input) {
  if (Status taken = take_from_capsule(capsule, kStreamName, "Arrow stream", input.stream); !taken)
    return taken;
  ArrowArrayStream& stream = *input.stream;
  if (stream.get_schema == nullptr || stream.get_next == nullptr)
    return fail(Error::value_error("Arrow stream: get_schema or get_next is missing"));
  if (const int code = stream.get_schema(&stream, input.schema.out()); code != 0)
    return fail(stream_error(stream, code, "get_schema"));
  if (!input.schema.live())
    return fail(Error::value_error("Arrow stream: get_schema gave a released schema"));
  SignalStride<64> stride;
  for (;;) {
    Imported<ArrowArray> array;
    if (const int code = stream.get_next(&stream, array.out()); code != 0) {
      return fail(stream_error(
          stream, code, concat("get_next of chunk ", std::to_string(input.arrays.size())).c_str()));
    }
    if (!array.live()) return {};  // the end
    input.arrays.push_back(std::move(array));
    if (Status ok = stride.step(); !ok) return ok;
  }
}

Status import_pair(PyObject* pair, ArrowInput& input) {
  if (Status taken =
          take_from_capsule(PyTuple_GET_ITEM(pair, 0), kSchemaName, "Arrow schema", input.schema);
      !taken)
    return taken;
  Imported<ArrowArray> array;
  if (Status taken = take_from_capsule(PyTuple_GET_ITEM(pair, 1), kArrayName, "Arrow array", array);
      !taken)
    return taken;
  input.arrays.push_back(std::move(array));
  return {};
}

// The checked views of the non-empty chunks (or of one empty chunk).
Result<std::vector<ColumnView>> views_of(ArrowInput& input, CellKind& kind) {
  std::vector<ColumnView> views;
  try {
    const ArrowSchema& schema = *input.schema;
    if (schema.dictionary != nullptr && schema.format != nullptr &&
        schema.dictionary->format != nullptr) {
      // Dictionary-encoded: the format string is the indices' type.
      throw ColumnFault(
          ColumnFault::Kind::Type,
          concat("unsupported Arrow type 'dictionary<values=", schema.dictionary->format,
                 ", indices=", schema.format, ">' (expected utf8, large_utf8 or utf8_view)"));
    }
    kind = kind_of_format(schema.format);
    if (schema.n_children != 0 || schema.dictionary != nullptr)
      value_fault("Arrow schema of a string type has children or a dictionary");
    std::int64_t row_base = 0;
    for (Imported<ArrowArray>& array : input.arrays) {
      ColumnView view = view_of(kind, *array, row_base);
      row_base += view.length;
      if (view.length > 0) views.push_back(view);
    }
  } catch (const ColumnFault& fault) {
    return fail(fault_error(fault));
  }
  if (views.empty()) {
    ColumnView empty;
    empty.kind = kind;
    views.push_back(empty);
  }
  return views;
}

// ---- sequence input -----------------------------------------------------------

// The present texts of a sequence, gathered with the lock held. `items` holds
// a reference to every cell (a tuple: nothing can change it), and each str
// keeps its UTF-8 form, so the views stay valid while the lock is released.
struct SequenceInput {
  Ref items;
  std::vector<std::string_view> cells;
  std::vector<std::uint8_t> present;
};

Status gather(PyObject* source, const Options& options, SequenceInput& input) {
  input.items = PyTuple_Check(source) ? Ref::borrow(source) : Ref::steal(PyList_AsTuple(source));
  if (!input.items) return fail_fetched();
  const Py_ssize_t length = PyTuple_GET_SIZE(input.items.get());
  input.cells.resize(static_cast<std::size_t>(length));
  input.present.resize(static_cast<std::size_t>(length));
  SignalStride<> stride;
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyObject* item = PyTuple_GET_ITEM(input.items.get(), i);
    const auto row = static_cast<std::size_t>(i);
    if (PyUnicode_Check(item)) {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(item, &size);
      if (data == nullptr) return fail_fetched();
      input.cells[row] = {data, static_cast<std::size_t>(size)};
      input.present[row] = 1;
    } else if (item == Py_None || item == options.na ||
               (PyFloat_Check(item) && std::isnan(PyFloat_AS_DOUBLE(item)))) {
      input.present[row] = 0;
    } else if (options.errors_null) {
      input.present[row] = 0;
    } else {
      return fail(Error::type_error(
          concat("row ", std::to_string(i), ": ",
                 type_check_message(item, reinterpret_cast<PyObject*>(&PyUnicode_Type)))));
    }
    if (Status ok = stride.step(); !ok) return ok;
  }
  return {};
}

// ---- the work and the results ----------------------------------------------

// Runs the job with the interpreter lock released, polling for signals. The
// lock is taken back in ordinary control flow before anything the job threw
// is rethrown (never by a destructor during an unwind), except when the
// thread is being ended while it takes the lock back: that forced unwind
// passes, after the workers are joined, and leaves imported structs alone.
Status run_unlocked(Job& job) {
  std::exception_ptr thrown;
  {
    Unlocked unlocked;
    try {
      run_job(job, [&unlocked] { unlocked.poll(); });
    } catch (ForcedUnwind&) {
      thread_ending = true;
      throw;
    } catch (...) {
      thrown = std::current_exception();
    }
  }
  if (!thrown) return {};
  try {
    std::rethrow_exception(thrown);
  } catch (const ColumnFault& fault) {
    return fail(fault_error(fault));
  } catch (const text::SanitizeFailure& broken) {
    internal_failure(broken.what());
  }
}

OutType text_type(CellKind kind) {
  switch (kind) {
    case CellKind::LargeUtf8:
      return OutType::LargeUtf8;
    case CellKind::View:
      return OutType::View;
    default:
      return OutType::Utf8;
  }
}

Result<Ref> numbers_result(PyObject* module, std::vector<ColumnView>& views,
                           const Options& options) {
  Job job;
  job.function = Function::Parse;
  job.mode = options.mode;
  job.threads = options.threads;
  job.chunks = views;
  std::int64_t total = 0;
  for (const ColumnView& view : views) total += view.length;
  const auto rows = static_cast<std::size_t>(total);

  if (options.out == Out::Numpy) {
    // Written in place: nobody else has seen these objects yet.
    Ref values = created(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows * 8)));
    Ref valid = created(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows)));
    char* values_data = PyByteArray_AS_STRING(values.get());
    auto* valid_data = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(valid.get()));
    std::int64_t base = 0;
    for (const ColumnView& view : views) {
      job.numbers.push_back({values_data + 8 * base, valid_data + base});
      base += view.length;
    }
    if (Status ran = run_unlocked(job); !ran) return fail(std::move(ran).error());
    bool any_missing = false;
    for (const std::int64_t missing : job.null_counts) any_missing |= missing > 0;
    Ref pair = created(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0, values.release());
    PyTuple_SET_ITEM(pair.get(), 1, any_missing ? valid.release() : new_none().release());
    return pair;
  }

  std::vector<Buffer> values;
  std::vector<Buffer> states;
  for (const ColumnView& view : views) {
    const auto length = static_cast<std::size_t>(view.length);
    values.push_back(Buffer::sized(length * 8));
    states.push_back(Buffer::sized(length));
    job.numbers.push_back({values.back().data(), states.back().as<std::uint8_t>()});
  }
  if (Status ran = run_unlocked(job); !ran) return fail(std::move(ran).error());

  if (options.out == Out::List) {
    std::vector<Ref> items;
    items.reserve(rows);
    SignalStride<> stride;
    for (std::size_t c = 0; c < views.size(); ++c) {
      const char* v = values[c].data();
      const auto* s = states[c].as<std::uint8_t>();
      for (std::int64_t i = 0; i < views[c].length; ++i) {
        const std::uint8_t kind = s[i];
        if (kind == kMissing) {
          items.push_back(new_none());
          continue;
        }
        const bool integer = options.mode == NumberMode::Int ||
                             (options.mode == NumberMode::Exact && kind == kInteger);
        if (integer) {
          std::int64_t number;
          std::memcpy(&number, v + 8 * i, 8);
          items.push_back(new_int(number));
        } else {
          double number;
          std::memcpy(&number, v + 8 * i, 8);
          items.push_back(new_float(number));
        }
        if (Status ok = stride.step(); !ok) return fail(std::move(ok).error());
      }
    }
    return list_of(items);
  }

  auto column = std::make_shared<OutColumn>();
  column->type = options.int64 ? OutType::Int64 : OutType::Float64;
  column->length = total;
  for (std::size_t c = 0; c < views.size(); ++c) {
    column->chunks.push_back(std::make_shared<const OutChunk>(
        number_chunk(std::move(values[c]), std::move(job.validity[c]), job.null_counts[c],
                     views[c].length, column->type)));
  }
  return new_column(state_of(module).column_type, std::move(column));
}

Result<Ref> texts_result(PyObject* module, std::vector<ColumnView>& views, const Options& options,
                         CellKind kind) {
  Job job;
  job.function = options.function;
  job.threads = options.threads;
  job.chunks = views;
  // A sequence's texts may need 64-bit offsets; they are narrowed when they fit.
  job.text_form = options.out != Out::Arrow || kind == CellKind::Sequence ? OutType::LargeUtf8
                                                                          : text_type(kind);
  if (Status ran = run_unlocked(job); !ran) return fail(std::move(ran).error());

  if (options.out != Out::Arrow) {
    std::vector<Ref> items;
    SignalStride<> stride;
    for (const TextCells& cells : job.texts) {
      const auto* state = cells.state.as<std::uint8_t>();
      for (std::int64_t i = 0; i < cells.length; ++i) {
        items.push_back(state[i] == 0 ? new_none() : new_text(cells.cell(i)));
        if (Status ok = stride.step(); !ok) return fail(std::move(ok).error());
      }
    }
    return list_of(items);
  }

  auto column = std::make_shared<OutColumn>();
  column->type = text_type(kind);
  if (kind == CellKind::Sequence) {
    std::size_t bytes = 0;
    for (const TextCells& cells : job.texts) bytes += cells.data.size();
    if (bytes > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
      column->type = OutType::LargeUtf8;
  }
  for (std::size_t c = 0; c < job.texts.size(); ++c) {
    column->length += job.texts[c].length;
    column->chunks.push_back(std::make_shared<const OutChunk>(text_chunk(
        std::move(job.texts[c]), column->type, std::move(job.validity[c]), job.null_counts[c])));
  }
  return new_column(state_of(module).column_type, std::move(column));
}

Result<Ref> run_call(PyObject* module, Function function, PyObject* source,
                     const Options& options) {
  // An Arrow stream, a (schema, array) pair of capsules, or a sequence.
  const bool pair = PyTuple_Check(source) && PyTuple_GET_SIZE(source) == 2 &&
                    PyCapsule_CheckExact(PyTuple_GET_ITEM(source, 0));
  if (PyCapsule_CheckExact(source) || pair) {
    ArrowInput input;
    Status imported = pair ? import_pair(source, input) : import_stream(source, input);
    if (!imported) return fail(std::move(imported).error());
    CellKind kind = CellKind::Utf8;
    Result<std::vector<ColumnView>> views = views_of(input, kind);
    if (!views) return fail(std::move(views).error());
    if (function == Function::Parse) return numbers_result(module, *views, options);
    return texts_result(module, *views, options, kind);
  }
  if (!PyList_Check(source) && !PyTuple_Check(source)) {
    return fail(Error::type_error(
        concat("source must be an Arrow stream capsule, a pair of Arrow capsules (schema, array), "
               "a list or a tuple, not '",
               Py_TYPE(source)->tp_name, "'")));
  }
  SequenceInput input;
  if (Status gathered = gather(source, options, input); !gathered)
    return fail(std::move(gathered).error());
  std::vector<ColumnView> views(1);
  ColumnView& view = views.front();
  view.kind = CellKind::Sequence;
  view.length = static_cast<std::int64_t>(input.cells.size());
  view.cells = input.cells.data();
  view.present = input.present.data();
  if (function == Function::Parse) return numbers_result(module, views, options);
  return texts_result(module, views, options, CellKind::Sequence);
}

template <Function F>
PyObject* entry(PyObject* module, PyObject* args, PyObject* kwargs) {
  return call_boundary([&]() -> Result<Ref> {
    PyObject* source = nullptr;
    PyObject* dtype = nullptr;
    PyObject* errors = nullptr;
    PyObject* threads = nullptr;
    PyObject* out = nullptr;
    PyObject* na = nullptr;
    if constexpr (F == Function::Parse) {
      static const char* keywords[] = {"", "dtype", "errors", "threads", "out", "na", nullptr};
      if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOO:parse", const_cast<char**>(keywords),
                                       &source, &dtype, &errors, &threads, &out, &na))
        return fail_fetched();
    } else {
      static const char* keywords[] = {"", "errors", "threads", "out", "na", nullptr};
      static const std::string format =
          concat("O|$OOOO:", F == Function::Normalize ? "normalize_numeric_str"
                             : F == Function::Uncamel ? "uncamel"
                             : F == Function::ToCamel ? "underscore_to_camelcase"
                                                      : "sanitize_vulgar_string");
      if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords),
                                       &source, &errors, &threads, &out, &na))
        return fail_fetched();
    }
    Result<Options> options = options_of(F, dtype, errors, threads, out, na);
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
     "parse(source, /, *, dtype=None, errors='raise', threads=None, out='arrow', na=None)\n--\n\n"
     "vesk.parse applied to every cell of a column."},
    {"normalize_numeric_str", entry_of<Function::Normalize>(), METH_VARARGS | METH_KEYWORDS,
     "normalize_numeric_str(source, /, *, errors='raise', threads=None, out='arrow', na=None)\n"
     "--\n\nvesk.normalize_numeric_str applied to every cell of a column."},
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

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
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

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "vesk._columns", "Whole columns in one call: the column engine of vesk.",
    sizeof(ModuleState),   functions,       module_slots,
    &traverse_module,      &clear_module,   &free_module,
};

}  // namespace
}  // namespace vesk::columns

PyMODINIT_FUNC PyInit__columns(void) {
  return PyModuleDef_Init(&vesk::columns::module_definition);
}
