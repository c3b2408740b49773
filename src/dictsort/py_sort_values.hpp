// What decides the order of multikeysort's rows: the sort columns, the values
// extracted once per item and column, and the comparison of two rows.
//
// None of this raises for bad data: every Exception met while parsing columns,
// looking up or converting values, or comparing them is discarded and replaced
// by a fallback (no column, Missing, Equal). A failed object creation, or an
// internal failure of this module coming back out of Python code, ends the
// call as an internal failure; any other BaseException (KeyboardInterrupt,
// SystemExit) is thrown as Propagated and ends the call unchanged.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "binding/ref.hpp"
#include "dictsort/ordering.hpp"
#include "dictsort/text_arena.hpp"

namespace vesk::dictsort {

enum class ValueKind : std::uint8_t { Missing, Int, Float, Text, Object };

// One extracted value: 16 bytes, trivially copyable, so that rows can be
// sorted as small records. It owns nothing: an Object's reference and a Text's
// bytes belong to the ValueStore that made the value, which outlives it.
//
// A Text also carries its first seven bytes, big-endian, above the kind byte,
// so that two texts that differ early compare without touching their bytes.
class SortValue {
 public:
  SortValue() noexcept = default;  // Missing
  static SortValue missing() noexcept { return SortValue(); }
  static SortValue integer(std::int64_t value) noexcept {
    return SortValue(head_of(ValueKind::Int), std::bit_cast<std::uint64_t>(value));
  }
  static SortValue number(double value) noexcept {
    return SortValue(head_of(ValueKind::Float), std::bit_cast<std::uint64_t>(value));
  }
  static SortValue text(TextArena::Handle handle) noexcept {
    const std::string_view bytes = TextArena::load(handle);
    std::uint64_t prefix = 0;
    for (std::size_t i = 0; i < kPrefixBytes; ++i) {
      const std::uint64_t byte = i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0;
      prefix = (prefix << 8) | byte;
    }
    return SortValue((prefix << 8) | head_of(ValueKind::Text),
                     reinterpret_cast<std::uintptr_t>(handle));
  }
  // `object` is borrowed; its owner keeps it alive for as long as the value.
  static SortValue object(PyObject* object) noexcept {
    return SortValue(head_of(ValueKind::Object), reinterpret_cast<std::uintptr_t>(object));
  }

  [[nodiscard]] ValueKind kind() const noexcept { return static_cast<ValueKind>(head_ & 0xFF); }
  [[nodiscard]] std::int64_t as_integer() const noexcept {
    return std::bit_cast<std::int64_t>(bits_);
  }
  [[nodiscard]] double as_number() const noexcept { return std::bit_cast<double>(bits_); }
  [[nodiscard]] std::string_view as_text() const noexcept {
    return TextArena::load(reinterpret_cast<TextArena::Handle>(static_cast<std::uintptr_t>(bits_)));
  }
  [[nodiscard]] PyObject* as_object() const noexcept {
    return reinterpret_cast<PyObject*>(static_cast<std::uintptr_t>(bits_));
  }
  // Kind and, for a Text, its leading bytes: for two texts, different heads
  // order the texts as their bytes do (a text shorter than the prefix is
  // padded with zero bytes, which still puts a proper prefix first); equal
  // heads decide nothing.
  [[nodiscard]] std::uint64_t head() const noexcept { return head_; }

 private:
  static constexpr std::size_t kPrefixBytes = 7;
  static constexpr std::uint64_t head_of(ValueKind kind) noexcept {
    return static_cast<std::uint64_t>(kind);
  }
  SortValue(std::uint64_t head, std::uint64_t bits) noexcept : head_(head), bits_(bits) {}

