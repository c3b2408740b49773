// Numeric text rules: trimming, accounting/thousands formatting, strict
// decimal conversions and the int/float extraction policy of `parse`.
// Pure C++ on UTF-8 views; knows nothing of Python. Defined in format.cpp
// (trimming, strip_numeric_formatting), convert.cpp (parse_int64,
// parse_double) and numparse.cpp (parse_number, parse_whole_number).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/poll.hpp"

namespace vesk::numparse {

// `utf8` without the Unicode White_Space characters (U+0009..U+000D, U+0020,
// U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F,
// U+3000) at either end. A view of the same bytes; nothing else is trimmed.
std::string_view trim_unicode_whitespace(std::string_view utf8) noexcept;

// Strips accounting and thousands formatting: trims, turns one surrounding
// pair of parentheses into a leading '-', drops every ',' (U+002C only) and
// one trailing '%'. Empty at any step gives nullopt; a present result is never
// empty. Does not check that the result is a number. `poll` is called between
// chunks of the input (see base/poll.hpp).
std::optional<std::string> strip_numeric_formatting(std::string_view utf8, const Poll& poll = {});

// Whole text as [+-]?[0-9]+ in the signed 64-bit range (leading zeros allowed).
// Anything else, including a lone sign or an out-of-range value, is nullopt.
std::optional<std::int64_t> parse_int64(std::string_view text) noexcept;

// Whole text as a decimal floating-point literal:
//   [+-]? ( digits with at most one '.', at least one digit, then optionally
//           [eE][+-]?[0-9]+  |  "inf" | "infinity" | "nan" in any case )
// rounded to the nearest double, ties to even. A magnitude past the largest
// double gives an infinity and one below the smallest subnormal a zero, both of
// the text's sign; only a text outside the grammar is nullopt. Never
// allocates; any number of digits and any exponent length are fine.
std::optional<double> parse_double(std::string_view text) noexcept;

// The outcome of `parse_number`: nothing, an integer or a float.
using ParsedNumber = std::variant<std::monostate, std::int64_t, double>;

// The number in loosely formatted text ("$1,234", "(1.5)", "12%", "1,200m"):
// keeps only the ASCII digits and "()-." in input order, removes surrounding
// accounting parentheses as `strip_numeric_formatting` does, then gives a
// double when a '.' was kept, else a 64-bit integer. Digit runs too long for
// 64 bits are clamped to the range when their magnitude is at most 2**63 and
// give nothing beyond it. No heap allocation for texts of up to 64 bytes.
// `poll` is called between chunks of the input.
ParsedNumber parse_number(std::string_view utf8, const Poll& poll = {});

// The number parse_number finds, as a 64-bit integer when it is a whole
// number within the signed 64-bit range exactly, decided from its digits
// rather than from a rounded double: "12.00" and "(7)" give 12 and -7;
// "12.5", "9007199254740993.5" and a digit run beyond the range (which
// parse_number clamps) give nothing, as does every text parse_number finds
// no number in. `poll` is called between chunks of the input.
std::optional<std::int64_t> parse_whole_number(std::string_view utf8, const Poll& poll = {});

}  // namespace vesk::numparse
