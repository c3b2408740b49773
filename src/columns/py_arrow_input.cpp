// The import of Arrow structs from PyCapsules, and the checked views of what
// was imported.
#include <cstring>
#include <mutex>
#include <string>

#include "binding/render.hpp"
#include "columns/py_columns.hpp"

namespace vesk::columns {
namespace {

constexpr const char* kSchemaName = "arrow_schema";
constexpr const char* kArrayName = "arrow_array";
constexpr const char* kStreamName = "arrow_array_stream";

// Guards the test and the move of a capsule's struct: two threads that pass
// the same capsule at once (nothing else stops them on a free-threaded
// build) must not both take it. Held for a few stores, never while Python
// code can run.
std::mutex& capsule_lock() {
  static std::mutex lock;
  return lock;
}

// The struct inside a capsule of the given name, moved out of it (the
// capsule's destructor then finds it released and does nothing). Exactly
// one of several callers with the same capsule takes it; the others find it
// released.
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
  {
    const std::lock_guard taking(capsule_lock());
    if (raw->release != nullptr) {
      owner.adopt(raw);
      return {};
    }
  }
  return fail(Error::value_error(concat("the ", what, " in the capsule was already released")));
}

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
  input.from_stream = true;
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

}  // namespace

Status import_arrow(PyObject* source, bool pair, ArrowInput& input) {
  return pair ? import_pair(source, input) : import_stream(source, input);
}

Result<ArrowViews> views_of(ArrowInput& input) {
  ArrowViews views;
  try {
    const ColumnType type = column_type_of(*input.schema);
    views.kind = type.kind;
    std::int64_t row_base = 0;
    for (std::size_t c = 0; c < input.arrays.size(); ++c) {
      const ArrowArray& array = *input.arrays[c];
      const ColumnView view =
          type.encoded ? encoded_view_of(type, array, row_base, views.dictionaries.size())
                       : view_of(type.kind, array, row_base);
      row_base += view.length;
      // A stream's empty chunks are left out (its result has one chunk per
      // non-empty one); an array is one chunk, empty or not.
      if (view.length == 0 && input.from_stream) continue;
      if (type.encoded)
        views.dictionaries.push_back(
            view_of(type.kind, *array.dictionary, 0, static_cast<std::int64_t>(c)));
      views.chunks.push_back(view);
    }
  } catch (const ColumnFault& fault) {
    return fail(fault_error(fault));
  }
  return views;
}

}  // namespace vesk::columns
