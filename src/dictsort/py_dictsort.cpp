// multikeysort: argument conversion, the choice of row layout and sort, and
// the hand-over to the extraction (rows.hpp), the key sort (sort_by_keys.hpp)
// or the general sort, and to the delivery of the result.
#include "dictsort/py_dictsort.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>
#include <vector>

#include "binding/from_python.hpp"
#include "binding/to_python.hpp"
#include "dictsort/py_rows.hpp"
#include "dictsort/py_sort_by_keys.hpp"
#include "dictsort/py_sort_values.hpp"
#include "dictsort/stable_sort.hpp"

namespace vesk::dictsort {
namespace {

// Signal checks: every this many comparisons of the general sort.
constexpr unsigned kComparisonStride = 1 << 14;

// The general sort: row_precedes, with a signal check every so many
// comparisons. A KeyboardInterrupt thrown out of the comparator leaves the
// rows in an unspecified order; they are then dropped and the list untouched.
template <class T, class Precedes>
void general_sort(std::span<T> rows, Precedes precedes) {
  SignalStride<kComparisonStride> signals;
  stable_sort(rows, [&](const T& a, const T& b) {
    signals.step_or_throw();
    return precedes(a, b);
  });
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
  const ColumnKeys keys(columns);
  ValueStore store;
  std::vector<Ref> held;
  const auto size = static_cast<std::size_t>(count);
  std::vector<SortRecord<Width>> records(size);
  Status extracted = extract_rows(items, count, keys, columns.size(), inplace ? nullptr : &held,
                                  [&](std::size_t k, PyObject* item) {
                                    extract_row(item, columns, keys, store, records[k].values);
                                    records[k].position = static_cast<std::uint32_t>(k);
                                  });
  if (!extracted) return fail(std::move(extracted).error());
  if (size > kInsertionSortLimit) {
    auto order = sort_by_keys(size, columns, [&](std::size_t k, std::size_t i) -> const SortValue& {
      return records[k].values[i];
    });
    if (order)
      return deliver(items, count, inplace, held, [&](std::size_t k) { return (*order)[k]; });
  }
  general_sort(std::span(records), [&](const SortRecord<Width>& a, const SortRecord<Width>& b) {
    return row_precedes(columns, std::span<const SortValue, Width>(a.values),
                        std::span<const SortValue, Width>(b.values));
  });
  return deliver(items, count, inplace, held, [&](std::size_t k) { return records[k].position; });
}

// Any number of columns: one table of values, and the sort moves row indices.
template <class Index>
Result<Ref> sort_indices(PyObject* items, Py_ssize_t count, std::span<const SortColumn> columns,
                         bool inplace) {
  const ColumnKeys keys(columns);
  const std::size_t width = columns.size();
  const auto size = static_cast<std::size_t>(count);
  ValueStore store;
  std::vector<Ref> held;
  std::vector<SortValue> values(size * width);
  const auto row = [&](std::size_t k) { return std::span(values.data() + k * width, width); };
  Status extracted = extract_rows(
      items, count, keys, columns.size(), inplace ? nullptr : &held,
      [&](std::size_t k, PyObject* item) { extract_row(item, columns, keys, store, row(k)); });
  if (!extracted) return fail(std::move(extracted).error());
  if (size > kInsertionSortLimit && sizeof(Index) <= sizeof(std::uint32_t)) {
    auto order = sort_by_keys(size, columns, [&](std::size_t k, std::size_t i) -> const SortValue& {
      return values[k * width + i];
    });
    if (order)
      return deliver(items, count, inplace, held, [&](std::size_t k) { return (*order)[k]; });
  }
  std::vector<Index> order(size);
  std::iota(order.begin(), order.end(), Index{0});
  general_sort(std::span(order), [&](Index a, Index b) {
    return row_precedes(columns, std::span<const SortValue>(row(a)),
                        std::span<const SortValue>(row(b)));
  });
  return deliver(items, count, inplace, held, [&](std::size_t k) { return order[k]; });
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
    return list_of(held);
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
