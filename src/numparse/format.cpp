// The shared formatting rules: trimming of the Unicode White_Space
// characters and the stripping of accounting and thousands formatting.
#include <optional>
#include <string>
#include <string_view>

#include "numparse/numparse.hpp"

namespace vesk::numparse {
namespace {

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

}  // namespace vesk::numparse
