// Unicode 17.0 character properties and default case mappings.
//
// Backed by tables generated from the UCD files (tools/gen_unicode_tables.py).
// Case rules are the default ones only: no locale tailoring (Turkish,
// Lithuanian) and no context rules (final sigma). Every function takes any
// char32_t; values that are not code points simply have no property and map to
// themselves. ASCII is answered by range tests before any table is touched.
#pragma once

#include <span>

namespace vesk::text {

// Derived property Uppercase (general category Lu plus Other_Uppercase).
bool is_uppercase(char32_t cp) noexcept;

// Derived property Lowercase (general category Ll plus Other_Lowercase).
bool is_lowercase(char32_t cp) noexcept;

// Full default case mappings: the simple mapping of UnicodeData, replaced by
// the unconditional mapping of SpecialCasing where there is one. Writes the
// mapping (1 to 3 code points; the code point itself when unmapped) to `out`
// and returns the count. Lower-casing gives at most 2 (only U+0130 does).
int to_lower_full(char32_t cp, char32_t out[3]) noexcept;
int to_upper_full(char32_t cp, char32_t out[3]) noexcept;

// 0..9 for a code point of general category Nd (any script), -1 otherwise.
int decimal_digit_value(char32_t cp) noexcept;

// The 25 code points with the White_Space property.
bool is_white_space(char32_t cp) noexcept;

struct CodePointRange {
  char32_t first;
  char32_t last;  // inclusive
};

// General category Nd as sorted, disjoint, inclusive ranges; adjacent runs of
// digits are merged into one range.
std::span<const CodePointRange> decimal_digit_ranges() noexcept;

}  // namespace vesk::text
