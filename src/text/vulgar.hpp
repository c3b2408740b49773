// Rewriting of the Unicode vulgar-fraction characters as plain decimals.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace vesk::text {

// Replaces every one of the fifteen vulgar fractions U+00BC..U+00BE and
// U+2153..U+215E, together with the run of decimal digits (general category
// Nd, any script) and the white space written right before it, by the
// six-place decimal of the run's value plus the fraction: "4 ¾" -> "4.75".
// A fraction with no digits before it that does not open the text gets one
// space in front of it ("x½" -> "x 0.5"). `utf8` must be valid UTF-8; the
// result is always a new text (equal to the input when it holds no fraction).
// Throws FractionPatternError only if the fixed pattern cannot be compiled or
// the engine refuses to match, which means the build is broken.
std::string sanitize_vulgar(std::string_view utf8);

// `value` rounded to six decimal places (halves away from zero, in double
// arithmetic), written in fixed notation without trailing zeros or a trailing
// point: 4.75 -> "4.75", 1.0/3 -> "0.333333", 7.0 -> "7"; +infinity -> "inf".
// Meant for the non-negative values that sanitize_vulgar produces.
std::string format_six_places(double value);

// The regular-expression engine failed on the fixed fraction pattern.
class FractionPatternError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace vesk::text
