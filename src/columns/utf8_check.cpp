#include "columns/utf8_check.hpp"

#include <algorithm>
#include <bit>

namespace vesk::columns {

std::size_t utf8_error_at(const char* bytes, std::size_t size) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  std::size_t i = 0;
  while (i < size) {
    // Runs of ASCII go eight bytes at a time; a word's first non-ASCII byte
    // is found from its high bits (the lowest byte first, in memory order).
    if (p[i] < 0x80) {
      while (i + 8 <= size) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        const std::uint64_t high = w & 0x8080808080808080ull;
        if (high != 0) {
          if constexpr (std::endian::native == std::endian::little)
            i += static_cast<std::size_t>(std::countr_zero(high)) / 8;
          break;
        }
        i += 8;
      }
      while (i < size && p[i] < 0x80) ++i;
      continue;
    }
    const unsigned char lead = p[i];
    std::size_t need;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      need = 2;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      need = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
      return i;
    }
    if (size - i <= need) return i;
    if (p[i + 1] < low || p[i + 1] > high) return i;
    for (std::size_t k = 2; k <= need; ++k)
      if ((p[i + k] & 0xC0) != 0x80) return i;
    i += need + 1;
  }
  return size;
}

}  // namespace vesk::columns

namespace vesk::columns {

bool all_ascii(const char* bytes, std::size_t size, const Poll& poll) {
  for (std::size_t at = 0; at < size; at += kPollBytes) {
    if (at > 0) poll();
    if (!all_ascii(bytes + at, std::min(kPollBytes, size - at))) return false;
  }
  return true;
}

std::size_t utf8_error_at(const char* bytes, std::size_t size, const Poll& poll) {
  std::size_t at = 0;
  while (at < size) {
    const std::size_t stop = std::min(size, at + kPollBytes);
    const std::size_t bad = at + utf8_error_at(bytes + at, stop - at);
    if (bad == stop) {
      at = stop;
    } else if (stop == size || stop - bad >= 4) {
      return bad;
    } else {
      // A character cut by the stretch's end (a sequence has at most 4
      // bytes): the next stretch starts at it and reads it whole.
      at = bad;
    }
    if (at < size) poll();
  }
  return size;
}

}  // namespace vesk::columns
