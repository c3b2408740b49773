#include "base/decimal.hpp"

// The build chooses the converter: fast_float where it is found (the
// algorithm behind libstdc++'s own floating-point from_chars, header-only),
// else the standard library's from_chars where it has one for double (libc++
// 19 and Apple's libc++ have none). Both are exact; the build stops with a
// message when neither is there.
#if defined(VESK_HAVE_FAST_FLOAT) && VESK_HAVE_FAST_FLOAT
#include <fast_float/fast_float.h>
#endif

namespace vesk {

std::from_chars_result decimal_from_chars(const char* first, const char* last,
                                          double& value) noexcept {
#if defined(VESK_HAVE_FAST_FLOAT) && VESK_HAVE_FAST_FLOAT
  const fast_float::from_chars_result result =
      fast_float::from_chars(first, last, value, fast_float::chars_format::general);
  return {result.ptr, result.ec};
#else
  return std::from_chars(first, last, value, std::chars_format::general);
#endif
}

}  // namespace vesk
