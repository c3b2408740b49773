// The cells of a list, a tuple or a one-dimensional numpy array of objects,
// gathered as UTF-8 views that stay valid while the interpreter lock is
// released.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include "binding/render.hpp"
#include "binding/to_python.hpp"
#include "columns/py_columns.hpp"

namespace vesk::columns {
namespace {

Error not_a_source(PyObject* source) {
  return Error::type_error(
      concat("source must be an Arrow stream capsule, a pair of Arrow capsules (schema, array), "
             "a list, a tuple or a one-dimensional numpy array of objects, not '",
             Py_TYPE(source)->tp_name, "'"));
}

// A strong reference to `dict[key]`, or null (a dict another thread may
// change is never read through a borrowed item).
Ref dict_item(PyObject* dict, const char* key) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* item = nullptr;
  if (PyDict_GetItemStringRef(dict, key, &item) < 0) discard_pending_exception();
  return Ref::steal(item);
#else
  return Ref::borrow(PyDict_GetItemString(dict, key));
#endif
}

// A tuple of exactly one int, as the array interface gives a shape or strides.
bool single_int(PyObject* tuple, Py_ssize_t& value) {
  if (tuple == nullptr || !PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != 1) return false;
  value = PyLong_AsSsize_t(PyTuple_GET_ITEM(tuple, 0));
  if (value == -1 && PyErr_Occurred()) {
    discard_pending_exception();
    return false;
  }
  return true;
}

// Where a numpy array of objects keeps its items.
struct Layout {
  const char* base = nullptr;
  Py_ssize_t stride = static_cast<Py_ssize_t>(sizeof(PyObject*));
  Py_ssize_t length = 0;
};

// The layout of `source` when it is a numpy array of objects of one
// dimension: the array's own type exactly (numpy loaded), whose array
// interface is numpy's and tells the truth about its memory.
Status layout_of(PyObject* source, Layout& layout) {
  Ref numpy = Ref::steal(PyImport_GetModule(new_text("numpy").get()));
  if (!numpy) {
    if (PyErr_Occurred()) return fail_fetched();
    return fail(not_a_source(source));
  }
  Ref ndarray = Ref::steal(PyObject_GetAttrString(numpy.get(), "ndarray"));
  if (!ndarray) return fail_fetched();
  if (reinterpret_cast<PyObject*>(Py_TYPE(source)) != ndarray.get())
    return fail(not_a_source(source));
  Ref interface = Ref::steal(PyObject_GetAttrString(source, "__array_interface__"));
  if (!interface) return fail_fetched();
  if (!PyDict_Check(interface.get())) return fail(not_a_source(source));
  Ref typestr = dict_item(interface.get(), "typestr");
  Ref shape = dict_item(interface.get(), "shape");
  Ref strides = dict_item(interface.get(), "strides");
  Ref data = dict_item(interface.get(), "data");
  const bool objects = typestr && PyUnicode_Check(typestr.get()) &&
                       PyUnicode_CompareWithASCIIString(typestr.get(), "|O") == 0;
  if (!objects || !single_int(shape.get(), layout.length) || layout.length < 0 ||
      (strides && strides.get() != Py_None && !single_int(strides.get(), layout.stride)) || !data ||
      !PyTuple_Check(data.get()) || PyTuple_GET_SIZE(data.get()) < 1) {
    return fail(Error::type_error("expected a one-dimensional numpy array of objects"));
  }
  layout.base = static_cast<const char*>(PyLong_AsVoidPtr(PyTuple_GET_ITEM(data.get(), 0)));
  if (layout.base == nullptr && PyErr_Occurred()) return fail_fetched();
  if (layout.base == nullptr && layout.length > 0) return fail(not_a_source(source));
  return {};
}

// The cells of a list or tuple: the tuple holds them all.
class TupleItems {
 public:
  explicit TupleItems(PyObject* tuple) noexcept : tuple_(tuple) {}
  [[nodiscard]] Py_ssize_t length() const noexcept { return PyTuple_GET_SIZE(tuple_); }
  PyObject* take(Py_ssize_t i) noexcept { return PyTuple_GET_ITEM(tuple_, i); }
  [[nodiscard]] PyObject* at(Py_ssize_t i) const noexcept { return PyTuple_GET_ITEM(tuple_, i); }
  static Status after_python() { return {}; }

