// The extraction of one number from loosely formatted text: the int/float
// policy of `parse`, and the exact int64 of a whole number.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "numparse/numparse.hpp"

namespace vesk::numparse {
namespace {

constexpr bool is_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}

constexpr bool is_zero(char c) noexcept {
  return c == '0';
}

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

// The kept text of a loosely formatted number: only its ASCII digits and
// "()-." in input order, surrounding parentheses turned into a leading '-'
// (the only one of the shared formatting rules that can act on it, since it
// holds no whitespace, commas or '%'). Empty when nothing is kept. Short
// inputs filter into the object itself, long ones into one heap buffer: the
// kept text is never longer than the input.
class KeptNumber {
 public:
  KeptNumber(std::string_view utf8, const Poll& poll) {
    char* kept = inline_;
    if (utf8.size() > sizeof(inline_)) {
      // (left unset: a long text's pages are touched only as it is filtered)
      heap_ = std::make_unique_for_overwrite<char[]>(utf8.size());
      kept = heap_.get();
    }
    std::size_t length = 0;
    for (std::size_t at = 0; at < utf8.size(); at += kPollBytes) {
      if (at > 0) poll();
      for (const char c : utf8.substr(at, kPollBytes)) {
        const std::uint8_t byte_class = kByteClass[static_cast<unsigned char>(c)];
        kept[length] = c;
        length += byte_class & 1U;
        has_point_ |= (byte_class & 2U) != 0;
      }
    }
    if (length == 0) return;
    if (kept[0] == '(' && kept[length - 1] == ')') {
      if (length == 2) return;  // "()": nothing left
      kept[0] = '-';            // written in place over the '('
      --length;
    }
    text_ = {kept, length};
  }
  KeptNumber(const KeptNumber&) = delete;
  KeptNumber& operator=(const KeptNumber&) = delete;

  [[nodiscard]] std::string_view text() const noexcept { return text_; }
  [[nodiscard]] bool has_point() const noexcept { return has_point_; }

 private:
  char inline_[64];
  std::unique_ptr<char[]> heap_;
  std::string_view text_;
  bool has_point_ = false;
};

// 1e0 to 1e15, all exact doubles.
constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// The commonest cells in one pass, without the kept-text copy: a plain
// decimal ("1234", "-0.25", "5.") of at most 15 digits, every byte of it
// kept, so that nothing is dropped and no parenthesis acts. Its value is
// what the general path finds: an exact int64, or (with a point) the
// correctly rounded quotient of two exact doubles, as in parse_double.
// nullopt leaves every other text to the general path.
std::optional<ParsedNumber> plain_number(std::string_view text) noexcept {
  std::size_t at = 0;
  const bool negative = !text.empty() && text[0] == '-';
  at += negative ? 1 : 0;
  std::uint64_t significand = 0;
  std::size_t digits = 0;
  std::size_t fraction_digits = 0;
  bool point = false;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (is_digit(c)) {
      significand = significand * 10 + static_cast<std::uint64_t>(c - '0');
      ++digits;
      fraction_digits += point ? 1 : 0;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return std::nullopt;
    }
    if (digits > 15) return std::nullopt;
  }
  if (digits == 0) return std::nullopt;
  if (!point) {
    const auto value = static_cast<std::int64_t>(significand);
    return ParsedNumber(negative ? -value : value);
  }
  const double value = static_cast<double>(significand) / kPowersOfTen[fraction_digits];
  return ParsedNumber(negative ? -value : value);
}

}  // namespace

ParsedNumber parse_number(std::string_view utf8, const Poll& poll) {
  if (const std::optional<ParsedNumber> plain = plain_number(utf8)) return *plain;
  const KeptNumber kept(utf8, poll);
  const std::string_view number = kept.text();
  if (number.empty()) return {};
  if (number.size() > kLongNumber) return parse_long_number(number, kept.has_point(), poll);
  if (kept.has_point()) {
    if (const std::optional<double> real = parse_double(number)) return *real;
    return {};
  }
  return integer_or_clamped(number);
}

std::optional<std::int64_t> parse_whole_number(std::string_view utf8, const Poll& poll) {
  const KeptNumber kept(utf8, poll);
  std::string_view number = kept.text();
  const bool negative = !number.empty() && number.front() == '-';
  if (negative) number.remove_prefix(1);
  // The grammar parse_number accepts: digits, then with a point kept, one
  // '.' and digits (at least one digit in all).
  const std::size_t integer_end = run_end(number, 0, is_digit, poll);
  if (kept.has_point()) {
    if (integer_end == number.size() || number[integer_end] != '.') return std::nullopt;
    const std::string_view fraction = number.substr(integer_end + 1);
    if (run_end(fraction, 0, is_digit, poll) != fraction.size()) return std::nullopt;
    if (integer_end == 0 && fraction.empty()) return std::nullopt;
    // Whole only when every digit after the point is a zero.
    if (run_end(fraction, 0, is_zero, poll) != fraction.size()) return std::nullopt;
  } else if (integer_end == 0 || integer_end != number.size()) {
    return std::nullopt;
  }
  const std::string_view integer = number.substr(0, integer_end);
  const std::string_view significant = integer.substr(run_end(integer, 0, is_zero, poll));
  // Twenty digits and more are at least 10**19, past the range.
  if (significant.size() > 19) return std::nullopt;
  char digits[21] = {'-'};
  const std::size_t sign = negative ? 1 : 0;
  significant.copy(digits + sign, significant.size());
  std::size_t length = sign + significant.size();
  if (significant.empty()) digits[length++] = '0';
  return parse_int64({digits, length});
}

}  // namespace vesk::numparse
