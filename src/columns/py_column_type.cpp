#include "columns/py_column_type.hpp"

#include <cstring>
#include <string>

#include "binding/boundary.hpp"
#include "binding/to_python.hpp"

namespace vesk::columns {
namespace {

struct ColumnObject {
  PyObject_HEAD
      // Null only for an object made without new_column.
      std::shared_ptr<const OutColumn>* column;
};

constexpr const char* kSchemaName = "arrow_schema";
constexpr const char* kArrayName = "arrow_array";
constexpr const char* kStreamName = "arrow_array_stream";

// Capsule destructors: release whatever the consumer did not move away.
template <class Struct, const char* const& Name>
void free_capsule(PyObject* capsule) {
  auto* owned = static_cast<Struct*>(PyCapsule_GetPointer(capsule, Name));
  if (owned == nullptr) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  if (owned->release != nullptr) owned->release(owned);
  delete owned;
}

// A capsule that owns `raw` (allocated with new) from here on.
template <class Struct>
Ref capsule_of(std::unique_ptr<Struct> raw, const char* name, PyCapsule_Destructor destructor) {
  Ref capsule = Ref::steal(PyCapsule_New(raw.get(), name, destructor));
  if (!capsule) {
    if (raw->release != nullptr) raw->release(raw.get());
    return capsule;
  }
  raw.release();
  return capsule;
}

Result<const OutColumn*> column_of(PyObject* self) {
  auto* object = reinterpret_cast<ColumnObject*>(self);
  if (object->column == nullptr || !*object->column)
    return fail(Error::type_error("this Column holds no result"));
  return object->column->get();
}

// The optional requested_schema argument of the two capsule methods; a
// result is always exported in its own type.
Status no_more_than_schema(PyObject* args, PyObject* kwargs, const char* name) {
  static const char* keywords[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;
  std::string format = concat("|O:", name);
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords),
                                   &requested))
    return fail_fetched();
  return {};
}

PyObject* column_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_boundary([&]() -> Result<Ref> {
    if (Status ok = no_more_than_schema(args, kwargs, "__arrow_c_stream__"); !ok)
      return fail(std::move(ok).error());
    auto* object = reinterpret_cast<ColumnObject*>(self);
    Result<const OutColumn*> column = column_of(self);
    if (!column) return fail(std::move(column).error());
    auto stream = std::make_unique<ArrowArrayStream>();
    stream->release = nullptr;
    export_stream(*object->column, stream.get());
    Ref capsule =
        capsule_of(std::move(stream), kStreamName, &free_capsule<ArrowArrayStream, kStreamName>);
    if (!capsule) return fail_fetched();
    return capsule;
  });
}

PyObject* column_array(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_boundary([&]() -> Result<Ref> {
    if (Status ok = no_more_than_schema(args, kwargs, "__arrow_c_array__"); !ok)
      return fail(std::move(ok).error());
    Result<const OutColumn*> column = column_of(self);
    if (!column) return fail(std::move(column).error());
    const OutColumn& c = **column;
    // (a stream of no chunk, as one of empty chunks, gives an empty array)
    const std::shared_ptr<const OutChunk> only =
        c.chunks.empty() ? std::make_shared<const OutChunk>(empty_chunk(c.type)) : nullptr;
    if (c.chunks.size() > 1) {
      return fail(Error::value_error(concat("the result has ", std::to_string(c.chunks.size()),
                                            " chunks; use __arrow_c_stream__")));
    }
    auto schema = std::make_unique<ArrowSchema>();
    export_schema(c.type, schema.get());
    Ref schema_capsule =
        capsule_of(std::move(schema), kSchemaName, &free_capsule<ArrowSchema, kSchemaName>);
    if (!schema_capsule) return fail_fetched();
    auto array = std::make_unique<ArrowArray>();
    export_array(only ? only : c.chunks.front(), array.get());
    Ref array_capsule =
        capsule_of(std::move(array), kArrayName, &free_capsule<ArrowArray, kArrayName>);
    if (!array_capsule) return fail_fetched();
    Ref pair = created(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0, schema_capsule.release());
    PyTuple_SET_ITEM(pair.get(), 1, array_capsule.release());
    return pair;
  });
}

