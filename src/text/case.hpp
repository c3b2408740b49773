// Case transforms of identifiers: camelCase to snake_case and back.
//
// Both work on valid UTF-8 (the interpreter's encoding of a `str`) and use the
// default Unicode 17.0 case rules of text/unicode.hpp, with no locale or
// context rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "text/poll.hpp"

namespace vesk::text {

// camelCase / PascalCase to snake_case: every uppercase code point is
// lower-cased, and gets an underscore before it when the code point before it
// is lowercase or an ASCII digit, or when it ends a run of capitals that a
// lowercase code point follows ("getHTTPResponseCode" -> "get_http_response_code").
// Everything that is not uppercase is copied unchanged.
std::string uncamel(std::string_view utf8);

// underscore_delimited to camelCase: underscores are dropped, the code point
// after a run of them is upper-cased (unless nothing has been written yet),
// and every other code point is lower-cased ("_foo_BAR" -> "fooBar").
std::string underscore_to_camelcase(std::string_view utf8);

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

// The transforms of any valid UTF-8 text, appended to `out` as code points.
// Both call `poll` between chunks of the input (as do the ASCII writers).
void uncamel(std::string_view utf8, CodePoints& out, const Poll& poll = {});
void underscore_to_camelcase(std::string_view utf8, CodePoints& out, const Poll& poll = {});

// The same transforms for pure-ASCII input, whose output is ASCII too, so
// that a caller can create its result up front and have it written in
// place. The writers return the length of the output; they may store junk
// after it, but never past the end of `out`.

// Room past the output that spares the writers a staging copy at the end.
inline constexpr std::size_t kAsciiOutputSlack = 112;

// Room that uncamel_ascii needs: the input size plus one byte per capital
// (twice the input size always is enough).
std::size_t uncamel_ascii_bound(std::string_view ascii) noexcept;
std::size_t uncamel_ascii(std::string_view ascii, std::span<char> out, const Poll& poll = {});

// Exact length of underscore_to_camelcase(ascii): the input size minus its
// underscores. That is all the room the writer needs.
std::size_t underscore_to_camelcase_ascii_length(std::string_view ascii) noexcept;
std::size_t underscore_to_camelcase_ascii(std::string_view ascii, std::span<char> out,
                                          const Poll& poll = {});

}  // namespace vesk::text
