// Rewriting of the Unicode vulgar-fraction characters as plain decimals.
#pragma once

#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/poll.hpp"

namespace vesk::text {

// Replaces every one of the fifteen vulgar fractions U+00BC..U+00BE and
// U+2153..U+215E, together with the run of decimal digits (general category
// Nd, any script) and the white space written right before it, by the
// six-place decimal of the run's value plus the fraction: "4 ¾" -> "4.75".
// A fraction with no digits before it that does not open the text gets one
// space in front of it ("x½" -> "x 0.5"). `utf8` must be valid UTF-8; the
// result is always a new text (equal to the input when it holds no fraction).
std::string sanitize_vulgar(std::string_view utf8);

// What one quick pass over a text tells before it is sanitised. `poll` is
// called between chunks of the input.
struct FractionCensus {
  std::size_t fractions = 0;     // how many of the fifteen characters it holds
  bool other_non_ascii = false;  // whether it holds any other non-ASCII one
};
FractionCensus take_fraction_census(std::string_view utf8, const Poll& poll = {});

// Room that sanitize_vulgar_into needs for `utf8`: each fraction is matched
// exactly once, and a match's replacement is at most 7 bytes longer than the
// match (" 0.833333" for a 2-byte fraction alone).
std::size_t sanitized_bound(std::string_view utf8, const FractionCensus& census) noexcept;

// The same rewriting, written into `out`, which must have the room that
// sanitized_bound gives; returns the length written. When the census found
// no other non-ASCII character, the result is pure ASCII. `poll` is called
// between chunks of the input.
std::size_t sanitize_vulgar_into(std::string_view utf8, std::span<char> out, const Poll& poll = {});

// A broken invariant of the rewriting: the fixed pattern does not compile or
// the engine refuses to match, or a result outgrew the room computed for it.
// It means the build is broken; no input text causes it.
class SanitizeFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace vesk::text
