// The native parts of the row order: sort columns and the comparisons of
// integers, numbers and texts that need no interpreter. None of this can fail
// or allocate.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vesk::dictsort {

enum class Ordering : std::int8_t { Less = -1, Equal = 0, Greater = 1 };

// One sort column; a list of them is ordered by priority (the first decides
// first). `name` is matched with dict keys byte for byte.
struct SortColumn {
  std::string name;
  bool descending = false;
};

// A column from its text: one leading '-' makes it descending and is removed
// ("--a" is the descending column "-a", "-" the descending column ""). Nothing
// else is special and the name is not trimmed.
inline SortColumn make_sort_column(std::string_view text) {
  if (!text.empty() && text.front() == '-') {
    return SortColumn{std::string(text.substr(1)), true};
  }
  return SortColumn{std::string(text), false};
}

inline Ordering compare_integers(std::int64_t a, std::int64_t b) noexcept {
  if (a < b) return Ordering::Less;
  if (a > b) return Ordering::Greater;
  return Ordering::Equal;
}

// Any comparison involving NaN is Equal, so NaN ties with every number; -0.0
// ties with 0.0.
inline Ordering compare_numbers(double a, double b) noexcept {
  if (a < b) return Ordering::Less;
  if (a > b) return Ordering::Greater;
  return Ordering::Equal;
}

// Unsigned byte order of UTF-8, which is code point order; a proper prefix
// comes first.
inline Ordering compare_texts(std::string_view a, std::string_view b) noexcept {
  const std::size_t common = std::min(a.size(), b.size());
  if (common != 0) {
    const int bytes = std::memcmp(a.data(), b.data(), common);
    if (bytes != 0) return bytes < 0 ? Ordering::Less : Ordering::Greater;
  }
  if (a.size() < b.size()) return Ordering::Less;
  if (a.size() > b.size()) return Ordering::Greater;
  return Ordering::Equal;
}

// The ordering of a column after its direction is applied.
inline Ordering directed(Ordering order, bool descending) noexcept {
  return descending ? static_cast<Ordering>(-static_cast<std::int8_t>(order)) : order;
}

}  // namespace vesk::dictsort
