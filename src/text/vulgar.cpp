#include "text/vulgar.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "numparse/numparse.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace vesk::text {
namespace {

struct Fraction {
  char32_t cp;
  double value;
};

// The fifteen characters that are rewritten. U+2150..U+2152 (sevenths,
// ninths, tenths), U+215F (numerator one) and U+2189 (zero thirds) are left
// alone on purpose.
constexpr Fraction kFractions[] = {
    {U'\u00BC', 0.25},    {U'\u00BD', 0.5},     {U'\u00BE', 0.75},    {U'\u2153', 1.0 / 3},
    {U'\u2154', 2.0 / 3}, {U'\u2155', 0.2},     {U'\u2156', 0.4},     {U'\u2157', 0.6},
    {U'\u2158', 0.8},     {U'\u2159', 1.0 / 6}, {U'\u215A', 5.0 / 6}, {U'\u215B', 0.125},
    {U'\u215C', 0.375},   {U'\u215D', 0.625},   {U'\u215E', 0.875},
};

void append_class_item(std::string& out, char32_t first, char32_t last) {
  char buf[32];
  int n = first == last ? std::snprintf(buf, sizeof buf, "\\x{%X}", static_cast<unsigned>(first))
                        : std::snprintf(buf, sizeof buf, "\\x{%X}-\\x{%X}",
                                        static_cast<unsigned>(first), static_cast<unsigned>(last));
  out.append(buf, static_cast<std::size_t>(n));
}

template <class Ranges>
std::string character_class(const Ranges& ranges) {
  std::string out = "[";
  for (const CodePointRange& r : ranges) append_class_item(out, r.first, r.last);
  out += ']';
  return out;
}

std::string pcre2_message(int code) {
  PCRE2_UCHAR buf[256];
  int n = pcre2_get_error_message(code, buf, sizeof buf);
  return n < 0 ? "error " + std::to_string(code)
               : std::string(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
}

// The fraction table and the compiled pattern, built on first use and kept for
// the life of the process (never freed, so no call can see them go away).
class FractionMatcher {
 public:
  FractionMatcher() {
    for (const Fraction& f : kFractions) table_.emplace(f.cp, f.value);
    compile();
  }

  // Value of a fraction character; the class holds only table entries.
  [[nodiscard]] const double* value_of(char32_t cp) const {
    auto found = table_.find(cp);
    return found == table_.end() ? nullptr : &found->second;
  }

  // Finds the leftmost match at or after `offset`; false when there is none.
  // `data` is the caller's own scratch space.
  bool match(std::string_view text, std::size_t offset, pcre2_match_data* data) const {
    const auto* subject = reinterpret_cast<PCRE2_SPTR>(text.data());
    // The interpreter's UTF-8 is always well-formed, so the engine's own
    // check would only cost a pass over the text per match.
    int rc = jit_ ? pcre2_jit_match(code_.get(), subject, text.size(), offset, PCRE2_NO_UTF_CHECK,
                                    data, nullptr)
                  : pcre2_match(code_.get(), subject, text.size(), offset, PCRE2_NO_UTF_CHECK, data,
                                nullptr);
    if (rc == PCRE2_ERROR_NOMATCH) return false;
    if (rc < 0) throw SanitizeFailure("fraction pattern match failed: " + pcre2_message(rc));
    return true;
  }

  [[nodiscard]] pcre2_match_data* new_match_data() const {
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code_.get(), nullptr);
    if (data == nullptr) throw std::bad_alloc();
    return data;
  }

 private:
  // Matches are a run of decimal digits (group 1, maybe empty), then white
  // space, then one fraction character (group 2). The three sets are disjoint,
  // so the quantifiers can be possessive. The two look-behinds only refuse
  // start positions that cannot be leftmost (inside a digit run, or inside a
  // white-space run when no digits follow): whichever match such a position
  // could give, one starting a character earlier gives it too. They keep the
  // search linear on long runs of digits or spaces not ended by a fraction,
  // which would otherwise be rescanned from every position (the JIT happens to
  // skip such runs by itself; the interpreter does not).
  void compile() {
    std::vector<CodePointRange> fractions;
    for (const auto& [cp, value] : table_) fractions.push_back({cp, cp});
    const std::string digit = character_class(decimal_digit_ranges());
    // The classes come from our own tables, not the engine's \d and \s, so
    // that matching does not depend on the Unicode version PCRE2 was built
    // with.
    const std::string space = character_class(white_space_ranges());
    const std::string pattern = "(?<!" + digit + ")(" + digit + "*+)(?:(?<=" + digit + ")|(?<!" +
                                space + "))" + space + "*+(" + character_class(fractions) + ")";

    int error = 0;
    PCRE2_SIZE error_offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                     PCRE2_UTF, &error, &error_offset, nullptr);
    if (code == nullptr) {
      throw SanitizeFailure("fraction pattern failed to compile at offset " +
                            std::to_string(error_offset) + ": " + pcre2_message(error));
    }
    code_.reset(code);
    // Without JIT support (or where executable memory is refused) the
    // interpreter gives the same matches, only slower.
    jit_ = pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) == 0;
  }

  struct CodeFree {
    void operator()(pcre2_code* code) const noexcept { pcre2_code_free(code); }
  };

  std::unordered_map<char32_t, double> table_;
  std::unique_ptr<pcre2_code, CodeFree> code_;
  bool jit_ = false;
};

