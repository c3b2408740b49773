// ASCII classes of single code points, and the same tests sixteen bytes at a
// time: the building blocks of the case transforms (text/case_ascii.cpp,
// text/case_utf8.cpp, text/code_points.cpp). Internal to src/text.
//
// Every block function reads exactly kBlock bytes at its pointer; a mask has
// bit i set for byte i of the block.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/platform.hpp"

#if VESK_HAVE_SSE2
#include <emmintrin.h>
#endif

namespace vesk::text::ascii_block {

constexpr bool is_upper(char32_t cp) noexcept {
  return cp - U'A' < 26;
}
constexpr bool is_lower(char32_t cp) noexcept {
  return cp - U'a' < 26;
}
constexpr bool is_digit(char32_t cp) noexcept {
  return cp - U'0' < 10;
}
constexpr char32_t to_lower(char32_t cp) noexcept {
  return is_upper(cp) ? cp + 0x20 : cp;
}
constexpr char32_t to_upper(char32_t cp) noexcept {
  return is_lower(cp) ? cp - 0x20 : cp;
}

inline bool is_lower_byte(char c) noexcept {
  return is_lower(static_cast<unsigned char>(c));
}

inline bool all_ascii(std::string_view text) noexcept {
  return std::ranges::all_of(text, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// ---------------------------------------------------------------------------
// Sixteen bytes at a time.

inline constexpr std::size_t kBlock = 16;

// Index of the lowest set bit of a nonzero mask.
inline std::size_t low_bit(std::uint32_t mask) noexcept {
  return static_cast<std::size_t>(std::countr_zero(mask));
}

#if VESK_HAVE_SSE2

inline __m128i load(const char* p) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline void store(char* p, __m128i v) noexcept {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}
inline __m128i splat(int byte) noexcept {
  return _mm_set1_epi8(static_cast<char>(byte));
}
// 0xFF in the bytes within [first, first + count), 0 elsewhere: an unsigned
// range test made signed by moving the range to the bottom of the signed bytes.
inline __m128i in_range(__m128i v, int first, int count) noexcept {
  return _mm_cmplt_epi8(_mm_sub_epi8(v, splat(first + 0x80)), splat(count - 0x80));
}
inline std::uint32_t mask_of(__m128i v) noexcept {
  return static_cast<std::uint32_t>(_mm_movemask_epi8(v));
}

// The bytes of the block at `p` within [first, first + count).
inline std::uint32_t range_mask(const char* p, int first, int count) noexcept {
  return mask_of(in_range(load(p), first, count));
}
// The bytes of the block at `p` equal to `byte`.
inline std::uint32_t byte_mask(const char* p, char byte) noexcept {
  return mask_of(_mm_cmpeq_epi8(load(p), splat(byte)));
}
// Stores the 16 bytes at `in` with ASCII capitals lower-cased.
inline void store_lower(char* out, const char* in) noexcept {
  const __m128i v = load(in);
  store(out, _mm_add_epi8(v, _mm_and_si128(in_range(v, 'A', 26), splat(0x20))));
}
// Stores the 16 bytes at `in` as underscore_to_camelcase writes them, the
// underscores still in: a letter after '_' (the byte before it, in[-1]
// included) upper-cased, every other letter lower-cased.
inline void store_camel(char* out, const char* in) noexcept {
  const __m128i v = load(in);
  const __m128i after_underscore = _mm_cmpeq_epi8(load(in - 1), splat('_'));
  const __m128i to_upper = _mm_and_si128(after_underscore, in_range(v, 'a', 26));
  const __m128i to_lower = _mm_andnot_si128(after_underscore, in_range(v, 'A', 26));
  // The two cases differ in bit 5 alone.
  store(out, _mm_xor_si128(v, _mm_and_si128(_mm_or_si128(to_upper, to_lower), splat(0x20))));
}

#else

inline std::uint32_t range_mask(const char* p, int first, int count) noexcept {
  std::uint32_t mask = 0;
  for (std::size_t i = 0; i < kBlock; ++i) {
    const unsigned offset = static_cast<unsigned char>(p[i]) - static_cast<unsigned>(first);
    mask |= std::uint32_t{offset < static_cast<unsigned>(count)} << i;
  }
  return mask;
}
inline std::uint32_t byte_mask(const char* p, char byte) noexcept {
  std::uint32_t mask = 0;
  for (std::size_t i = 0; i < kBlock; ++i) mask |= std::uint32_t{p[i] == byte} << i;
  return mask;
}
inline void store_lower(char* out, const char* in) noexcept {
  char block[kBlock];
  for (std::size_t i = 0; i < kBlock; ++i) {
    block[i] = static_cast<char>(to_lower(static_cast<unsigned char>(in[i])));
  }
  std::memcpy(out, block, kBlock);
}
inline void store_camel(char* out, const char* in) noexcept {
  char block[kBlock];
  for (std::size_t i = 0; i < kBlock; ++i) {
    const auto c = static_cast<unsigned char>(in[i]);
    block[i] = static_cast<char>(in[i - 1] == '_' ? to_upper(c) : to_lower(c));
  }
  std::memcpy(out, block, kBlock);
}

#endif

// Number of bytes of `text` within [first, first + count).
inline std::size_t count_in_range(std::string_view text, int first, int count) noexcept {
  std::size_t total = 0;
  std::size_t pos = 0;
#if VESK_HAVE_SSE2
  // Byte-wise counters (a match compares to -1), summed before any of them
  // can pass 255.
  const __m128i zero = _mm_setzero_si128();
  while (pos + kBlock <= text.size()) {
    __m128i counters = zero;
    for (int round = 0; round < 255 && pos + kBlock <= text.size(); ++round, pos += kBlock) {
      counters = _mm_sub_epi8(counters, in_range(load(text.data() + pos), first, count));
    }
    const __m128i sums = _mm_sad_epu8(counters, zero);
    total += static_cast<std::size_t>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
  }
#endif
  for (; pos < text.size(); ++pos) {
    total += static_cast<unsigned char>(text[pos]) - static_cast<unsigned>(first) <
             static_cast<unsigned>(count);
  }
  return total;
}

}  // namespace vesk::text::ascii_block
