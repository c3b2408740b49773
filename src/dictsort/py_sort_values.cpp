#include "dictsort/py_sort_values.hpp"

#include <string_view>

#include "binding/critical.hpp"
#include "binding/from_python.hpp"
#include "binding/to_python.hpp"

namespace vesk::dictsort {
namespace {

// Runs pending signal handlers before a lookup, conversion or comparison whose
// errors are discarded: a handler run inside that Python code would have its
// exception taken for the operation's own failure and dropped. Run here, what
// it raises ends the call. (Cheap: a flag test while no signal is pending.)
void handle_signals_first() {
  if (Status status = check_signals(); !status) throw Propagated(std::move(status).error());
}

// Whether the integer or float conversion of the interpreter could accept an
// object of this type, or run Python code while trying. A type without any of
// these slots is refused by both without running anything, so the refusals
// (two exceptions made and discarded per value) can be skipped.
bool may_convert_to_number(PyObject* value) {
  if (PyLong_Check(value) || PyFloat_Check(value)) return true;
  const PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
  return number && (number->nb_index || number->nb_int || number->nb_float);
}

// The last two kinds: Text when the value has a UTF-8 form, else Object.
SortValue text_or_object(Ref value, ValueStore& store) {
  if (PyUnicode_Check(value.get())) {
    // A failure (lone surrogates) is discarded; `value` stays held across it.
    Result<std::string_view> text = to_text_view(value.get());
    if (text) return SortValue::text(store.texts.store(*text));
    discard(std::move(text).error());
  }
  const SortValue object = SortValue::object(value.get());
  store.objects.push_back(std::move(value));
  return object;
}

// The conversions, in the order that decides which kind a value lands in:
// integer, exact float, float conversion, text, object.
SortValue convert_value(Ref value, ValueStore& store) {
  PyObject* const v = value.get();
  if (v == Py_None) return SortValue::missing();

  // The common exact types answer without the detour through refused
  // conversions; the kinds they land in are the same.
  if (PyLong_CheckExact(v) || PyBool_Check(v)) {
    int overflow = 0;
    const long long integer = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0) return SortValue::integer(integer);
    // Too large for 64 bits: the nearest double, if there is one.
    const double number = PyLong_AsDouble(v);
    if (number != -1.0 || !PyErr_Occurred()) return SortValue::number(number);
    discard_pending_exception();
    return text_or_object(std::move(value), store);
  }
  if (PyFloat_CheckExact(v)) return SortValue::number(PyFloat_AS_DOUBLE(v));
  if (PyUnicode_CheckExact(v) || !may_convert_to_number(v)) {
    return text_or_object(std::move(value), store);
  }

  handle_signals_first();
  const long long integer = PyLong_AsLongLong(v);  // long is 32 bits on Windows
  if (integer != -1 || !PyErr_Occurred()) return SortValue::integer(integer);
  discard_pending_exception();
  if (PyFloat_CheckExact(v)) return SortValue::number(PyFloat_AS_DOUBLE(v));
  handle_signals_first();
  const double number = PyFloat_AsDouble(v);
  if (number != -1.0 || !PyErr_Occurred()) return SortValue::number(number);
  discard_pending_exception();
  return text_or_object(std::move(value), store);
}

// A value as a Python object for a comparison through Python (new reference).
Ref to_python(const SortValue& value) {
  switch (value.kind()) {
    case ValueKind::Int:
      return new_int(value.as_integer());
    case ValueKind::Float:
      return new_float(value.as_number());
    case ValueKind::Text:
      return new_text(value.as_text());
    case ValueKind::Object:
      return Ref::borrow(value.as_object());
    case ValueKind::Missing:
      break;
  }
  internal_failure("a missing sort value has no Python object");
}

enum class Truth : std::uint8_t { No, Yes, Raised };

// bool(x <op> y), with any exception discarded.
Truth python_test(PyObject* x, PyObject* y, int op) {
  handle_signals_first();
  Ref result = Ref::steal(PyObject_RichCompare(x, y, op));
  if (!result) {
    discard_pending_exception();
    return Truth::Raised;
  }
  if (!PyBool_Check(result.get())) handle_signals_first();
  const int truth = PyObject_IsTrue(result.get());
  if (truth < 0) {
    discard_pending_exception();
    return Truth::Raised;
  }
  return truth ? Truth::Yes : Truth::No;
}

}  // namespace

ColumnKeys::ColumnKeys(std::span<const SortColumn> columns) {
  keys_.reserve(columns.size());
  for (const SortColumn& column : columns) keys_.push_back(new_text(column.name));
}

void extract_row(PyObject* item, std::span<const SortColumn> columns, const ColumnKeys& keys,
                 ValueStore& store, std::span<SortValue> row) {
  for (std::size_t i = 0; i < columns.size(); ++i) {
    row[i] = extract_sort_value(item, columns[i].name, keys[i], store);
  }
}