const FractionMatcher& fraction_matcher() {
  // The construction runs no Python code and needs no interpreter lock, so
  // callers may come here with or without it: one that waits here for another
  // thread's construction never blocks a thread that waits for the lock. A
  // throwing construction leaves the static unset for the next caller.
  static const FractionMatcher* const matcher = new FractionMatcher();
  return *matcher;
}

// Counts the fifteen fractions and notes any other non-ASCII character:
// U+00BC..U+00BE are C2 BC..C2 BE in UTF-8 and U+2153..U+215E are
// E2 85 93..E2 85 9E. Runs of ASCII are skipped eight bytes at a time.
// Counts from `p` until it reaches `stop`, reading no further than `end`.
void census_stretch(const unsigned char*& p, const unsigned char* stop, const unsigned char* end,
                    FractionCensus& census) noexcept {
  while (p < stop) {
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if ((word & 0x8080808080808080u) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char lead = p[0];
    if (lead < 0x80) {
      ++p;
    } else if (lead < 0xE0) {
      const bool fraction = lead == 0xC2 && p[1] >= 0xBC && p[1] <= 0xBE;
      census.fractions += fraction;
      census.other_non_ascii |= !fraction;
      p += 2;
    } else if (lead < 0xF0) {
      const bool fraction = lead == 0xE2 && p[1] == 0x85 && p[2] >= 0x93 && p[2] <= 0x9E;
      census.fractions += fraction;
      census.other_non_ascii |= !fraction;
      p += 3;
    } else {
      census.other_non_ascii = true;
      p += 4;
    }
  }
}

// The census of the whole text; `poll` is called after about every kPollBytes.
FractionCensus census_of(std::string_view text, const Poll& poll) {
  FractionCensus census;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = p + text.size();
  while (p < end) {
    // A character may cross the stop; it is read whole (from valid UTF-8),
    // and the next stretch starts after it.
    const unsigned char* const stop =
        static_cast<std::size_t>(end - p) > kPollBytes ? p + kPollBytes : end;
    census_stretch(p, stop, end, census);
    if (p < end) poll();
  }
  return census;
}

// Value of a run of Nd digits of any script, each read by its decimal value as
// float() does; +infinity past the double range.
double digit_run_value(std::string_view run, std::string& scratch) {
  bool ascii = true;
  for (char c : run) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (!ascii) {
    scratch.clear();
    for (std::size_t pos = 0; pos < run.size();) {
      scratch.push_back(static_cast<char>('0' + decimal_digit_value(decode_utf8(run, pos))));
    }
    run = scratch;
  }
  // A run of digits always parses; a failure would be a broken invariant of
  // the pattern, and such a run counts as zero.
  return numparse::parse_double(run).value_or(0.0);
}

// Longest six-place text: 309 integer digits, the point and six decimals.
constexpr std::size_t kSixPlacesCapacity = 330;

// Writes `value` rounded to six decimal places (halves away from zero, in
// double arithmetic) to `out`, in fixed notation without trailing zeros or a
// trailing point, and returns the length: 4.75 -> "4.75", 1.0/3 ->
// "0.333333", 7.0 -> "7"; +infinity -> "inf". Meant for the non-negative
// values that the rewriting produces.
std::size_t write_six_places(double value, char* out) {
  // Past about 1.8e302 the scaling itself overflows; such values are whole
  // numbers already, so rounding to six places leaves them as they are.
  const double scaled = value * 1e6;
  const double rounded = std::isinf(scaled) ? value : std::round(scaled) / 1e6;
  if (std::isinf(rounded)) {
    std::memcpy(out, rounded < 0 ? "-inf" : "inf", rounded < 0 ? 4 : 3);
    return rounded < 0 ? 4 : 3;
  }
  const auto [end, ec] =
      std::to_chars(out, out + kSixPlacesCapacity, rounded, std::chars_format::fixed, 6);
  std::size_t length = static_cast<std::size_t>(end - out);
  while (length > 0 && out[length - 1] == '0') --length;
  while (length > 0 && out[length - 1] == '.') --length;
  return length;
}

// Matches between two calls of the poll hook: about a millisecond of work on
// a text made of fractions only.
constexpr unsigned kPollMatches = 4096;

}  // namespace

