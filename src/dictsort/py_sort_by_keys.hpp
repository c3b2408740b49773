// The key sort: a column whose values are all of one plain kind (Missing
// allowed among them) compares as a strict weak order of 64-bit keys, so the
// rows can be sorted by key instead of by row_precedes, with the very same
// result. Used by py_dictsort.cpp alone; the radix sort itself is pure
// (key_sort.hpp).
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <vector>

#include "binding/error.hpp"
#include "dictsort/key_sort.hpp"
#include "dictsort/py_sort_values.hpp"

namespace vesk::dictsort {
// Internal linkage, exactly as if written in py_dictsort.cpp, the one file
// that includes this: the compiler keeps the freedom to specialise and inline
// these for their few callers.
namespace {

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

}  // namespace
}  // namespace vesk::dictsort