 private:
  PyObject* tuple_;
};

// The cells of a numpy array of objects, each held as it is read (in the same
// pass that looks at it: its header is then in the cache). Between two
// points where Python code may run (a signal handler, which could assign to
// the array or resize it), nothing runs but these reads; after one, the
// array's memory is looked up again. (On a free-threaded build numpy guards
// an array against nobody: a thread that writes into it meanwhile races
// numpy's own readers just the same.)
class ArrayItems {
 public:
  ArrayItems(PyObject* array, const Layout& layout, std::vector<Ref>& held)
      : array_(array), layout_(layout), held_(held) {
    held_.reserve(static_cast<std::size_t>(layout.length));
  }
  [[nodiscard]] Py_ssize_t length() const noexcept { return layout_.length; }
  PyObject* take(Py_ssize_t i) noexcept {
    PyObject* item;
    std::memcpy(&item, layout_.base + i * layout_.stride, sizeof(item));
    held_.push_back(Ref::borrow(item == nullptr ? Py_None : item));  // (null reads as None)
    return held_.back().get();
  }
  [[nodiscard]] PyObject* at(Py_ssize_t i) const noexcept {
    return held_[static_cast<std::size_t>(i)].get();
  }
  Status after_python() {
    Layout now;
    if (Status ok = layout_of(array_, now); !ok) return ok;
    if (now.length != layout_.length) {
      return fail(Error::runtime_error("the numpy array changed size during the call"));
    }
    layout_ = now;
    return {};
  }