FractionCensus take_fraction_census(std::string_view utf8, const Poll& poll) {
  return census_of(utf8, poll);
}

std::size_t sanitized_bound(std::string_view utf8, const FractionCensus& census) noexcept {
  return utf8.size() + 7 * census.fractions;
}

std::size_t sanitize_vulgar_into(std::string_view utf8, std::span<char> out, const Poll& poll) {
  char* cursor = out.data();
  char* const out_end = out.data() + out.size();
  auto put = [&](const char* bytes, std::size_t count) {
    if (count > static_cast<std::size_t>(out_end - cursor)) {
      throw SanitizeFailure("sanitised text outgrew the room computed for it");
    }
    std::memcpy(cursor, bytes, count);
    cursor += count;
  };

  const FractionMatcher& matcher = fraction_matcher();
  std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> data(matcher.new_match_data(),
                                                                           &pcre2_match_data_free);
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());

  // One pass: the text up to each match is copied, then its replacement is
  // written, so nothing is kept per match.
  std::string scratch;
  char number[1 + kSixPlacesCapacity];
  std::size_t copied = 0;  // the input before this offset is in `out`
  std::size_t next_poll = kPollBytes;
  unsigned matches_since_poll = 0;
  for (std::size_t offset = 0; matcher.match(utf8, offset, data.get());) {
    const std::size_t begin = ovector[0], end = ovector[1];
    const std::string_view digits = utf8.substr(ovector[2], ovector[3] - ovector[2]);
    std::size_t fraction_pos = ovector[4];
    const double* fraction = matcher.value_of(decode_utf8(utf8, fraction_pos));
    offset = end;                       // matches are never empty
    if (fraction == nullptr) continue;  // left as it is

    put(utf8.data() + copied, begin - copied);
    copied = end;
    std::size_t length = 0;
    if (!digits.empty()) {
      length = write_six_places(digit_run_value(digits, scratch) + *fraction, number);
    } else {
      // Keeps the decimal apart from a word it would otherwise be glued to.
      if (begin != 0) number[length++] = ' ';
      length += write_six_places(*fraction, number + length);
    }
    put(number, length);

    if (++matches_since_poll == kPollMatches || end >= next_poll) {
      poll();
      matches_since_poll = 0;
      next_poll = end + kPollBytes;
    }
  }
  put(utf8.data() + copied, utf8.size() - copied);
  return static_cast<std::size_t>(cursor - out.data());
}

std::string sanitize_vulgar(std::string_view utf8) {
  const FractionCensus census = census_of(utf8, Poll());
  if (census.fractions == 0) return std::string(utf8);
  std::string result;
  result.resize_and_overwrite(sanitized_bound(utf8, census), [&](char* out, std::size_t room) {
    return sanitize_vulgar_into(utf8, {out, room});
  });
  return result;
}

}  // namespace vesk::text
