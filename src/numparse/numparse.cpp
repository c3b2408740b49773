#include "numparse/numparse.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <system_error>

#include "base/decimal.hpp"

namespace vesk::numparse {
namespace {

constexpr bool is_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}

constexpr unsigned char byte_at(std::string_view s, std::size_t i) noexcept {
  return static_cast<unsigned char>(s[i]);
}

constexpr bool is_ascii_space(unsigned char c) noexcept {
  return c == 0x20 || (c >= 0x09 && c <= 0x0D);
}

// White_Space matched on the UTF-8 bytes, so that trimming never decodes: the
// ASCII spaces, the two-byte U+0085 and U+00A0, and the three-byte ones
// below. The generated White_Space ranges (text/unicode.hpp) are the one
// definition; the fuzz harness of numparse sweeps every code point through
// trimming against them.

// The three-byte UTF-8 encodings of White_Space: U+1680, U+2000..U+200A,
// U+2028, U+2029, U+202F, U+205F and U+3000.
constexpr bool is_three_byte_space(unsigned char lead, unsigned char second,
                                   unsigned char third) noexcept {
  switch (lead) {
    case 0xE1:
      return second == 0x9A && third == 0x80;
    case 0xE2:
      if (second == 0x80) {
        return (third >= 0x80 && third <= 0x8A) || third == 0xA8 || third == 0xA9 || third == 0xAF;
      }
      return second == 0x81 && third == 0x9F;
    case 0xE3:
      return second == 0x80 && third == 0x80;
    default:
      return false;
  }
}

// Byte length of the White_Space character at the start of `s`, 0 if none.
std::size_t leading_space(std::string_view s) noexcept {
  const unsigned char lead = byte_at(s, 0);
  if (lead < 0x80) return is_ascii_space(lead) ? 1 : 0;
  if (s.size() >= 2 && lead == 0xC2) {  // U+0085, U+00A0
    const unsigned char second = byte_at(s, 1);
    return (second == 0x85 || second == 0xA0) ? 2 : 0;
  }
  if (s.size() >= 3 && is_three_byte_space(lead, byte_at(s, 1), byte_at(s, 2))) return 3;
  return 0;
}

// Byte length of the White_Space character at the end of `s`, 0 if none. Lead
// bytes are never continuation bytes, so matching a whole encoding backwards
// cannot split another character.
std::size_t trailing_space(std::string_view s) noexcept {
  const std::size_t n = s.size();
  const unsigned char last = byte_at(s, n - 1);
  if (last < 0x80) return is_ascii_space(last) ? 1 : 0;
  if (n >= 2 && byte_at(s, n - 2) == 0xC2 && (last == 0x85 || last == 0xA0)) return 2;
  if (n >= 3 && is_three_byte_space(byte_at(s, n - 3), byte_at(s, n - 2), last)) return 3;
  return 0;
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

// The characters that parse keeps: ASCII digits and ( ) - . (0x28, 0x29, 0x2D,
// 0x2E, 0x30..0x39), as one bit mask over the bytes from '(' on. Bytes of
// multi-byte UTF-8 sequences are all >= 0x80, so a byte test is a character test.
constexpr std::uint32_t kKeptMask = 0b11'1111'1111'0110'0011;

constexpr bool is_kept(char c) noexcept {
  const unsigned offset = static_cast<unsigned char>(c) - unsigned{'('};
  return offset < 18 && ((kKeptMask >> offset) & 1U) != 0;
}

// Per byte: bit 0 set when parse keeps it, bit 1 set for '.'. A table load is
// cheaper than the mask test in the filter loop, which runs on every byte.
constexpr std::array<std::uint8_t, 256> kByteClass = [] {
  std::array<std::uint8_t, 256> table{};
  for (unsigned c = 0; c < 256; ++c) table[c] = is_kept(static_cast<char>(c)) ? 1 : 0;
  table['.'] |= 2;
  return table;
}();

ParsedNumber integer_or_clamped(std::string_view number) noexcept {
  if (const std::optional<std::int64_t> integer = parse_int64(number)) return *integer;
  // Only digit runs too long for 64 bits get here (parse_double refuses
  // everything else that parse_int64 refuses).
  const std::optional<double> real = parse_double(number);
  constexpr double kTwoTo63 = 0x1p63;
  if (!real || !std::isfinite(*real) || std::fabs(*real) > kTwoTo63) return {};
  if (*real >= kTwoTo63) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(*real);  // truncates; -2**63 is exact
}

// trim_unicode_whitespace, calling `poll` after about every kPollBytes trimmed.
template <class Poll>
std::string_view trimmed(std::string_view utf8, Poll&& poll) {
  std::size_t since_poll = 0;
  while (!utf8.empty()) {
    const std::size_t n = leading_space(utf8);
    if (n == 0) break;
    utf8.remove_prefix(n);
    since_poll += n;
    if (since_poll >= kPollBytes) {
      since_poll = 0;
      poll();
    }
  }
  while (!utf8.empty()) {
    const std::size_t n = trailing_space(utf8);
    if (n == 0) break;
    utf8.remove_suffix(n);
    since_poll += n;
    if (since_poll >= kPollBytes) {
      since_poll = 0;
      poll();
    }
  }
  return utf8;
}

// Where the run of bytes satisfying `keep` that starts at `from` ends.
template <class Keep>
std::size_t run_end(std::string_view s, std::size_t from, Keep keep, const Poll& poll) {
  while (from < s.size()) {
    const std::size_t stop = std::min(s.size(), from + kPollBytes);
    while (from < stop && keep(s[from])) ++from;
    if (from < stop) break;
    poll();
  }
  return from;
}

// Texts longer than this take the path of parse_long_number, whose every
// scan calls the poll hook; no number text this short needs it.
constexpr std::size_t kLongNumber = 1024;

// Significant digits kept of a longer significand, plus one nonzero digit
// for any nonzero rest. The decimal value of a midpoint between two doubles
// has at most 767 significant digits, so a value cut there rounds to the
// same double as the whole one.
constexpr std::size_t kSignificantDigits = 800;

// parse_number's answer for a long kept text (no point: `integer`): the same
// grammar as parse_int64 and parse_double, over scans that call `poll`, and
// then a short text of the same value for them: the significand without its
// leading zeros, cut as above, in exponent form.
ParsedNumber parse_long_number(std::string_view number, bool has_point, const Poll& poll) {
  const bool negative = number.front() == '-';
  if (negative) number.remove_prefix(1);
  const std::size_t integer_end = run_end(number, 0, is_digit, poll);
  std::size_t end = integer_end;
  if (has_point && end < number.size() && number[end] == '.') {
    end = run_end(number, end + 1, is_digit, poll);
  }
  if (end != number.size()) return {};  // '(', ')', '-' or a second '.' inside
  const std::string_view integer = number.substr(0, integer_end);
  const std::string_view fraction =
      has_point ? number.substr(std::min(integer_end + 1, number.size())) : std::string_view();
  const auto is_zero = [](char c) { return c == '0'; };
  const std::string_view significant = integer.substr(run_end(integer, 0, is_zero, poll));
  std::string compact(negative ? "-" : "");
  if (!has_point) {
    // Twenty digits and more are at least 10**19, past 2**63: nothing.
    if (significant.size() > 19) return {};
    compact.append(significant.empty() ? "0" : significant);
    return integer_or_clamped(compact);
  }
  if (integer.empty() && fraction.empty()) return {};
  // The significand's digits in order, from the first nonzero one, and the
  // decimal exponent of that digit.
  std::string_view head = significant;
  std::string_view tail = fraction;
  std::int64_t exponent = static_cast<std::int64_t>(significant.size()) - 1;
  if (head.empty()) {
    const std::size_t zeros = run_end(fraction, 0, is_zero, poll);
    if (zeros == fraction.size()) return negative ? -0.0 : 0.0;
    head = fraction.substr(zeros);
    tail = {};
    exponent = -static_cast<std::int64_t>(zeros) - 1;
  }
  compact.push_back(head.front());
  compact.push_back('.');
  std::size_t kept = 1;
  for (std::string_view part : {head.substr(1), tail}) {
    const std::string_view taken = part.substr(0, kSignificantDigits - kept);
    compact.append(taken);
    kept += taken.size();
    part.remove_prefix(taken.size());
    if (run_end(part, 0, is_zero, poll) != part.size()) {
      compact.push_back('1');  // the nonzero rest
      break;
    }
  }
  compact.push_back('e');
  compact.append(std::to_string(exponent));
  if (const std::optional<double> real = parse_double(compact)) return *real;
  return {};
}
}  // namespace

std::string_view trim_unicode_whitespace(std::string_view utf8) noexcept {
  return trimmed(utf8, [] {});
}

std::optional<std::string> strip_numeric_formatting(std::string_view utf8, const Poll& poll) {
  // Every path returns `result`, so it is built in the caller's slot and the
  // text is never moved (a short text lives inside the string object).
  std::optional<std::string> result;
  std::string_view text = trimmed(utf8, poll);
  if (text.empty()) return result;

  // Accounting negative, recognised once: "((5))" keeps its inner pair.
  const bool negative = text.front() == '(' && text.back() == ')';
  if (negative) {
    text = trimmed(text.substr(1, text.size() - 2), poll);
    if (text.empty()) return result;
  }

  // One pass into one buffer, the sign written first so the result is never
  // copied again to prefix it.
  const std::size_t sign_length = negative ? 1 : 0;
  std::string& out = result.emplace();
  out.resize_and_overwrite(sign_length + text.size(), [&](char* buffer, std::size_t) {
    buffer[0] = '-';  // overwritten by the first character when not negative
    std::size_t length = sign_length;
    for (std::size_t at = 0; at < text.size(); at += kPollBytes) {
      if (at > 0) poll();
      for (const char c : text.substr(at, kPollBytes)) {
        buffer[length] = c;
        length += c != ',' ? 1 : 0;
      }
    }
    return length;
  });
  if (out.size() == sign_length) {
    result.reset();
    return result;
  }

  if (out.back() == '%') {
    const std::string_view digits(out.data() + sign_length, out.size() - sign_length - 1);
    const std::string_view rest = trimmed(digits, poll);
    if (rest.empty()) {
      result.reset();
      return result;
    }
    const auto begin = static_cast<std::size_t>(rest.data() - out.data());
    out.resize(begin + rest.size());
    out.erase(sign_length, begin - sign_length);
  }
  return result;
}

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

