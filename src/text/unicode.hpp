// Unicode 17.0 character properties that the text rules read directly: the
// decimal digits (general category Nd) and White_Space.
//
// Backed by tables generated from the UCD files (tools/gen_unicode_tables.py),
// which also hold the case data that the case transforms read through
// text/unicode_tables.hpp.
#pragma once

#include <span>

namespace vesk::text {

// 0..9 for a code point of general category Nd (any script), -1 otherwise.
int decimal_digit_value(char32_t cp) noexcept;

struct CodePointRange {
  char32_t first;
  char32_t last;  // inclusive
};

// General category Nd as sorted, disjoint, inclusive ranges; adjacent runs of
// digits are merged into one range.
std::span<const CodePointRange> decimal_digit_ranges() noexcept;

// The code points with the White_Space property as sorted, disjoint,
// inclusive ranges, adjacent ones merged.
std::span<const CodePointRange> white_space_ranges() noexcept;

}  // namespace vesk::text
