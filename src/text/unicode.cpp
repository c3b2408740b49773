#include "text/unicode.hpp"

#include "text/unicode_tables.hpp"

namespace vesk::text {

int decimal_digit_value(char32_t cp) noexcept {
  if (cp < 0x80) return cp - U'0' < 10 ? static_cast<int>(cp - U'0') : -1;
  return tables::record_for(cp).digit;
}

}  // namespace vesk::text
