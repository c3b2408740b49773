// parse_double against the C library's strtod in the C locale. Texts inside
// the grammar must give exactly strtod's double (same bits, so the sign of a
// zero counts; any NaN matches any NaN); texts outside it must be refused.
#include <locale.h>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_util.hpp"
#include "numparse/numparse.hpp"

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool equals_word(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// [+-]? ( digits with at most one '.', at least one digit, then optionally
// [eE][+-]?[0-9]+ | inf | infinity | nan ), nothing else.
bool in_grammar(std::string_view t) {
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  const std::string_view rest = t.substr(i);
  if (equals_word(rest, "inf") || equals_word(rest, "infinity") || equals_word(rest, "nan")) {
    return true;
  }
  std::size_t digits = 0;
  while (i < t.size() && is_digit(t[i])) ++i, ++digits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && is_digit(t[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    const std::size_t start = i;
    while (i < t.size() && is_digit(t[i])) ++i;
    if (i == start) return false;
  }
  return i == t.size();
}

std::string bits(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%a", value);
  return buf;
}

void compare(std::string_view text) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
  const std::optional<double> got = vesk::numparse::parse_double(text);
  if (!in_grammar(text)) {
    fuzz::check(!got, "parse_double accepted a text outside the grammar", text,
                got ? bits(*got) : "", "<nullopt>");
    return;
  }
  fuzz::check(got.has_value(), "parse_double refused a grammar-valid text", text, "<nullopt>",
              "a double");
  const std::string terminated(text);
  char* end = nullptr;
  const double want = strtod_l(terminated.c_str(), &end, c_locale);
  fuzz::check(end == terminated.c_str() + terminated.size(), "strtod stopped early", text);
  const bool both_nan = *got != *got && want != want;
  fuzz::check(both_nan || std::memcmp(&*got, &want, sizeof want) == 0, "parse_double != strtod",
              text, bits(*got), bits(want));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  compare(std::string_view(reinterpret_cast<const char*>(data), size));

  // The same bytes folded onto the grammar's alphabet, so that most texts are
  // numbers: long significands, exponents near the overflow and underflow
  // limits, leading and trailing zeros.
  std::string folded;
  for (std::size_t i = 0; i < size; ++i) folded += "0123456789.e-+00009"[data[i] % 19];
  compare(folded);

  // A significand of the input's digits with an exponent taken from its first
  // two bytes, to reach halfway cases and the ends of the range often.
  if (size >= 3) {
    std::string number = (data[0] & 1) ? "-" : "";
    for (std::size_t i = 2; i < size; ++i) {
      number += static_cast<char>('0' + data[i] % 10);
      if (i == 3) number += '.';
    }
    const int exponent = static_cast<int>(((data[0] >> 1) | (data[1] << 7)) % 700) - 350;
    number += 'e' + std::to_string(exponent);
    compare(number);
  }
  return 0;
}
