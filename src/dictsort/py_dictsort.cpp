// multikeysort: argument conversion, extraction of every row's values, the
// sort, and the delivery of the result as a new list or in place.
#include "dictsort/py_dictsort.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>
#include <vector>

#include "binding/build.hpp"
#include "binding/convert.hpp"
#include "dictsort/py_sort_values.hpp"
#include "dictsort/stable_sort.hpp"

namespace vesk::dictsort {
namespace {

constexpr Py_ssize_t kPrefetchDistance = 16;

// The items of `list` in their present order, each with a new reference.
// Taken before any object is created or any slot is stored, since either can
// run Python code (a garbage collection, a destructor) that changes the list.
std::vector<Ref> hold_items(PyObject* list) {
  std::vector<Ref> held;
  const Py_ssize_t initial = PyList_GET_SIZE(list);
  held.reserve(static_cast<std::size_t>(initial));
  for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(list); ++i) {
    // As in prefetch_lookups: let the misses of several increments overlap.
    if (i + kPrefetchDistance < PyList_GET_SIZE(list)) {
      __builtin_prefetch(PyList_GET_ITEM(list, i + kPrefetchDistance), 1);
    }
    held.push_back(Ref::borrow(PyList_GET_ITEM(list, i)));
  }
  return held;
}

// A new list holding `items` in order (their references move into it).
Ref new_list_of(std::vector<Ref>& items) {
  Ref list = new_list(static_cast<Py_ssize_t>(items.size()));
  for (std::size_t k = 0; k < items.size(); ++k) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), items[k].release());
  }
  return list;
}

// The items of a large list are scattered in memory, and each lookup waits
// first for the dict and then for its key table. Asking for both well ahead
// (a hint only: nothing is read that the lookup would not read) lets the
// cache misses of several items overlap.
void prefetch_lookups(PyObject* items, Py_ssize_t k) {
  const Py_ssize_t size = PyList_GET_SIZE(items);
  if (k + kPrefetchDistance < size) {
    __builtin_prefetch(PyList_GET_ITEM(items, k + kPrefetchDistance), 1);
  }
  if (k + kPrefetchDistance / 2 < size) {
    PyObject* const nearer = PyList_GET_ITEM(items, k + kPrefetchDistance / 2);
    if (PyDict_CheckExact(nearer)) {
      __builtin_prefetch(reinterpret_cast<PyDictObject*>(nearer)->ma_keys);
    }
  }
}

// Extracts the values of every item, `emit(k, item)` storing the row of the
// item at position k. Lookups can run Python code that shrinks the list,
// hence the checked fetch: the interpreter's IndexError ends the call.
template <class Emit>
Status extract_rows(PyObject* items, Py_ssize_t count, Emit emit) {
  for (Py_ssize_t k = 0; k < count; ++k) {
    prefetch_lookups(items, k);
    PyObject* const borrowed = PyList_GetItem(items, k);
    if (!borrowed) return fail_fetched();
    const Ref item = Ref::borrow(borrowed);
    emit(static_cast<std::size_t>(k), item.get());
  }
  return {};
}

// Hands the sorted items over, `position_at(k)` being the list position of the
// row sorted to place k. The objects taken are those in the list now, after
// the sort: a change that kept the length goes unnoticed. They are held in
// list order and then permuted, since touching every object in sorted order
// would cost a cache miss per item.
template <class PositionAt>
Result<Ref> deliver(PyObject* items, Py_ssize_t count, bool inplace, PositionAt position_at) {
  if (PyList_GET_SIZE(items) != count) return fail(Error::value_error("list modified during sort"));
  std::vector<Ref> current = hold_items(items);
  const auto take = [&](std::size_t k) {
    PyObject* item = current[position_at(k)].release();
    if (!item) internal_failure("sorted positions are not a permutation");
    return item;
  };
  const auto size = static_cast<std::size_t>(count);
  if (!inplace) {
    Ref list = new_list(count);
    for (std::size_t k = 0; k < size; ++k) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), take(k));
    }
    return list;
  }
  // Each store releases the slot's old object, which can run Python code;
  // PyList_SetItem checks the index and takes the reference even on failure.
  for (std::size_t k = 0; k < size; ++k) {
    if (PyList_SetItem(items, static_cast<Py_ssize_t>(k), take(k)) < 0) return fail_fetched();
  }
  return new_none();
}

