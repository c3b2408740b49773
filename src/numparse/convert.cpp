// The strict whole-text conversions: decimal text to a signed 64-bit
// integer, and to the nearest double.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>

#include "base/decimal.hpp"
#include "numparse/numparse.hpp"

namespace vesk::numparse {
namespace {

constexpr bool is_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}

bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower_word) noexcept {
  if (text.size() != lower_word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((text[i] | 0x20) != lower_word[i]) return false;
  }
  return true;
}

// The words inf, infinity and nan (any case) after an optional sign.
std::optional<double> special_value(std::string_view word, bool negative) noexcept {
  const double sign = negative ? -1.0 : 1.0;
  if (equals_ignoring_ascii_case(word, "inf") || equals_ignoring_ascii_case(word, "infinity")) {
    return sign * std::numeric_limits<double>::infinity();
  }
  if (equals_ignoring_ascii_case(word, "nan")) {
    return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);
  }
  return std::nullopt;
}

// Decimal exponent of the first nonzero digit of a literal that already passed
// the grammar check and is not zero ("123.4" gives 2, "0.05e3" gives 1). Only
// its sign matters to the caller, so an absurd exponent is saturated instead
// of overflowing.
std::int64_t leading_exponent(const char* p, const char* last) noexcept {
  while (p != last && *p == '0') ++p;
  std::int64_t lead = -1;
  while (p != last && is_digit(*p)) {
    ++p;
    ++lead;
  }
  if (p != last && *p == '.') {
    ++p;
    if (lead < 0) {
      while (p != last && *p == '0') {
        ++p;
        --lead;
      }
    }
    while (p != last && is_digit(*p)) ++p;
  }
  if (p != last && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    constexpr std::int64_t kSaturated = std::int64_t{1} << 48;
    std::int64_t exponent = 0;
    for (; p != last; ++p) {
      exponent = std::min(exponent * 10 + (*p - '0'), kSaturated);
    }
    lead += negative ? -exponent : exponent;
  }
  return lead;
}

// 1e0 to 1e15, all exact doubles.
constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// The one conversion of decimal digits to a double, for texts that passed
// the grammar of parse_double: the digits in [body, last) (at most one '.',
// at least one digit, an optional exponent), negated when `negative`. The
// nearest double, ties to even; nullopt when the magnitude lies beyond the
// double's range (the caller picks an infinity or a zero).
std::optional<double> decimal_to_double(const char* body, const char* last,
                                        bool negative) noexcept {
  // Correctly rounded for any length; the digits go in without a sign, and
  // the result is negated exactly. A converter may report a magnitude beyond
  // the range as an error or round it to an infinity or zero itself: the
  // error is left to the caller, which picks the same value.
  double value = 0.0;
  const auto [end, error] = decimal_from_chars(body, last, value);
  if (end != last || error != std::errc()) return std::nullopt;
  return negative ? -value : value;
}

}  // namespace

std::optional<std::int64_t> parse_int64(std::string_view text) noexcept {
  const char* p = text.data();
  const char* const last = p + text.size();
  bool negative = false;
  if (p != last && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  if (p == last) return std::nullopt;
  // Accumulate the magnitude unsigned: -2**63 has no positive counterpart.
  // Eighteen digits stay below 10**18 and need no overflow check.
  const std::uint64_t limit =
      std::uint64_t{std::numeric_limits<std::int64_t>::max()} + (negative ? 1 : 0);
  const bool may_overflow = last - p > 18;
  std::uint64_t magnitude = 0;
  for (; p != last; ++p) {
    const auto digit = static_cast<std::uint64_t>(static_cast<unsigned char>(*p) - '0');
    if (digit > 9) return std::nullopt;
    if (may_overflow && magnitude > (limit - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  // Modular negation, then a conversion that is exact for -2**63 as well.
  return static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
}

std::optional<double> parse_double(std::string_view text) noexcept {
  const char* const first = text.data();
  const char* const last = first + text.size();
  const char* p = first;
  bool negative = false;
  if (p != last && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  const char* const body = p;

  // std::from_chars stops quietly at the first character it cannot use and
  // takes forms this grammar refuses ("nan(...)"), so the grammar is checked
  // here in full first.
  // The digits are accumulated on the way for the fast path below; the value
  // wraps for long texts but is then not used.
  std::size_t digits = 0;
  std::size_t fraction_digits = 0;
  std::uint64_t significand = 0;
  for (; p != last && is_digit(*p); ++p, ++digits) {
    significand = significand * 10 + static_cast<std::uint64_t>(*p - '0');
  }
  if (p != last && *p == '.') {
    for (++p; p != last && is_digit(*p); ++p, ++fraction_digits) {
      significand = significand * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    digits += fraction_digits;
  }
  if (digits == 0) return special_value(std::string_view(body, last), negative);
  bool has_exponent = false;
  if (p != last && (*p == 'e' || *p == 'E')) {
    has_exponent = true;
    ++p;
    if (p != last && (*p == '+' || *p == '-')) ++p;
    const char* const exponent_digits = p;
    while (p != last && is_digit(*p)) ++p;
    if (p == exponent_digits) return std::nullopt;
  }
  if (p != last) return std::nullopt;

  // Short plain decimals ("1234.5", "-0.25"): the significand and the power of
  // ten are both exact doubles, so one correctly rounded division is the
  // correctly rounded value.
  if (!has_exponent && digits <= 15) {
    const double value = static_cast<double>(significand) / kPowersOfTen[fraction_digits];
    return negative ? -value : value;
  }

  if (const std::optional<double> value = decimal_to_double(body, last, negative)) return *value;
  // Out of the double's range: the result rounds to an infinity or to zero;
  // which one follows from the magnitude's decimal exponent, since overflow
  // needs it to be at least 308 and underflow at most -324.
  const double magnitude =
      leading_exponent(body, last) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -magnitude : magnitude;
}

}  // namespace vesk::numparse