// One Python object per cell, for to_pylist.
Ref cell_object(const OutChunk& chunk, std::int64_t row) {
  if (chunk.null_count > 0) {
    const auto* bits = chunk.validity.as<std::uint8_t>();
    if (((bits[row >> 3] >> (row & 7)) & 1) == 0) return new_none();
  }
  switch (chunk.type) {
    case OutType::Float64:
      return new_float(chunk.values.as<double>()[row]);
    case OutType::Int64:
      return new_int(chunk.values.as<std::int64_t>()[row]);
    case OutType::Utf8: {
      const auto* o = chunk.values.as<std::int32_t>();
      return new_text(
          {chunk.data.front().data() + o[row], static_cast<std::size_t>(o[row + 1] - o[row])});
    }
    case OutType::LargeUtf8: {
      const auto* o = chunk.values.as<std::int64_t>();
      return new_text(
          {chunk.data.front().data() + o[row], static_cast<std::size_t>(o[row + 1] - o[row])});
    }
    default: {
      StringView view;
      std::memcpy(&view, chunk.values.data() + 16 * row, sizeof(view));
      if (view.length <= kInlineViewBytes)
        return new_text({view.inlined, static_cast<std::size_t>(view.length)});
      return new_text(
          {chunk.data[static_cast<std::size_t>(view.ref.buffer_index)].data() + view.ref.offset,
           static_cast<std::size_t>(view.length)});
    }
  }
}

PyObject* column_to_pylist(PyObject* self, PyObject* /*unused*/) {
  return call_boundary([&]() -> Result<Ref> {
    Result<const OutColumn*> column = column_of(self);
    if (!column) return fail(std::move(column).error());
    std::vector<Ref> items;
    items.reserve(static_cast<std::size_t>((*column)->length));
    SignalStride<> stride;
    for (const auto& chunk : (*column)->chunks) {
      for (std::int64_t row = 0; row < chunk->length; ++row) {
        items.push_back(cell_object(*chunk, row));
        if (Status ok = stride.step(); !ok) return fail(std::move(ok).error());
      }
    }
    return list_of(items);
  });
}

PyObject* column_num_chunks(PyObject* self, void* /*unused*/) {
  return call_boundary([&]() -> Result<Ref> {
    Result<const OutColumn*> column = column_of(self);
    if (!column) return fail(std::move(column).error());
    return new_int(static_cast<std::int64_t>((*column)->chunks.size()));
  });
}

PyObject* column_type(PyObject* self, void* /*unused*/) {
  return call_boundary([&]() -> Result<Ref> {
    Result<const OutColumn*> column = column_of(self);
    if (!column) return fail(std::move(column).error());
    return new_text(format_of((*column)->type));
  });
}

Py_ssize_t column_length(PyObject* self) {
  auto* object = reinterpret_cast<ColumnObject*>(self);
  if (object->column == nullptr || !*object->column) return 0;
  return static_cast<Py_ssize_t>((*object->column)->length);
}

PyObject* column_repr(PyObject* self) {
  return call_boundary([&]() -> Result<Ref> {
    Result<const OutColumn*> column = column_of(self);
    if (!column) return new_text("<vesk._columns.Column (empty)>");
    return new_text(concat("<vesk._columns.Column type='", format_of((*column)->type),
                           "' rows=", std::to_string((*column)->length),
                           " chunks=", std::to_string((*column)->chunks.size()), ">"));
  });
}

void column_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<ColumnObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  delete object->column;
  object->column = nullptr;
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef column_methods[] = {
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&column_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__(requested_schema=None)\n--\n\n"
     "A PyCapsule 'arrow_array_stream' over the result chunks."},
    {"__arrow_c_array__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&column_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__(requested_schema=None)\n--\n\n"
     "PyCapsules ('arrow_schema', 'arrow_array') of a result of exactly one chunk."},
    {"to_pylist", &column_to_pylist, METH_NOARGS,
     "to_pylist()\n--\n\nThe cells as Python objects, None for a missing cell."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef column_getset[] = {
    {"num_chunks", &column_num_chunks, nullptr, "The number of result chunks.", nullptr},
    {"type", &column_type, nullptr,
     "The Arrow format string of the result: 'g' (float64), 'l' (int64), 'u', 'U' or 'vu'.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot column_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&column_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&column_repr)},
    {Py_tp_methods, column_methods},
    {Py_tp_getset, column_getset},
    {Py_sq_length, reinterpret_cast<void*>(&column_length)},
    {Py_tp_doc,
     const_cast<char*>("A result column in Arrow memory (the Arrow PyCapsule interface).")},
    {0, nullptr},
};

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned long kColumnFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned long kColumnFlags = Py_TPFLAGS_DEFAULT;
#endif

PyType_Spec column_spec = {
    "vesk._columns.Column", sizeof(ColumnObject), 0, kColumnFlags, column_slots,
};

}  // namespace

Result<Ref> make_column_type(PyObject* module) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &column_spec, nullptr));
  if (!type) return fail_fetched();
  return type;
}

Result<Ref> new_column(PyObject* type, std::shared_ptr<const OutColumn> column) {
  auto holder = std::make_unique<std::shared_ptr<const OutColumn>>(std::move(column));
  auto* typed = reinterpret_cast<PyTypeObject*>(type);
  Ref object = Ref::steal(typed->tp_alloc(typed, 0));
  if (!object) return fail_fetched();
  reinterpret_cast<ColumnObject*>(object.get())->column = holder.release();
  return object;
}

}  // namespace vesk::columns