// A row with its values inline, used when there are few columns: sorting moves
// these small records, and a comparison reads both rows' values from the
// records themselves instead of chasing indices into a table.
template <std::size_t Width>
struct SortRecord {
  std::array<SortValue, Width> values;
  std::uint32_t position;
};

template <std::size_t Width>
Result<Ref> sort_records(PyObject* items, Py_ssize_t count, std::span<const SortColumn> columns,
                         bool inplace) {
  ValueStore store;
  std::vector<SortRecord<Width>> records(static_cast<std::size_t>(count));
  Status extracted = extract_rows(items, count, [&](std::size_t k, PyObject* item) {
    extract_row(item, columns, store, records[k].values);
    records[k].position = static_cast<std::uint32_t>(k);
  });
  if (!extracted) return fail(std::move(extracted).error());
  stable_sort(std::span(records), [&](const SortRecord<Width>& a, const SortRecord<Width>& b) {
    return row_precedes(columns, std::span<const SortValue, Width>(a.values),
                        std::span<const SortValue, Width>(b.values));
  });
  return deliver(items, count, inplace, [&](std::size_t k) { return records[k].position; });
}

// Any number of columns: one table of values, and the sort moves row indices.
template <class Index>
Result<Ref> sort_indices(PyObject* items, Py_ssize_t count, std::span<const SortColumn> columns,
                         bool inplace) {
  const std::size_t width = columns.size();
  ValueStore store;
  std::vector<SortValue> values(static_cast<std::size_t>(count) * width);
  const auto row = [&](std::size_t k) { return std::span(values.data() + k * width, width); };
  Status extracted = extract_rows(items, count, [&](std::size_t k, PyObject* item) {
    extract_row(item, columns, store, row(k));
  });
  if (!extracted) return fail(std::move(extracted).error());
  std::vector<Index> order(static_cast<std::size_t>(count));
  std::iota(order.begin(), order.end(), Index{0});
  stable_sort(std::span(order), [&](Index a, Index b) {
    return row_precedes(columns, std::span<const SortValue>(row(a)),
                        std::span<const SortValue>(row(b)));
  });
  return deliver(items, count, inplace, [&](std::size_t k) { return order[k]; });
}

}  // namespace

Result<Ref> multikeysort_body(BoundArgs& args) {
  Result<PyObject*> checked = argument("items", check_list(args[0]));
  if (!checked) return fail(std::move(checked).error());
  PyObject* const items = *checked;
  bool inplace = false;
  if (args[2]) {
    Result<bool> flag = argument("inplace", to_flag(args[2]));
    if (!flag) return fail(std::move(flag).error());
    inplace = *flag;
  }

  std::vector<SortColumn> columns;
  if (args[1] != Py_None) {
    columns = parse_sort_columns(args[1]);
    const KeySet present = collect_present_keys(items, columns);
    columns = filter_columns(std::move(columns), present);
  }
  if (columns.empty()) {
    if (inplace) return new_none();
    std::vector<Ref> held = hold_items(items);
    return new_list_of(held);
  }

  // Every item is looked up once per column, before the sort; the sort itself
  // makes no lookups.
  const Py_ssize_t count = PyList_GET_SIZE(items);
  if (static_cast<std::size_t>(count) > std::numeric_limits<std::uint32_t>::max()) {
    return sort_indices<std::size_t>(items, count, columns, inplace);
  }
  switch (columns.size()) {
    case 1:
      return sort_records<1>(items, count, columns, inplace);
    case 2:
      return sort_records<2>(items, count, columns, inplace);
    case 3:
      return sort_records<3>(items, count, columns, inplace);
    default:
      return sort_indices<std::uint32_t>(items, count, columns, inplace);
  }
}

}  // namespace vesk::dictsort
