// multikeysort: argument conversion, extraction of every row's values, the
// sort, and the delivery of the result as a new list or in place.
#include "dictsort/py_dictsort.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <vector>

#include "binding/build.hpp"
#include "binding/convert.hpp"
#include "dictsort/key_sort.hpp"
#include "dictsort/py_sort_values.hpp"
#include "dictsort/stable_sort.hpp"

namespace vesk::dictsort {
namespace {

// How far ahead of the row being extracted its item is asked for, how far its
// dict's key table and how far its values (see prefetch_lookups).
constexpr Py_ssize_t kItemAhead = 32;
constexpr Py_ssize_t kKeysAhead = 16;
constexpr Py_ssize_t kValueAhead = 8;

// Signal checks: every this many rows of extraction, comparisons of the
// general sort. The key sort checks once per block of elements moved.
constexpr unsigned kRowStride = 2048;
constexpr unsigned kComparisonStride = 1 << 14;

// The items of `list` in their present order, each with a new reference.
// Nothing in the walk can run Python code, so the list cannot change under it.
std::vector<Ref> hold_items(PyObject* list) {
  std::vector<Ref> held;
  const Py_ssize_t initial = PyList_GET_SIZE(list);
  held.reserve(static_cast<std::size_t>(initial));
  for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(list); ++i) {
    // Let the misses of several increments overlap.
    if (i + kItemAhead < PyList_GET_SIZE(list)) {
      __builtin_prefetch(PyList_GET_ITEM(list, i + kItemAhead), 1);
    }
    held.push_back(Ref::borrow(PyList_GET_ITEM(list, i)));
  }
  return held;
}

// A new list holding `items` in order (their references move into it). No
// Python code can run between the list's creation and its last store.
Ref new_list_of(std::vector<Ref>& items) {
  Ref list = new_list(static_cast<Py_ssize_t>(items.size()));
  for (std::size_t k = 0; k < items.size(); ++k) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), items[k].release());
  }
  return list;
}

// The items of a large list are scattered in memory (always so once the list
// has been sorted or shuffled), and each row waits in turn for the dict, its
// key table and each value object. Asking for the dict well ahead, for the
// key table once the dict has arrived, and for the values once the table has
// arrived lets the cache misses of many rows overlap. To find a value early,
// a plain dict is asked for it ahead of time: a lookup in a plain dict by a
// str key reads only what the real lookup will read again, and the answer is
// used as an address hint and nothing else (it is never dereferenced here).
void prefetch_lookups(PyObject* items, Py_ssize_t k, const ColumnKeys& keys, std::size_t width) {
  const Py_ssize_t size = PyList_GET_SIZE(items);
  if (k + kItemAhead < size) __builtin_prefetch(PyList_GET_ITEM(items, k + kItemAhead), 1);
  if (k + kKeysAhead < size) {
    PyObject* const nearer = PyList_GET_ITEM(items, k + kKeysAhead);
    if (PyDict_CheckExact(nearer)) {
      const char* const table =
          reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(nearer)->ma_keys);
      __builtin_prefetch(table);
      __builtin_prefetch(table + 64);
    }
  }
  if (k + kValueAhead < size) {
    PyObject* const nearest = PyList_GET_ITEM(items, k + kValueAhead);
    if (PyDict_CheckExact(nearest)) {
      for (std::size_t i = 0; i < width; ++i) {
        PyObject* const value = PyDict_GetItemWithError(nearest, keys[i]);
        if (value) {
          // A short str's bytes follow its header and may start the next line.
          __builtin_prefetch(value, 1);
          __builtin_prefetch(reinterpret_cast<const char*>(value) + 63);
        } else if (PyErr_Occurred()) {
          // Only a key of another type whose hash and __eq__ clash with the
          // column name can raise here; the real lookup meets it again.
          discard_pending_exception();
          return;
        }
      }
    }
  }
}

// Extracts the values of every item, `emit(k, item)` storing the row of the
// (held) item at position k. Lookups can run Python code that shrinks the
// list, hence the checked fetch: the interpreter's IndexError ends the call.
// With `held`, the references to the items are kept there in list order for
// the delivery, instead of being dropped and taken again.
template <class Emit>
Status extract_rows(PyObject* items, Py_ssize_t count, const ColumnKeys& keys, std::size_t width,
                    std::vector<Ref>* held, Emit emit) {
  SignalStride<kRowStride> signals;
  if (held) held->reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t k = 0; k < count; ++k) {
    if (Status status = signals.step(); !status) return status;
    prefetch_lookups(items, k, keys, width);
    PyObject* const borrowed = PyList_GetItem(items, k);
    if (!borrowed) return fail_fetched();
    Ref item = Ref::borrow(borrowed);
    emit(static_cast<std::size_t>(k), item.get());
    if (held) held->push_back(std::move(item));
  }
  return {};
}