 private:
  PyObject* array_;
  Layout layout_;
  std::vector<Ref>& held_;
};

// Adds the size of the UTF-8 form of code units [from, to) to `size`; false
// when one is a surrogate (which UTF-8 cannot hold).
template <class Unit>
bool add_utf8_size(const Unit* units, Py_ssize_t from, Py_ssize_t to, std::size_t& size) {
  std::size_t bytes = 0;
  for (Py_ssize_t k = from; k < to; ++k) {
    const auto cp = static_cast<std::uint32_t>(units[k]);
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    bytes += 1 + (cp >= 0x80) + (cp >= 0x800) + (cp >= 0x10000);
  }
  size += bytes;
  return true;
}

// Writes the UTF-8 form of code units [from, to) at `out`; gives its end.
template <class Unit>
char* encode_utf8(const Unit* units, Py_ssize_t from, Py_ssize_t to, char* out) {
  for (Py_ssize_t k = from; k < to; ++k) {
    const auto cp = static_cast<std::uint32_t>(units[k]);
    if (cp < 0x80) {
      *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out++ = static_cast<char>(0xC0 | (cp >> 6));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out++ = static_cast<char>(0xE0 | (cp >> 12));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out++ = static_cast<char>(0xF0 | (cp >> 18));
      *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// Calls step(from, to) over the code units of a text of `count` in
// stretches, looking for Ctrl-C between them: a long text takes a while to
// encode. Stops at the first step that gives false (and gives false).
template <class Step>
Result<bool> in_stretches(Py_ssize_t count, Step&& step) {
  constexpr auto kStretch = static_cast<Py_ssize_t>(kPollBytes);
  for (Py_ssize_t at = 0; at < count; at += kStretch) {
    if (at > 0) {
      if (Status ok = check_signals(); !ok) return fail(std::move(ok).error());
    }
    if (!step(at, std::min(count, at + kStretch))) return false;
  }
  return true;
}

// Calls visit(units) with the str's code units as pointers of their width.
template <class Visit>
auto with_units(PyObject* text, Visit&& visit) {
  const void* data = PyUnicode_DATA(text);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      return visit(static_cast<const Py_UCS1*>(data));
    case PyUnicode_2BYTE_KIND:
      return visit(static_cast<const Py_UCS2*>(data));
    default:
      return visit(static_cast<const Py_UCS4*>(data));
  }
}

// The interpreter's own UnicodeEncodeError for a str holding a lone
// surrogate, its reason naming the row.
Error surrogate_error(PyObject* text, Py_ssize_t row) {
  Ref encoded = Ref::steal(PyUnicode_AsUTF8String(text));
  if (encoded) return Error::value_error(concat("row ", std::to_string(row), ": not encodable"));
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Error::fetch();
  Error original = Error::fetch();
  Ref error = original.instance();
  Py_ssize_t start = 0;
  Py_ssize_t end = 0;
  Ref reason = Ref::steal(PyUnicodeEncodeError_GetReason(error.get()));
  if (!reason || PyUnicodeEncodeError_GetStart(error.get(), &start) < 0 ||
      PyUnicodeEncodeError_GetEnd(error.get(), &end) < 0) {
    discard_pending_exception();
    return original;
  }
  const std::string named = concat(lossy_utf8(reason.get()), " (row ", std::to_string(row), ")");
  Ref renamed = Ref::steal(PyObject_CallFunction(PyExc_UnicodeEncodeError, "sOnns", "utf-8", text,
                                                 start, end, named.c_str()));
  if (!renamed) return Error::fetch();
  PyErr_SetObject(PyExc_UnicodeEncodeError, renamed.get());
  return Error::fetch();
}

// Classifies every cell (item_at(i) is held by the input): an ASCII str is
// viewed in place, a non-ASCII one encoded afterwards into input.encoded,
// a missing one marked, anything else an error (or, with errors="null", a
// missing cell).
template <class Items>
Status classify(Items& items, const Options& options, CellsInput& input) {
  const Py_ssize_t length = items.length();
  input.cells.resize(static_cast<std::size_t>(length));
  input.present.resize(static_cast<std::size_t>(length));
  // The non-ASCII rows: (row, the first row of the same str object). A
  // column that repeats one object is encoded once: a few recent objects are
  // remembered by address (each is held, so no other can take its place).
  struct Encoded {
    std::size_t row;
    std::size_t same_as;
  };
  std::vector<Encoded> encoded_rows;
  std::pair<PyObject*, std::size_t> recent[64] = {};
  std::size_t encoded_bytes = 0;
  SignalStride<> stride;
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyObject* item = items.take(i);
    const auto row = static_cast<std::size_t>(i);
    input.present[row] = 0;
    if (PyUnicode_Check(item)) {
#if PY_VERSION_HEX < 0x030C0000
      if (PyUnicode_READY(item) < 0) return fail_fetched();
#endif
      const Py_ssize_t count = PyUnicode_GET_LENGTH(item);
      auto& seen = recent[(reinterpret_cast<std::uintptr_t>(item) >> 4) % std::size(recent)];
      if (PyUnicode_IS_ASCII(item)) {
        input.cells[row] = {static_cast<const char*>(PyUnicode_DATA(item)),
                            static_cast<std::size_t>(count)};
        input.present[row] = 1;
      } else if (seen.first == item) {
        encoded_rows.push_back({row, seen.second});
        input.present[row] = 1;
      } else {
        std::size_t size = 0;
        Result<bool> encodable = in_stretches(count, [&](Py_ssize_t from, Py_ssize_t to) {
          return with_units(item, [&](const auto* u) { return add_utf8_size(u, from, to, size); });
        });
        if (!encodable) return fail(std::move(encodable).error());
        if (count > static_cast<Py_ssize_t>(kPollBytes)) {
          if (Status ok = items.after_python(); !ok) return ok;
        }
        if (*encodable) {
          input.cells[row] = {nullptr, size};  // placed once the buffer is made
          encoded_rows.push_back({row, row});
          encoded_bytes += size;
          input.present[row] = 1;
          seen = {item, row};
        } else if (!options.errors_null) {
          return fail(surrogate_error(item, i));
        }
      }
    } else if (item == Py_None || item == options.na ||
               (PyFloat_Check(item) && std::isnan(PyFloat_AS_DOUBLE(item)))) {
      // missing
    } else if (!options.errors_null) {
      return fail(Error::type_error(
          concat("row ", std::to_string(i), ": ",
                 type_check_message(item, reinterpret_cast<PyObject*>(&PyUnicode_Type)))));
    }
    if (stride.due()) {
      if (Status ok = check_signals(); !ok) return ok;
      if (Status ok = items.after_python(); !ok) return ok;
    }
  }
  // The non-ASCII texts, back to back in one buffer that never moves again.
  // (Every cell is held now: Python code may run from here on.)
  input.encoded = Buffer::sized(encoded_bytes);
  char* out = input.encoded.data();
  for (const Encoded& encoded : encoded_rows) {
    if (encoded.same_as != encoded.row) {
      input.cells[encoded.row] = input.cells[encoded.same_as];
      continue;
    }
    PyObject* item = items.at(static_cast<Py_ssize_t>(encoded.row));
    const Py_ssize_t count = PyUnicode_GET_LENGTH(item);
    char* const start = out;
    Result<bool> written = in_stretches(count, [&](Py_ssize_t from, Py_ssize_t to) {
      out = with_units(item, [&](const auto* u) { return encode_utf8(u, from, to, out); });
      return true;
    });
    if (!written) return fail(std::move(written).error());
    input.cells[encoded.row] = {start, static_cast<std::size_t>(out - start)};
    if (Status ok = stride.step(); !ok) return ok;
  }
  return {};
}

}  // namespace

Status gather_cells(PyObject* source, const Options& options, CellsInput& input) {
  if (PyList_Check(source) || PyTuple_Check(source)) {
    // A list is copied whole first (under its own lock on a free-threaded
    // build): the tuple holds every cell, and nothing can change it.
    input.tuple = PyTuple_Check(source) ? Ref::borrow(source) : Ref::steal(PyList_AsTuple(source));
    if (!input.tuple) return fail_fetched();
    TupleItems items(input.tuple.get());
    return classify(items, options, input);
  }
  Layout layout;
  if (Status ok = layout_of(source, layout); !ok) return ok;
  ArrayItems items(source, layout, input.held);
  return classify(items, options, input);
}

}  // namespace vesk::columns