  std::uint64_t head_ = head_of(ValueKind::Missing);
  std::uint64_t bits_ = 0;  // the payload: int64, double or pointer bits
};

// Owner of what the values of one call point to: the copies of texts and the
// references of Objects. Released, with everything in it, when the call ends.
struct ValueStore {
  TextArena texts;
  std::vector<Ref> objects;
};

// Names of the columns that occur as a str key of some dict item.
using KeySet = std::unordered_set<std::string>;

// `columns` as sort columns: None gives none; a str one column; a list one
// column per str element (other elements skipped); any other sequence of strs
// one column per element, and anything else, or a sequence holding a non-str,
// none at all.
std::vector<SortColumn> parse_sort_columns(PyObject* columns);

// The names among `columns` that are a str key of at least one dict (or dict
// subclass) item of the list `items`. Only membership of column names is ever
// asked of the key set, so other keys are not kept.
KeySet collect_present_keys(PyObject* items, std::span<const SortColumn> columns);

// The columns whose name is in `keys`, in their order.
std::vector<SortColumn> filter_columns(std::vector<SortColumn> columns, const KeySet& keys);

// One str key object per column, made once per call; lookups in plain dicts
// share it (see extract_sort_value).
class ColumnKeys {
 public:
  explicit ColumnKeys(std::span<const SortColumn> columns);
  PyObject* operator[](std::size_t i) const noexcept { return keys_[i].get(); }

 private:
  std::vector<Ref> keys_;
};

// item[name] as a SortValue; a text is copied into, and an object reference
// kept in, `store`. `item` must be held by the caller. `shared_key` is a str
// equal to `name`, used for a lookup in an exact dict; any other item gets a
// fresh key object.
SortValue extract_sort_value(PyObject* item, std::string_view name, PyObject* shared_key,
                             ValueStore& store);

// The values of one (held) item, one per column in column order, into `row`.
void extract_row(PyObject* item, std::span<const SortColumn> columns, const ColumnKeys& keys,
                 ValueStore& store, std::span<SortValue> row);

// Less/Equal/Greater of x against y by Python's < and then >; a comparison that
// raises, or values that Python refuses to order, give Equal.
Ordering compare_python_values(PyObject* x, PyObject* y);

// Mixed and Object pairs: both sides as Python objects, compared by Python.
Ordering compare_through_python(const SortValue& a, const SortValue& b);

// Missing first, numbers numerically (NaN ties with every number), texts by
// code point, everything else through Python.
inline Ordering compare_sort_values(const SortValue& a, const SortValue& b) {
  const ValueKind ka = a.kind();
  const ValueKind kb = b.kind();
  if (ka == ValueKind::Int && kb == ValueKind::Int) {
    return compare_integers(a.as_integer(), b.as_integer());
  }
  if (ka == ValueKind::Missing || kb == ValueKind::Missing) {
    if (ka == kb) return Ordering::Equal;
    return ka == ValueKind::Missing ? Ordering::Less : Ordering::Greater;
  }
  const bool a_number = ka == ValueKind::Int || ka == ValueKind::Float;
  const bool b_number = kb == ValueKind::Int || kb == ValueKind::Float;
  if (a_number && b_number) {
    const double x = ka == ValueKind::Int ? static_cast<double>(a.as_integer()) : a.as_number();
    const double y = kb == ValueKind::Int ? static_cast<double>(b.as_integer()) : b.as_number();
    return compare_numbers(x, y);
  }
  if (ka == ValueKind::Text && kb == ValueKind::Text) {
    if (a.head() != b.head()) return a.head() < b.head() ? Ordering::Less : Ordering::Greater;
    return compare_texts(a.as_text(), b.as_text());
  }
  return compare_through_python(a, b);
}

// Whether row a must come strictly before row b: the first column on which they
// differ decides, in that column's direction; rows equal on every column do not
// precede each other. The rows hold one value per column.
template <std::size_t Extent>
bool row_precedes(std::span<const SortColumn> columns, std::span<const SortValue, Extent> a,
                  std::span<const SortValue, Extent> b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    const Ordering order = compare_sort_values(a[i], b[i]);
    if (order != Ordering::Equal) {
      return directed(order, columns[i].descending) == Ordering::Less;
    }
  }
  return false;
}

}  // namespace vesk::dictsort