// Sorted positions must be a permutation of 0 .. count - 1 before anything is
// stored; checked without touching any object.
template <class PositionAt>
void check_permutation(std::size_t count, PositionAt position_at) {
  std::vector<bool> seen(count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t position = position_at(k);
    if (position >= count || seen[position]) {
      internal_failure("sorted positions are not a permutation");
    }
    seen[position] = true;
  }
}

// Hands the sorted items over, `position_at(k)` being the list position of the
// row sorted to place k. The objects taken are those in the list now, after
// the sort: a change that kept the length goes unnoticed.
//
// New list: `held` has the references taken at extraction, in list order;
// where the list still holds exactly those objects (the rule), they move into
// the result as they are, so no item is touched again. Otherwise the list's
// present items are taken afresh.
//
// In place: the list's own slots are permuted. The list holds the same
// objects before and after, so no reference count changes, nothing is
// released and no Python code can run between reading the slots and writing
// the last one; no signal is checked in between either.
template <class PositionAt>
Result<Ref> deliver(PyObject* items, Py_ssize_t count, bool inplace, std::vector<Ref>& held,
                    PositionAt position_at) {
  if (PyList_GET_SIZE(items) != count) return fail(Error::value_error("list modified during sort"));
  const auto size = static_cast<std::size_t>(count);
  check_permutation(size, position_at);
  if (inplace) {
    PyObject** const slots = reinterpret_cast<PyListObject*>(items)->ob_item;
    const std::vector<PyObject*> present(slots, slots + size);
    for (std::size_t k = 0; k < size; ++k) slots[k] = present[position_at(k)];
    return new_none();
  }
  bool unchanged = held.size() == size;
  for (std::size_t k = 0; unchanged && k < size; ++k) {
    unchanged = PyList_GET_ITEM(items, static_cast<Py_ssize_t>(k)) == held[k].get();
  }
  if (!unchanged) {
    std::vector<Ref> present = hold_items(items);
    // Releasing the old references can run Python code; what is delivered is
    // already held.
    held.swap(present);
  }
  Ref list = new_list(count);
  for (std::size_t k = 0; k < size; ++k) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), held[position_at(k)].release());
  }
  return list;
}

// ------------------------------------------------------------ the key sort
// A column whose values are all of one plain kind (Missing allowed among
// them) compares as a strict weak order of 64-bit keys, so the rows can be
// sorted by key instead of by row_precedes, with the very same result.

enum class ColumnShape : std::uint8_t { General, Integer, Number, Text };

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
// Integers up to this magnitude convert to double exactly.
constexpr std::int64_t kExactInDouble = std::int64_t{1} << 53;

// `value_at(k)` is the column's value of row k.
template <class ValueAt>
ColumnShape column_shape(std::size_t count, ValueAt value_at) {
  bool missing = false;
  bool integer = false;
  bool number = false;
  bool text = false;
  bool lowest_integer = false;  // its key would tie with Missing's
  bool inexact = false;         // an integer that a double cannot hold exactly
  for (std::size_t k = 0; k < count; ++k) {
    const SortValue& value = value_at(k);
    switch (value.kind()) {
      case ValueKind::Missing:
        missing = true;
        break;
      case ValueKind::Int: {
        integer = true;
        const std::int64_t x = value.as_integer();
        lowest_integer |= x == std::numeric_limits<std::int64_t>::min();
        inexact |= x > kExactInDouble || x < -kExactInDouble;
        break;
      }
      case ValueKind::Float:
        // NaN ties with every number and breaks the order.
        if (std::isnan(value.as_number())) return ColumnShape::General;
        number = true;
        break;
      case ValueKind::Text:
        text = true;
        break;
      case ValueKind::Object:
        return ColumnShape::General;
    }
  }
  if (text) return integer || number ? ColumnShape::General : ColumnShape::Text;
  if (number) return integer && inexact ? ColumnShape::General : ColumnShape::Number;
  if (integer && missing && lowest_integer) return ColumnShape::General;
  return ColumnShape::Integer;
}

