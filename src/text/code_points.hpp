// A growable run of code points in the interpreter's own storage forms, that
// the UTF-8 paths of the case transforms write into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace vesk::text {

// A growable run of code points, stored in the narrowest of 1, 2 or 4 bytes
// per code point that holds every one so far (widened when one does not
// fit), so that a caller can take the units as they are for a text of that
// width. It also keeps the bitwise OR of all code points, which tells
// whether a 1-byte run is ASCII. Short runs live inside the object; it is
// neither copied nor moved.
class CodePoints {
 public:
  CodePoints() noexcept = default;
  CodePoints(const CodePoints&) = delete;
  CodePoints& operator=(const CodePoints&) = delete;

  // Room for `count` code points in all, so that no growth is needed below it.
  void reserve(std::size_t count);

  void push_back(char32_t cp) {
    if (cp > max_) widen_for(cp);
    if (size_ == capacity_) grow(size_ + 1);
    switch (width_) {
      case 1:
        data_[size_] = static_cast<unsigned char>(cp);
        break;
      case 2:
        store_unit(static_cast<std::uint16_t>(cp));
        break;
      default:
        store_unit(static_cast<std::uint32_t>(cp));
        break;
    }
    ++size_;
    bits_ |= cp;
  }

  // Appends the first `count` of the 16 ASCII bytes at `ascii` (all 16 are
  // read).
  void append_ascii_block(const char* ascii, std::size_t count);

  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] int width() const noexcept { return width_; }  // bytes per code point
  [[nodiscard]] const unsigned char* data() const noexcept { return data_; }
  [[nodiscard]] char32_t bits() const noexcept { return bits_; }
  [[nodiscard]] char32_t operator[](std::size_t index) const noexcept;

 private:
  static constexpr std::size_t kInline = 128;

  template <class Unit>
  void store_unit(Unit unit) noexcept {
    std::memcpy(data_ + size_ * sizeof(Unit), &unit, sizeof(Unit));
  }
  void grow(std::size_t needed);
  void widen_for(char32_t cp);
  void reallocate(std::size_t capacity, int width);

  unsigned char* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;  // in code points
  int width_ = 1;
  char32_t max_ = 0xFF;  // the largest code point the width holds
  char32_t bits_ = 0;
  std::unique_ptr<unsigned char[]> heap_;
  alignas(4) unsigned char inline_[kInline * 4];
};

}  // namespace vesk::text
