// The number kernels: `parse` on the rows of a plain chunk, and the rows of
// a dictionary-encoded one gathered from its values' numbers.
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>

#include "columns/kernels.hpp"
#include "numparse/numparse.hpp"

namespace vesk::columns {
namespace {

// What a missing row holds: NaN among doubles, 0 among integers.
void store_missing(char* slot, NumberMode mode) noexcept {
  if (mode == NumberMode::Float) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::memcpy(slot, &nan, 8);
  } else {
    std::memset(slot, 0, 8);
  }
}

}  // namespace

void parse_rows(const ColumnView& view, std::int64_t begin, std::int64_t end, NumberMode mode,
                bool decimal_comma, const NumberTarget& target, const Poll& poll) {
  char* const values = target.values;
  std::uint8_t* const state = target.state;
  PollMeter meter(poll);
  std::string scratch;
  for (std::int64_t i = begin; i < end; ++i) {
    char* const slot = values + 8 * i;
    state[i] = kMissing;
    if (!view.valid(i)) {
      store_missing(slot, mode);
      continue;
    }
    const std::string_view cell = view.cell(i);
    const std::string_view text = decimal_comma ? swap_decimal_marks(cell, scratch) : cell;
    if (mode == NumberMode::Int) {
      // Whole and within range exactly, decided from the digits: a double
      // would round "9007199254740993.5" to a whole number.
      const std::optional<std::int64_t> whole = numparse::parse_whole_number(text, poll);
      const std::int64_t integer = whole.value_or(0);
      std::memcpy(slot, &integer, 8);
      state[i] = whole ? kInteger : kMissing;
    } else {
      const numparse::ParsedNumber number = numparse::parse_number(text, poll);
      if (const auto* integer = std::get_if<std::int64_t>(&number)) {
        if (mode == NumberMode::Float) {
          const auto real = static_cast<double>(*integer);
          std::memcpy(slot, &real, 8);
        } else {
          std::memcpy(slot, integer, 8);
        }
        state[i] = kInteger;
      } else if (const auto* real = std::get_if<double>(&number)) {
        std::memcpy(slot, real, 8);
        // (Float mode keeps no kind: 1 for any number present)
        state[i] = mode == NumberMode::Float ? kInteger : kReal;
      } else {
        store_missing(slot, mode);
      }
    }
    meter.add(text.size());
  }
}

void index_fault(const ColumnView& view, std::int64_t row, const std::string& index,
                 std::int64_t count) {
  row_fault(view, row,
            "dictionary index " + index + " lies outside the dictionary of " +
                std::to_string(count) + " values");
}

void gather_numbers(const ColumnView& view, std::int64_t begin, std::int64_t end, NumberMode mode,
                    const NumberTarget& values, std::int64_t count, const NumberTarget& target) {
  with_indices(view, [&](const auto* indices) {
    for (std::int64_t i = begin; i < end; ++i) {
      char* const slot = target.values + 8 * i;
      if (!view.valid(i)) {
        store_missing(slot, mode);
        target.state[i] = kMissing;
        continue;
      }
      const std::int64_t k = value_of(view, indices, i, count);
      std::memcpy(slot, values.values + 8 * k, 8);
      target.state[i] = values.state[k];
    }
  });
}

}  // namespace vesk::columns
