// Sorting rows by order-preserving 64-bit keys: the fast path of a column
// whose values all compare as plain numbers or byte strings.
//
// Nothing here knows about Python. `tick()` is called every few tens of
// thousands of elements so that a caller can check for interrupts; it may
// throw, and then the arrays hold an unspecified permutation of their rows.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace vesk::dictsort {

// A row's key in one column, with the row's position in the list.
struct KeyedRow {
  std::uint64_t key;
  std::uint32_t position;
};

inline constexpr std::size_t kTickBlock = 1 << 15;

// Stable LSD radix sort of `rows` by key, one byte per pass; passes over a
// byte that is the same in every key are skipped (small integers need two or
// three). `scratch` is room for as many rows.
template <class Tick>
void radix_sort_by_key(std::span<KeyedRow> rows, std::span<KeyedRow> scratch, Tick& tick) {
  const std::size_t count = rows.size();
  if (count < 2) return;
  std::array<std::array<std::size_t, 256>, 8> counts{};
  for (std::size_t begin = 0; begin < count; begin += kTickBlock) {
    const std::size_t end = std::min(count, begin + kTickBlock);
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint64_t key = rows[i].key;
      for (std::size_t d = 0; d < 8; ++d) ++counts[d][(key >> (8 * d)) & 0xFF];
    }
    tick();
  }
  KeyedRow* source = rows.data();
  KeyedRow* target = scratch.data();
  for (std::size_t d = 0; d < 8; ++d) {
    std::array<std::size_t, 256>& bucket = counts[d];
    const unsigned shift = static_cast<unsigned>(8 * d);
    // Every key has the same byte here: the pass would change nothing.
    if (bucket[(source[0].key >> shift) & 0xFF] == count) continue;
    std::size_t offset = 0;
    for (std::size_t& slot : bucket) offset += std::exchange(slot, offset);
    for (std::size_t begin = 0; begin < count; begin += kTickBlock) {
      const std::size_t end = std::min(count, begin + kTickBlock);
      for (std::size_t i = begin; i < end; ++i) {
        const KeyedRow row = source[i];
        target[bucket[(row.key >> shift) & 0xFF]++] = row;
      }
      tick();
    }
    std::swap(source, target);
  }
  if (source != rows.data()) std::copy(source, source + count, rows.data());
}

enum class RunShape : std::uint8_t { Ascending, StrictlyDescending, Neither };

// Whether the elements 0 .. count - 1 are already in order (no element
// precedes the one before it) or strictly descending (every element precedes
// the one before it; reversing such a run keeps a stable sort stable, since it
// holds no ties). `precedes(i, j)` compares elements by index. Stops at the
// first pair that rules out both; at most count - 1 calls of `precedes`.
template <class Precedes, class Tick>
RunShape run_shape(std::size_t count, Precedes& precedes, Tick& tick) {
  if (count < 2) return RunShape::Ascending;
  const bool descending = precedes(1, 0);
  for (std::size_t i = 2; i < count; ++i) {
    if ((i & (kTickBlock - 1)) == 0) tick();
    if (precedes(i, i - 1) != descending) return RunShape::Neither;
  }
  return descending ? RunShape::StrictlyDescending : RunShape::Ascending;
}

}  // namespace vesk::dictsort