// The value's key in a column of that shape: keys order as the values do, and
// equal keys are equal values, except for texts, whose key holds only their
// first bytes (equal keys then leave the order to the texts themselves).
// Missing is 0, below every other key.
std::uint64_t key_of(const SortValue& value, ColumnShape shape) {
  if (value.kind() == ValueKind::Missing) return 0;
  switch (shape) {
    case ColumnShape::Integer:
      return std::bit_cast<std::uint64_t>(value.as_integer()) ^ kSignBit;
    case ColumnShape::Number: {
      double x = value.kind() == ValueKind::Int ? static_cast<double>(value.as_integer())
                                                : value.as_number();
      if (x == 0.0) x = 0.0;  // -0.0 ties with 0.0
      const auto bits = std::bit_cast<std::uint64_t>(x);
      // Negative numbers order backwards by their bits; no number maps to 0
      // (that would be a NaN pattern).
      return bits & kSignBit ? ~bits : bits | kSignBit;
    }
    case ColumnShape::Text:
      return value.head();  // the kind byte keeps it above 0
    case ColumnShape::General:
      break;
  }
  internal_failure("no key for a column of mixed values");
}

// The rows' positions in sorted order, if every column has a plain shape; none
// otherwise (the general sort decides). `value_at(k, i)` is the value of row
// k in column i. Presorted and strictly descending input cost one pass;
// otherwise the rows are radix-sorted by one column after the other, the last
// first, each pass stable.
template <class ValueAt>
std::optional<std::vector<std::uint32_t>> sort_by_keys(std::size_t count,
                                                       std::span<const SortColumn> columns,
                                                       ValueAt value_at) {
  const std::size_t width = columns.size();
  std::vector<ColumnShape> shapes(width);
  for (std::size_t i = 0; i < width; ++i) {
    shapes[i] =
        column_shape(count, [&](std::size_t k) -> const SortValue& { return value_at(k, i); });
    if (shapes[i] == ColumnShape::General) return std::nullopt;
  }
  SignalStride<1> signals;
  const auto tick = [&] { signals.step_or_throw(); };

  std::vector<std::uint64_t> keys(count * width);
  const auto key = [&](std::size_t i, std::size_t k) -> std::uint64_t& {
    return keys[i * count + k];
  };
  for (std::size_t i = 0; i < width; ++i) {
    const std::uint64_t flip = columns[i].descending ? ~std::uint64_t{0} : 0;
    for (std::size_t k = 0; k < count; ++k) {
      if ((k & (kTickBlock - 1)) == 0) tick();
      key(i, k) = key_of(value_at(k, i), shapes[i]) ^ flip;
    }
  }
  // Within a Text column, rows with equal keys but not Missing are ordered by
  // their texts.
  const auto text_order = [&](std::size_t i, std::size_t a, std::size_t b) {
    const Ordering order = compare_texts(value_at(a, i).as_text(), value_at(b, i).as_text());
    return directed(order, columns[i].descending);
  };
  const auto missing_key = [&](std::size_t i) {
    return columns[i].descending ? ~std::uint64_t{0} : std::uint64_t{0};
  };
  const auto precedes = [&](std::size_t a, std::size_t b) {
    for (std::size_t i = 0; i < width; ++i) {
      const std::uint64_t ka = key(i, a);
      const std::uint64_t kb = key(i, b);
      if (ka != kb) return ka < kb;
      if (shapes[i] == ColumnShape::Text && ka != missing_key(i)) {
        const Ordering order = text_order(i, a, b);
        if (order != Ordering::Equal) return order == Ordering::Less;
      }
    }
    return false;
  };

  std::vector<std::uint32_t> order(count);
  std::iota(order.begin(), order.end(), std::uint32_t{0});
  switch (run_shape(count, precedes, tick)) {
    case RunShape::Ascending:
      return order;
    case RunShape::StrictlyDescending:
      std::reverse(order.begin(), order.end());
      return order;
    case RunShape::Neither:
      break;
  }

  std::vector<KeyedRow> rows(count);
  std::vector<KeyedRow> scratch(count);
  for (std::size_t column = width; column-- > 0;) {
    for (std::size_t j = 0; j < count; ++j) rows[j] = KeyedRow{key(column, order[j]), order[j]};
    radix_sort_by_key(std::span(rows), std::span(scratch), tick);
    if (shapes[column] == ColumnShape::Text) {
      const auto by_text = [&](const KeyedRow& a, const KeyedRow& b) {
        return text_order(column, a.position, b.position) == Ordering::Less;
      };
      for (std::size_t j = 0; j < count;) {
        std::size_t end = j + 1;
        while (end < count && rows[end].key == rows[j].key) ++end;
        if (end - j > 1 && rows[j].key != missing_key(column)) {
          std::stable_sort(rows.begin() + static_cast<std::ptrdiff_t>(j),
                           rows.begin() + static_cast<std::ptrdiff_t>(end), by_text);
        }
        if ((j & (kTickBlock - 1)) == 0) tick();
        j = end;
      }
    }
    for (std::size_t j = 0; j < count; ++j) order[j] = rows[j].position;
  }
  return order;
}

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
