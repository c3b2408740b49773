// The stable sort under comparisons of every quality: a strict weak order
// (the result must equal std::stable_sort's), answers drawn from the input
// with no consistency at all, and a partial order with elements that tie with
// everything (as NaN or unorderable values do). Whatever the answers, the
// result is a permutation, nothing outside the array is touched (ASan), and
// the number of comparisons stays O(n log n).
#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "dictsort/stable_sort.hpp"
#include "fuzz_util.hpp"

namespace {

struct Row {
  std::uint32_t id;
  std::uint16_t key;
};

// A stream of answer bits taken from the input, cycled.
class Answers {
 public:
  Answers(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool next() {
    if (size_ == 0) return false;
    const bool bit = (data_[(index_ / 8) % size_] >> (index_ % 8)) & 1;
    ++index_;
    return bit;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t index_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const unsigned mode = data[0] % 3;
  // Lengths around the insertion-sort limit are as interesting as long ones.
  const std::size_t count = data[1] < 128 ? data[1] % 48 : (size - 2) * (data[1] % 8 + 1);
  std::vector<Row> rows(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t b = size > 2 ? data[2 + i % (size - 2)] : 0;
    rows[i] = Row{static_cast<std::uint32_t>(i), static_cast<std::uint16_t>(b % 7 + (i / 97) % 3)};
  }

  std::size_t calls = 0;
  Answers answers(data + 2, size - 2);
  auto precedes = [&](const Row& a, const Row& b) {
    ++calls;
    fuzz::check(a.id < count && b.id < count, "comparison saw an element from outside", input);
    switch (mode) {
      case 0:
        return a.key < b.key;
      case 1:
        return answers.next();
      default:  // key 0 ties with everything: no longer a strict weak order
        return a.key != 0 && b.key != 0 && a.key < b.key;
    }
  };
  std::vector<Row> sorted = rows;
  vesk::dictsort::stable_sort(std::span<Row>(sorted), precedes);

  std::vector<bool> seen(count);
  for (const Row& row : sorted) {
    fuzz::check(row.id < count && !seen[row.id], "result is not a permutation", input);
    seen[row.id] = true;
  }
  std::size_t log2 = 1;
  while ((std::size_t{1} << log2) < count) ++log2;
  fuzz::check(calls <= count * (log2 + vesk::dictsort::kInsertionSortLimit), "too many comparisons",
              input);

  if (mode == 0) {
    std::vector<Row> want = rows;
    std::stable_sort(want.begin(), want.end(),
                     [](const Row& a, const Row& b) { return a.key < b.key; });
    for (std::size_t i = 0; i < count; ++i) {
      fuzz::check(sorted[i].id == want[i].id, "differs from std::stable_sort", input);
    }
  }
  if (mode == 2) {
    // Neighbours never contradict an answer given with consistent keys:
    // a later element with a nonzero key never strictly precedes an earlier
    // one with a nonzero key unless something that ties with both sits
    // between them, so check only adjacent pairs.
    for (std::size_t i = 1; i < count; ++i) {
      const Row& a = sorted[i - 1];
      const Row& b = sorted[i];
      if (a.key != 0 && b.key != 0) {
        fuzz::check(!(b.key < a.key), "adjacent rows out of order", input);
      }
    }
  }
  return 0;
}