  // Correctly rounded for any length, but takes no '+'.
  double value = 0.0;
  const auto [end, error] = decimal_from_chars(negative ? first : body, last, value);
  if (end != last) return std::nullopt;  // cannot happen after the checks above
  if (error == std::errc()) return value;
  if (error != std::errc::result_out_of_range) return std::nullopt;
  // Out of range leaves `value` unset. The result then rounds to an infinity or
  // to zero; which one follows from the magnitude's decimal exponent, since
  // overflow needs it to be at least 308 and underflow at most -324.
  const double magnitude =
      leading_exponent(body, last) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -magnitude : magnitude;
}

ParsedNumber parse_number(std::string_view utf8, const Poll& poll) {
  // The kept text is never longer than the input: short inputs filter into the
  // stack, long ones into one heap buffer.
  constexpr std::size_t kInlineCapacity = 64;
  char inline_buffer[kInlineCapacity];
  std::string heap_buffer;
  char* kept = inline_buffer;
  if (utf8.size() > kInlineCapacity) {
    heap_buffer.resize(utf8.size());
    kept = heap_buffer.data();
  }
  std::size_t length = 0;
  bool has_point = false;
  for (std::size_t at = 0; at < utf8.size(); at += kPollBytes) {
    if (at > 0) poll();
    for (const char c : utf8.substr(at, kPollBytes)) {
      const std::uint8_t byte_class = kByteClass[static_cast<unsigned char>(c)];
      kept[length] = c;
      length += byte_class & 1U;
      has_point |= (byte_class & 2U) != 0;
    }
  }
  if (length == 0) return {};

  // The kept text holds no whitespace, commas or '%', so of the shared
  // formatting rules only the parentheses can act: "(x)" becomes "-x", written
  // in place over the '('.
  std::string_view number(kept, length);
  if (kept[0] == '(' && kept[length - 1] == ')') {
    if (length == 2) return {};
    kept[0] = '-';
    number = std::string_view(kept, length - 1);
  }
  if (number.size() > kLongNumber) return parse_long_number(number, has_point, poll);

  if (has_point) {
    if (const std::optional<double> real = parse_double(number)) return *real;
    return {};
  }
  return integer_or_clamped(number);
}

}  // namespace vesk::numparse
