#include "text/unicode.hpp"

#include "text/unicode_tables.hpp"

namespace vesk::text {

namespace {

// Expands one mapping field of a record: a delta, or a special mapping.
int expand(char32_t cp, bool special, std::int32_t value, char32_t out[3]) noexcept {
  if (!special) {
    out[0] = static_cast<char32_t>(static_cast<std::int32_t>(cp) + value);
    return 1;
  }
  const tables::SpecialMapping& mapping = tables::special_mapping(value);
  for (int i = 0; i < mapping.length; ++i) out[i] = mapping.cps[i];
  return mapping.length;
}

}  // namespace

bool is_uppercase(char32_t cp) noexcept {
  if (cp < 0x80) return cp - U'A' < 26;
  return (tables::record_for(cp).flags & tables::kUppercase) != 0;
}

bool is_lowercase(char32_t cp) noexcept {
  if (cp < 0x80) return cp - U'a' < 26;
  return (tables::record_for(cp).flags & tables::kLowercase) != 0;
}

int to_lower_full(char32_t cp, char32_t out[3]) noexcept {
  if (cp < 0x80) {
    out[0] = cp - U'A' < 26 ? cp + 0x20 : cp;
    return 1;
  }
  const tables::CaseRecord& record = tables::record_for(cp);
  return expand(cp, (record.flags & tables::kLowerSpecial) != 0, record.lower, out);
}

int to_upper_full(char32_t cp, char32_t out[3]) noexcept {
  if (cp < 0x80) {
    out[0] = cp - U'a' < 26 ? cp - 0x20 : cp;
    return 1;
  }
  const tables::CaseRecord& record = tables::record_for(cp);
  return expand(cp, (record.flags & tables::kUpperSpecial) != 0, record.upper, out);
}

int decimal_digit_value(char32_t cp) noexcept {
  if (cp < 0x80) return cp - U'0' < 10 ? static_cast<int>(cp - U'0') : -1;
  return tables::record_for(cp).digit;
}

bool is_white_space(char32_t cp) noexcept {
  return (tables::record_for(cp).flags & tables::kWhiteSpace) != 0;
}

}  // namespace vesk::text
