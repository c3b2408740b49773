// uncamel and underscore_to_camelcase on well-formed UTF-8: the output is
// well-formed UTF-8, and on ASCII input both equal a plain ASCII model (so
// ASCII gives ASCII, and the output length is the input length plus the
// underscores written, or minus the underscores dropped).
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_util.hpp"
#include "text/case.hpp"

namespace {

bool upper(char c) {
  return c >= 'A' && c <= 'Z';
}
bool lower(char c) {
  return c >= 'a' && c <= 'z';
}
bool digit(char c) {
  return c >= '0' && c <= '9';
}
char to_lower(char c) {
  return upper(c) ? static_cast<char>(c - 'A' + 'a') : c;
}
char to_upper(char c) {
  return lower(c) ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string ascii_uncamel(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (!upper(c)) {
      out += c;
      continue;
    }
    if (i > 0) {
      const char prev = s[i - 1];
      const bool next_lower = i + 1 < s.size() && lower(s[i + 1]);
      if (lower(prev) || digit(prev) || (upper(prev) && next_lower)) out += '_';
    }
    out += to_lower(c);
  }
  return out;
}

std::string ascii_underscore_to_camelcase(std::string_view s) {
  std::string out;
  bool after_underscore = false;
  for (char c : s) {
    if (c == '_') {
      after_underscore = true;
      continue;
    }
    out += after_underscore && !out.empty() ? to_upper(c) : to_lower(c);
    after_underscore = false;
  }
  return out;
}

bool is_ascii(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

std::size_t count(std::string_view s, char wanted) {
  std::size_t n = 0;
  for (char c : s) n += c == wanted;
  return n;
}

void check_text(const std::string& text) {
  const std::string snake = vesk::text::uncamel(text);
  const std::string camel = vesk::text::underscore_to_camelcase(text);

  fuzz::check(fuzz::is_valid_utf8(snake), "uncamel gave ill-formed UTF-8", text, snake);
  fuzz::check(fuzz::is_valid_utf8(camel), "underscore_to_camelcase gave ill-formed UTF-8", text,
              camel);
  // Case mappings never produce an underscore, so only the rule writes or drops them.
  fuzz::check(count(camel, '_') == 0, "underscore_to_camelcase kept an underscore", text, camel);
  fuzz::check(count(snake, '_') >= count(text, '_'), "uncamel dropped an underscore", text, snake);
  // A code point maps to at most three, plus one underscore in front.
  const std::size_t n = fuzz::code_points(text).size();
  fuzz::check(fuzz::code_points(snake).size() <= 4 * n, "uncamel output too long", text, snake);
  fuzz::check(fuzz::code_points(camel).size() <= 3 * n, "camel output too long", text, camel);

  if (is_ascii(text)) {
    const std::string want_snake = ascii_uncamel(text);
    const std::string want_camel = ascii_underscore_to_camelcase(text);
    fuzz::check(snake == want_snake, "uncamel on ASCII", text, snake, want_snake);
    fuzz::check(camel == want_camel, "underscore_to_camelcase on ASCII", text, camel, want_camel);
    fuzz::check(snake.size() == text.size() + count(snake, '_') - count(text, '_'),
                "uncamel length on ASCII", text, snake);
    fuzz::check(camel.size() == text.size() - count(text, '_'),
                "underscore_to_camelcase length on ASCII", text, camel);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_text(fuzz::to_valid_utf8(data, size));
  // The same bytes folded onto letters, digits and underscores, so that the
  // exact ASCII comparison runs on every input.
  std::string ascii;
  for (std::size_t i = 0; i < size; ++i) ascii += "abAB_09zZ_y-Y"[data[i] % 13];
  check_text(ascii);
  return 0;
}
