// Layout of the generated character tables (src/text/unicode_tables.cpp).
// Internal to src/text; everything else uses text/unicode.hpp.
#pragma once

#include <cstdint>
#include <span>

#include "text/unicode.hpp"

namespace vesk::text::tables {

// Code points from here on have no properties and no mappings.
inline constexpr char32_t kLimit = 0x20000;

// Record flags; keep in step with tools/gen_unicode_tables.py.
inline constexpr std::uint8_t kUppercase = 1;
inline constexpr std::uint8_t kLowercase = 2;
inline constexpr std::uint8_t kLowerSpecial = 4;  // `lower` indexes the special mappings
inline constexpr std::uint8_t kUpperSpecial = 8;  // `upper` indexes the special mappings

// The case data that a run of code points shares: mappings are stored as
// deltas so that, e.g., all of A-Z (delta +32) use one record.
struct CaseRecord {
  std::uint8_t flags;
  std::int8_t digit;  // Nd value 0..9, or -1
  std::int32_t lower;
  std::int32_t upper;
};

// A mapping to two or three code points.
struct SpecialMapping {
  std::uint8_t length;
  char32_t cps[3];
};

// The record of any char32_t (an empty record from kLimit on).
const CaseRecord& record_for(char32_t cp) noexcept;

const SpecialMapping& special_mapping(std::int32_t index) noexcept;

}  // namespace vesk::text::tables
