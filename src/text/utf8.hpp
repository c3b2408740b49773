// Decoding and encoding of single code points in UTF-8.
//
// The decoder trusts its input: every text it sees comes from the interpreter's
// own UTF-8 encoding of a `str`, so it is well-formed and holds no surrogates.
// There is deliberately no validation on this path.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vesk::text {

// Decodes the code point starting at `text[pos]` and advances `pos` past it.
// Precondition: pos < text.size() and `text` is valid UTF-8.
inline char32_t decode_utf8(std::string_view text, std::size_t& pos) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
  const unsigned char lead = p[0];
  if (lead < 0x80) {
    pos += 1;
    return lead;
  }
  if (lead < 0xE0) {
    pos += 2;
    return (char32_t{lead & 0x1Fu} << 6) | (p[1] & 0x3Fu);
  }
  if (lead < 0xF0) {
    pos += 3;
    return (char32_t{lead & 0x0Fu} << 12) | (char32_t{p[1] & 0x3Fu} << 6) | (p[2] & 0x3Fu);
  }
  pos += 4;
  return (char32_t{lead & 0x07u} << 18) | (char32_t{p[1] & 0x3Fu} << 12) |
         (char32_t{p[2] & 0x3Fu} << 6) | (p[3] & 0x3Fu);
}

// Appends the UTF-8 form of `cp` (a Unicode scalar value) to `out`.
inline void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
    return;
  }
  char buf[4];
  std::size_t n;
  if (cp < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (cp >> 6));
    buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (cp >> 12));
    buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    buf[0] = static_cast<char>(0xF0 | (cp >> 18));
    buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(buf, n);
}

}  // namespace vesk::text
