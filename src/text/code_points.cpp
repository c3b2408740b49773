#include "text/code_points.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "text/ascii_block.hpp"

namespace vesk::text {

namespace {

using ascii_block::kBlock;

// Copies `count` units of type From at `from` to the wider units of type To
// at `to`, last first, so that `to` may be `from` itself.
template <class From, class To>
void convert_units(const unsigned char* from, unsigned char* to, std::size_t count) noexcept {
  for (std::size_t i = count; i-- > 0;) {
    From unit;
    std::memcpy(&unit, from + i * sizeof(From), sizeof(From));
    const To wide = unit;
    std::memcpy(to + i * sizeof(To), &wide, sizeof(To));
  }
}

}  // namespace

char32_t CodePoints::operator[](std::size_t index) const noexcept {
  if (width_ == 1) return data_[index];
  if (width_ == 2) {
    std::uint16_t unit;
    std::memcpy(&unit, data_ + 2 * index, 2);
    return unit;
  }
  std::uint32_t unit;
  std::memcpy(&unit, data_ + 4 * index, 4);
  return unit;
}

void CodePoints::append_ascii_block(const char* ascii, std::size_t count) {
  if (capacity_ - size_ < kBlock) grow(size_ + kBlock);
  unsigned char* to = data_ + size_ * static_cast<std::size_t>(width_);
#if VESK_HAVE_SSE2
  const __m128i zero = _mm_setzero_si128();
  const __m128i v = ascii_block::load(ascii);
  if (width_ == 1) {
    ascii_block::store(reinterpret_cast<char*>(to), v);
  } else {
    const __m128i low = _mm_unpacklo_epi8(v, zero);
    const __m128i high = _mm_unpackhi_epi8(v, zero);
    auto* units = reinterpret_cast<__m128i*>(to);
    if (width_ == 2) {
      _mm_storeu_si128(units, low);
      _mm_storeu_si128(units + 1, high);
    } else {
      _mm_storeu_si128(units, _mm_unpacklo_epi16(low, zero));
      _mm_storeu_si128(units + 1, _mm_unpackhi_epi16(low, zero));
      _mm_storeu_si128(units + 2, _mm_unpacklo_epi16(high, zero));
      _mm_storeu_si128(units + 3, _mm_unpackhi_epi16(high, zero));
    }
  }
#else
  if (width_ == 1) {
    std::memcpy(to, ascii, kBlock);
  } else if (width_ == 2) {
    convert_units<std::uint8_t, std::uint16_t>(reinterpret_cast<const unsigned char*>(ascii), to,
                                               kBlock);
  } else {
    convert_units<std::uint8_t, std::uint32_t>(reinterpret_cast<const unsigned char*>(ascii), to,
                                               kBlock);
  }
#endif
  size_ += count;  // ASCII leaves bits_ as it is: it decides nothing above 7 bits
}

void CodePoints::reserve(std::size_t count) {
  if (count > capacity_) reallocate(count, width_);
}

void CodePoints::grow(std::size_t needed) {
  reallocate(std::max(needed, 2 * capacity_), width_);
}

void CodePoints::widen_for(char32_t cp) {
  const int width = cp > 0xFFFF ? 4 : 2;
  // Wider units need more bytes: the inline array only ever holds kInline of
  // the widest, so a wider run may stay inside too.
  reallocate(capacity_, width);
  max_ = width == 2 ? 0xFFFF : 0x10FFFF;
}

void CodePoints::reallocate(std::size_t capacity, int width) {
  unsigned char* target = inline_;
  std::unique_ptr<unsigned char[]> heap;
  if (capacity > kInline || data_ != inline_) {
    heap =
        std::make_unique_for_overwrite<unsigned char[]>(capacity * static_cast<std::size_t>(width));
    target = heap.get();
  }
  if (width == width_) {
    if (target != data_) std::memcpy(target, data_, size_ * static_cast<std::size_t>(width));
  } else if (width_ == 1 && width == 2) {
    convert_units<std::uint8_t, std::uint16_t>(data_, target, size_);
  } else if (width_ == 1) {
    convert_units<std::uint8_t, std::uint32_t>(data_, target, size_);
  } else {
    convert_units<std::uint16_t, std::uint32_t>(data_, target, size_);
  }
  if (heap) heap_ = std::move(heap);
  data_ = target;
  capacity_ = capacity;
  width_ = width;
}

}  // namespace vesk::text