std::vector<SortColumn> parse_sort_columns(PyObject* columns) {
  std::vector<SortColumn> parsed;
  if (columns == Py_None) return parsed;
  if (PyUnicode_Check(columns)) {
    // A str without a UTF-8 form gives no column: as a sequence it would be
    // refused too.
    Result<std::string_view> text = to_text_view(columns);
    if (text) {
      parsed.push_back(make_sort_column(*text));
    } else {
      discard(std::move(text).error());
    }
    return parsed;
  }
  if (PyList_Check(columns)) {
    // A failed conversion creates and releases an exception, and with it can
    // run Python code (a collection, finalizers) that changes the list: each
    // element is held while it is converted, and both lengths bound the walk.
    const Py_ssize_t initial = PyList_GET_SIZE(columns);
    for (Py_ssize_t i = 0; i < initial; ++i) {
      const Ref element = list_item_or_null(columns, i);
      if (!element) break;
      if (!PyUnicode_Check(element.get())) continue;
      Result<std::string_view> text = to_text_view(element.get());
      if (text) {
        parsed.push_back(make_sort_column(*text));
      } else {
        discard(std::move(text).error());
      }
    }
    return parsed;
  }
  // All or nothing; the error of a refused sequence is discarded.
  handle_signals_first();
  Result<std::vector<std::string>> texts = to_text_sequence(columns);
  if (!texts) {
    discard(std::move(texts).error());
    return parsed;
  }
  parsed.reserve(texts->size());
  for (const std::string& text : *texts) parsed.push_back(make_sort_column(text));
  return parsed;
}

namespace {

// Calls `visit(key)` for every str key of `dict`, the key held across the
// call. Walking a dict runs no Python code, but `visit` may (converting a key
// without a UTF-8 form creates and drops an exception, which can start a
// collection whose finalizers change the dict): the walk then goes on over
// whatever the held dict holds by then. On a free-threaded build another
// thread may change the dict at any moment, so its str keys are first taken,
// each held, under its critical section (into `scratch`), and visited after.
template <class Visit>
void for_each_text_key(PyObject* dict, std::vector<Ref>& scratch, Visit visit) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  if constexpr (kFreeThreaded) {
    scratch.clear();
    {
      const Locked locked(dict);
      while (PyDict_Next(dict, &position, &key, &value)) {
        if (PyUnicode_Check(key)) scratch.push_back(Ref::borrow(key));
      }
    }
    for (const Ref& held : scratch) visit(held.get());
  } else {
    while (PyDict_Next(dict, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) continue;
      const Ref held = Ref::borrow(key);
      visit(held.get());
    }
  }
}

}  // namespace

KeySet collect_present_keys(PyObject* items, std::span<const SortColumn> columns) {
  std::unordered_set<std::string_view> wanted;
  for (const SortColumn& column : columns) wanted.insert(column.name);
  KeySet present;
  // The item and its keys are held while keys are converted (see
  // for_each_text_key), and both lengths bound the scan. It stops as soon as
  // every name has been seen.
  SignalStride<> signals;
  std::vector<Ref> scratch;
  const Py_ssize_t initial = PyList_GET_SIZE(items);
  for (Py_ssize_t i = 0; i < initial; ++i) {
    if (present.size() == wanted.size()) break;
    signals.step_or_throw();
    // (A signal handler, or another thread, may have shrunk the list.)
    const Ref item = list_item_or_null(items, i);
    if (!item) break;
    if (!PyDict_Check(item.get())) continue;
    for_each_text_key(item.get(), scratch, [&](PyObject* key) {
      Result<std::string_view> text = to_text_view(key);
      if (!text) {
        discard(std::move(text).error());
        return;
      }
      if (wanted.contains(*text)) present.emplace(*text);
    });
  }
  return present;
}

std::vector<SortColumn> filter_columns(std::vector<SortColumn> columns, const KeySet& keys) {
  std::erase_if(columns, [&](const SortColumn& column) { return !keys.contains(column.name); });
  return columns;
}

SortValue extract_sort_value(PyObject* item, std::string_view name, PyObject* shared_key,
                             ValueStore& store) {
  Ref value;
  if (PyDict_CheckExact(item)) {
    // A plain dict cannot tell one equal str key from another, and has no
    // lookup hook for a missing key: the column's own key object serves every
    // row, and an absent key is Missing without an exception being made. The
    // value is held at once (nothing runs between the lookup and the hold).
    handle_signals_first();
    const int found = dict_lookup(item, shared_key, value);
    if (found < 0) discard_pending_exception();
    if (found <= 0) return SortValue::missing();
  } else {
    // Anything else may see the key: a fresh one for every lookup, released
    // before the value is looked at.
    Ref key = new_text(name);
    handle_signals_first();
    value = Ref::steal(PyObject_GetItem(item, key.get()));
    key.reset();
    if (!value) {
      // Missing key, unsubscriptable item or a failing custom lookup alike.
      discard_pending_exception();
      return SortValue::missing();
    }
  }
  return convert_value(std::move(value), store);
}

Ordering compare_python_values(PyObject* x, PyObject* y) {
  switch (python_test(x, y, Py_LT)) {
    case Truth::Yes:
      return Ordering::Less;
    case Truth::Raised:
      return Ordering::Equal;
    case Truth::No:
      break;
  }
  return python_test(x, y, Py_GT) == Truth::Yes ? Ordering::Greater : Ordering::Equal;
}

Ordering compare_through_python(const SortValue& a, const SortValue& b) {
  const Ref x = to_python(a);
  const Ref y = to_python(b);
  return compare_python_values(x.get(), y.get());
}

}  // namespace vesk::dictsort
