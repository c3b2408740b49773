// The numeric formatting rules against a plain model written from their
// description: trimming, strip_numeric_formatting, parse_int64 and the
// int/float policy of parse_number.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "fuzz_util.hpp"
#include "numparse/numparse.hpp"
#include "text/unicode.hpp"

namespace {

using vesk::numparse::ParsedNumber;

// White_Space as the generated tables have it (they are checked against the
// UCD files elsewhere): the model of trimming, and what the hand-written
// byte matcher of trim_unicode_whitespace is swept against at start-up.
bool is_white_space(char32_t cp) {
  return fuzz::in_ranges(cp, vesk::text::white_space_ranges());
}

std::u32string decode(std::string_view utf8) {
  std::u32string out;
  for (char32_t cp : fuzz::code_points(utf8)) out += cp;
  return out;
}

std::string encode(std::u32string_view cps) {
  std::string out;
  for (char32_t cp : cps) fuzz::append_utf8(out, cp);
  return out;
}

std::u32string model_trim(std::u32string_view t) {
  std::size_t begin = 0, end = t.size();
  while (begin < end && is_white_space(t[begin])) ++begin;
  while (end > begin && is_white_space(t[end - 1])) --end;
  return std::u32string(t.substr(begin, end - begin));
}

std::optional<std::string> model_strip(std::string_view utf8) {
  std::u32string t = model_trim(decode(utf8));
  if (t.empty()) return std::nullopt;
  bool negative = false;
  if (t.front() == U'(' && t.back() == U')') {
    t = model_trim(std::u32string_view(t).substr(1, t.size() - 2));
    negative = true;
    if (t.empty()) return std::nullopt;
  }
  std::u32string u;
  for (char32_t c : t) {
    if (c != U',') u += c;
  }
  if (u.empty()) return std::nullopt;
  if (u.back() == U'%') {
    u = model_trim(std::u32string_view(u).substr(0, u.size() - 1));
    if (u.empty()) return std::nullopt;
  }
  return (negative ? "-" : "") + encode(u);
}

std::optional<std::int64_t> model_int64(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  __int128 value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > (__int128{1} << 64)) return std::nullopt;  // far out of range already
  }
  if (negative) value = -value;
  if (value < INT64_MIN || value > INT64_MAX) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

// parse_number by its description, built on the (separately fuzzed) strict
// conversions.
ParsedNumber model_parse_number(std::string_view utf8) {
  std::string kept;
  for (char c : utf8) {
    if ((c >= '0' && c <= '9') || c == '(' || c == ')' || c == '-' || c == '.') kept += c;
  }
  if (kept.empty()) return {};
  const std::optional<std::string> number = model_strip(kept);
  if (!number) return {};
  if (kept.find('.') != std::string::npos) {
    if (auto real = vesk::numparse::parse_double(*number)) return *real;
    return {};
  }
  if (auto integer = vesk::numparse::parse_int64(*number)) return *integer;
  const std::optional<double> real = vesk::numparse::parse_double(*number);
  if (!real || !(*real >= -0x1p63 && *real <= 0x1p63)) return {};
  if (*real == 0x1p63) return INT64_MAX;
  return static_cast<std::int64_t>(*real);
}

std::string show(const ParsedNumber& n) {
  if (std::holds_alternative<std::int64_t>(n)) return "int " + std::to_string(std::get<1>(n));
  if (std::holds_alternative<double>(n)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "float %a", std::get<2>(n));
    return buf;
  }
  return "nothing";
}

bool same(const ParsedNumber& a, const ParsedNumber& b) {
  if (a.index() != b.index()) return false;
  if (a.index() == 2) {
    const double x = std::get<2>(a), y = std::get<2>(b);
    return (x != x && y != y) || std::memcmp(&x, &y, sizeof x) == 0;
  }
  return a == b;
}

}  // namespace

// Every code point, alone and between letters, at either end: trimmed
// exactly when it has the White_Space property.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::string alone;
    fuzz::append_utf8(alone, cp);
    const bool space = is_white_space(cp);
    const std::string_view want_alone = space ? std::string_view() : std::string_view(alone);
    fuzz::check(vesk::numparse::trim_unicode_whitespace(alone) == want_alone,
                "trim_unicode_whitespace of one code point", alone);
    const std::string before = alone + "x", after = "x" + alone, inside = "x" + alone + "x";
    fuzz::check(vesk::numparse::trim_unicode_whitespace(before) ==
                    (space ? std::string_view("x") : std::string_view(before)),
                "trim_unicode_whitespace at the start", before);
    fuzz::check(vesk::numparse::trim_unicode_whitespace(after) ==
                    (space ? std::string_view("x") : std::string_view(after)),
                "trim_unicode_whitespace at the end", after);
    fuzz::check(vesk::numparse::trim_unicode_whitespace(inside) == inside,
                "trim_unicode_whitespace inside", inside);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = fuzz::to_valid_utf8(data, size);

  const std::string_view trimmed = vesk::numparse::trim_unicode_whitespace(text);
  fuzz::check(
      trimmed.data() >= text.data() && trimmed.data() + trimmed.size() <= text.data() + text.size(),
      "trim_unicode_whitespace left the input", text);
  const std::string want_trim = encode(model_trim(decode(text)));
  fuzz::check(trimmed == want_trim, "trim_unicode_whitespace", text, trimmed, want_trim);

  const std::optional<std::string> stripped = vesk::numparse::strip_numeric_formatting(text);
  const std::optional<std::string> want_strip = model_strip(text);
  fuzz::check(stripped == want_strip, "strip_numeric_formatting", text,
              stripped.value_or("<nullopt>"), want_strip.value_or("<nullopt>"));
  fuzz::check(!stripped || !stripped->empty(), "strip_numeric_formatting gave empty text", text);

  // The strict integer conversion on the raw bytes and on the same bytes
  // folded onto its own alphabet, where valid texts are common.
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  std::string folded;
  for (std::size_t i = 0; i < size; ++i) folded += "0123456789+-9x"[data[i] % 14];
  for (std::string_view candidate : {raw, std::string_view(folded)}) {
    const auto got = vesk::numparse::parse_int64(candidate);
    const auto want = model_int64(candidate);
    fuzz::check(got == want, "parse_int64", candidate, got ? std::to_string(*got) : "<nullopt>",
                want ? std::to_string(*want) : "<nullopt>");
  }

  std::string numeric;  // parse_number's own characters, mostly
  for (std::size_t i = 0; i < size; ++i) numeric += "0123456789().-,%9 $"[data[i] % 19];
  for (std::string_view candidate : {std::string_view(text), std::string_view(numeric)}) {
    const ParsedNumber got = vesk::numparse::parse_number(candidate);
    const ParsedNumber want = model_parse_number(candidate);
    fuzz::check(same(got, want), "parse_number", candidate, show(got), show(want));
  }
  return 0;
}
