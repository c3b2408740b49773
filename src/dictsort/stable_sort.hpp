// A stable sort of a row array under a caller-supplied "precedes" test.
//
// The test is the only thing the sort knows about order, and it may be any
// predicate at all: answers that contradict each other, or that change from one
// call to the next (as comparisons that call back into Python can), never make
// the sort read or write outside the array, and never lose or duplicate an
// element; the result is always a permutation of the input, ordered as far as
// the answers allow. No contradiction is detected or reported. When the answers
// are those of a strict weak order, the result is the stable sorted order:
// elements of which neither precedes the other keep their relative order.
//
// Elements are meant to be small (row indices or compact row records) and must
// be trivially copyable. If `precedes` throws, the exception propagates and the
// array content is unspecified (an element may then appear twice); callers
// that can see an exception discard the array.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <type_traits>

namespace vesk::dictsort {

// Up to this many elements the sort is a straight insertion sort.
inline constexpr std::size_t kInsertionSortLimit = 20;

namespace detail {

// Moves each element in turn left past every earlier element that it strictly
// precedes, stopping at the first that it does not precede.
template <class T, class Precedes>
void insertion_sort(T* first, std::size_t count, Precedes& precedes) {
  for (std::size_t i = 1; i < count; ++i) {
    const T moving = first[i];
    std::size_t hole = i;
    while (hole > 0 && precedes(moving, first[hole - 1])) {
      first[hole] = first[hole - 1];
      --hole;
    }
    first[hole] = moving;
  }
}

// Merges the sorted runs [first, first + left) and [first + left, first + count)
// through `buffer` (room for `left` elements). Ties take the left element, which
// keeps the merge stable. The output cursor always stays behind the right-run
// cursor while left elements remain, so no unread element is overwritten
// whatever `precedes` answers.
template <class T, class Precedes>
void merge_runs(T* first, std::size_t left, std::size_t count, T* buffer, Precedes& precedes) {
  // Already in order across the seam (typical of presorted input): nothing to do.
  if (!precedes(first[left], first[left - 1])) return;
  for (std::size_t i = 0; i < left; ++i) buffer[i] = first[i];
  const T* a = buffer;
  const T* const a_end = buffer + left;
  const T* b = first + left;
  const T* const b_end = first + count;
  T* out = first;
  while (a != a_end && b != b_end) {
    if (precedes(*b, *a)) {
      *out++ = *b++;
    } else {
      *out++ = *a++;
    }
  }
  while (a != a_end) *out++ = *a++;
  // Whatever is left of the right run is already in place.
}

template <class T, class Precedes>
void merge_sort(T* first, std::size_t count, T* buffer, Precedes& precedes) {
  if (count <= kInsertionSortLimit) {
    insertion_sort(first, count, precedes);
    return;
  }
  const std::size_t left = count / 2;
  merge_sort(first, left, buffer, precedes);
  merge_sort(first + left, count - left, buffer, precedes);
  merge_runs(first, left, count, buffer, precedes);
}

}  // namespace detail

// Sorts `rows` stably by `precedes(a, b)` ("a must come strictly before b").
// Up to kInsertionSortLimit elements: straight insertion sort, no allocation.
// Above: top-down merge sort (runs of up to kInsertionSortLimit elements are
// insertion-sorted) with an auxiliary buffer of half the array; O(n log n)
// calls of `precedes`.
template <class T, class Precedes>
void stable_sort(std::span<T> rows, Precedes precedes) {
  static_assert(std::is_trivially_copyable_v<T>, "sort indices or small records");
  const std::size_t count = rows.size();
  if (count < 2) return;
  if (count <= kInsertionSortLimit) {
    detail::insertion_sort(rows.data(), count, precedes);
    return;
  }
  auto buffer = std::make_unique_for_overwrite<T[]>(count / 2);
  detail::merge_sort(rows.data(), count, buffer.get(), precedes);
}

}  // namespace vesk::dictsort
