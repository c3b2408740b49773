// sanitize_vulgar against a plain scanner written from the rule: at each
// position, the longest run of Nd digits, then the longest run of white space,
// then one of the fifteen fractions, or no match there; matches are taken
// leftmost first and never overlap. Also: the output is well-formed UTF-8 and
// holds none of the fifteen fractions.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_util.hpp"
#include "numparse/numparse.hpp"
#include "text/unicode.hpp"
#include "text/vulgar.hpp"

namespace {

double fraction_value(char32_t cp) {
  switch (cp) {
    case 0xBC:
      return 0.25;
    case 0xBD:
      return 0.5;
    case 0xBE:
      return 0.75;
    case 0x2153:
      return 1.0 / 3;
    case 0x2154:
      return 2.0 / 3;
    case 0x2155:
      return 0.2;
    case 0x2156:
      return 0.4;
    case 0x2157:
      return 0.6;
    case 0x2158:
      return 0.8;
    case 0x2159:
      return 1.0 / 6;
    case 0x215A:
      return 5.0 / 6;
    case 0x215B:
      return 0.125;
    case 0x215C:
      return 0.375;
    case 0x215D:
      return 0.625;
    case 0x215E:
      return 0.875;
    default:
      return -1;
  }
}

bool is_white_space(char32_t cp) {
  return fuzz::in_ranges(cp, vesk::text::white_space_ranges());
}

// Six places, halves away from zero, trailing zeros and point removed.
std::string six_places(double v) {
  const double scaled = v * 1e6;
  const double rounded = std::isinf(scaled) ? v : std::round(scaled) / 1e6;
  if (std::isinf(rounded)) return "inf";
  std::vector<char> buf(400);
  std::snprintf(buf.data(), buf.size(), "%.6f", rounded);
  std::string out(buf.data());
  while (!out.empty() && out.back() == '0') out.pop_back();
  while (!out.empty() && out.back() == '.') out.pop_back();
  return out;
}

std::string model(std::string_view utf8) {
  const std::vector<char32_t> cps = fuzz::code_points(utf8);
  std::string out;
  std::size_t i = 0;
  while (i < cps.size()) {
    std::size_t j = i;
    std::string digits;  // each Nd digit by its decimal value
    while (j < cps.size() && vesk::text::decimal_digit_value(cps[j]) >= 0) {
      digits += static_cast<char>('0' + vesk::text::decimal_digit_value(cps[j++]));
    }
    while (j < cps.size() && is_white_space(cps[j])) ++j;
    if (j < cps.size() && fraction_value(cps[j]) >= 0) {
      const double f = fraction_value(cps[j]);
      if (!digits.empty()) {
        out += six_places(std::strtod(digits.c_str(), nullptr) + f);
      } else {
        if (i != 0) out += ' ';
        out += six_places(f);
      }
      i = j + 1;
    } else {
      fuzz::append_utf8(out, cps[i]);
      ++i;
    }
  }
  return out;
}

bool holds_fraction(std::string_view utf8) {
  for (char32_t cp : fuzz::code_points(utf8)) {
    if (fraction_value(cp) >= 0) return true;
  }
  return false;
}

void check_text(const std::string& text) {
  const std::string got = vesk::text::sanitize_vulgar(text);
  fuzz::check(fuzz::is_valid_utf8(got), "sanitize_vulgar gave ill-formed UTF-8", text, got);
  fuzz::check(!holds_fraction(got), "sanitize_vulgar left a fraction", text, got);
  const std::string want = model(text);
  fuzz::check(got == want, "sanitize_vulgar", text, got, want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_text(fuzz::to_valid_utf8(data, size));
  // Folded onto digits, spaces and fractions, where matches are dense.
  static const char* const kPieces[] = {"1",      "9",      "0",      " ",      "\t",
                                        "x",      ".",      "\u00bd", "\u2153", "\u215e",
                                        "\u00a0", "\u3000", "\u0663", "\u2150", "-"};
  std::string dense;
  for (std::size_t i = 0; i < size; ++i) dense += kPieces[data[i] % 15];
  check_text(dense);
  return 0;
}
