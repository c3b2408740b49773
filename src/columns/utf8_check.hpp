// Validation of untrusted UTF-8 (an Arrow producer is not obliged to have
// checked its strings).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/poll.hpp"

namespace vesk::columns {

// Whether all `size` bytes at `bytes` are ASCII; eight at a time.
inline bool all_ascii(const char* bytes, std::size_t size) noexcept {
  std::size_t i = 0;
  std::uint64_t seen = 0;
  for (; i + 32 <= size; i += 32) {
    std::uint64_t w[4];
    std::memcpy(w, bytes + i, 32);
    seen |= w[0] | w[1] | w[2] | w[3];
    if (seen & 0x8080808080808080ull) return false;
  }
  for (; i + 8 <= size; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, bytes + i, 8);
    seen |= w;
  }
  if (seen & 0x8080808080808080ull) return false;
  for (; i < size; ++i)
    if (static_cast<unsigned char>(bytes[i]) >= 0x80) return false;
  return true;
}

// The offset of the first byte that does not belong to a well-formed UTF-8
// sequence (shortest form, no surrogates, at most U+10FFFF), or `size` when
// the whole text is valid.
std::size_t utf8_error_at(const char* bytes, std::size_t size) noexcept;

// The same two tests over texts of any length, calling `poll` after about
// every kPollBytes (base/poll.hpp).
bool all_ascii(const char* bytes, std::size_t size, const Poll& poll);
std::size_t utf8_error_at(const char* bytes, std::size_t size, const Poll& poll);

}  // namespace vesk::columns
