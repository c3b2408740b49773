// Decimal text to the nearest double, on every standard library.
#pragma once

#include <charconv>

namespace vesk {

// Converts the decimal number at [first, last) like std::from_chars in the
// general format, correctly rounded (ties to even) for any number of digits:
// an optional '-', digits with an optional '.', an optional exponent; no '+'.
// A value beyond double's range comes back either as result_out_of_range
// (value untouched) or as a success holding the infinity or zero it rounds
// to, depending on the converter the build found, so a caller takes both.
std::from_chars_result decimal_from_chars(const char* first, const char* last,
                                          double& value) noexcept;

}  // namespace vesk
