// Helpers shared by the libFuzzer harnesses: turning arbitrary bytes into the
// well-formed UTF-8 that the interpreter would hand over, a strict UTF-8
// check, and a failure report that libFuzzer records as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Prints what went wrong and the input (escaped), then aborts so that
// libFuzzer keeps the input as a crash reproducer.
[[noreturn]] inline void fail(const char* what, std::string_view input, std::string_view got = {},
                              std::string_view want = {}) {
  auto dump = [](const char* label, std::string_view text) {
    std::fprintf(stderr, "%s (%zu bytes): \"", label, text.size());
    for (unsigned char c : text) {
      if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
        std::fputc(c, stderr);
      } else {
        std::fprintf(stderr, "\\x%02x", c);
      }
    }
    std::fputs("\"\n", stderr);
  };
  std::fprintf(stderr, "\nFUZZ CHECK FAILED: %s\n", what);
  dump("input", input);
  if (!got.empty() || !want.empty()) {
    dump("got", got);
    dump("want", want);
  }
  std::abort();
}

inline void check(bool ok, const char* what, std::string_view input, std::string_view got = {},
                  std::string_view want = {}) {
  if (!ok) fail(what, input, got, want);
}

// Decodes one code point of strictly well-formed UTF-8 (shortest form, no
// surrogates, at most U+10FFFF) at `pos`; -1 when the bytes there are not.
inline long decode_strict(std::string_view text, std::size_t& pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  const unsigned char lead = p[pos];
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t length;
  long cp;
  long minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    return -1;
  }
  if (pos + length > n) return -1;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char c = p[pos + i];
    if ((c & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  pos += length;
  return cp;
}

inline bool is_valid_utf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    if (decode_strict(text, pos) < 0) return false;
  }
  return true;
}

// The code points of well-formed UTF-8.
inline std::vector<char32_t> code_points(std::string_view text) {
  std::vector<char32_t> out;
  for (std::size_t pos = 0; pos < text.size();) {
    out.push_back(static_cast<char32_t>(decode_strict(text, pos)));
  }
  return out;
}

inline void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Whether `cp` is in one of `ranges` (inclusive bounds, any order).
template <class Ranges>
bool in_ranges(char32_t cp, const Ranges& ranges) {
  for (const auto& range : ranges) {
    if (cp >= range.first && cp <= range.last) return true;
  }
  return false;
}

// Code points that the text functions treat specially, so that a mutated
// byte lands on one of them often: white space of every width, fractions and
// their unhandled neighbours, digits of other scripts, letters whose case
// mappings change length or UTF-8 width, titlecase and caseless letters.
inline constexpr char32_t kInteresting[] = {
    0x85,   0xA0,    0x1680,  0x2000,  0x200A,  0x2028,  0x2029,   0x202F, 0x205F,  0x3000,
    0x200B, 0xFEFF,  0x180E,  0x1C,    0xBC,    0xBD,    0xBE,     0x2153, 0x2154,  0x2155,
    0x2159, 0x215A,  0x215B,  0x215E,  0x2150,  0x2152,  0x215F,   0x2189, 0x0660,  0x0663,
    0x0969, 0xFF10,  0xFF15,  0x1D7CE, 0x16AC3, 0xFF0C,  0x2212,   0xDF,   0x130,   0x131,
    0x149,  0x1C4,   0x1C5,   0x1C6,   0x390,   0x3A3,   0x3C2,    0x1E9E, 0x1F80,  0x1F88,
    0xFB01, 0xFB03,  0x23A,   0x2C65,  0x2126,  0x212A,  0xC0,     0xC9,   0xE9,    0xFF,
    0x178,  0x10400, 0x10428, 0x1D400, 0x1E900, 0x1E922, 0xA7CE,   0xA7CF, 0x16EA0, 0x16EBB,
    0x295,  0xAA,    0xB5,    0x345,   0x1F600, 0x4E2D,  0x10FFFF, 0x5F,   0x2D,    0x2E,
};

// Well-formed UTF-8 made from arbitrary bytes: valid sequences are kept, and
// every byte that does not start one becomes an ASCII character (below 0xC0,
// its low seven bits) or one of the interesting code points.
inline std::string to_valid_utf8(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string out;
  out.reserve(size * 2);
  for (std::size_t pos = 0; pos < size;) {
    std::size_t next = pos;
    const long cp = decode_strict(bytes, next);
    if (cp >= 0) {
      out.append(bytes.substr(pos, next - pos));
      pos = next;
      continue;
    }
    const unsigned char b = data[pos++];
    if (b < 0xC0) {
      out += static_cast<char>(b & 0x7F);
    } else {
      append_utf8(out, kInteresting[b % (sizeof kInteresting / sizeof kInteresting[0])]);
    }
  }
  return out;
}

}  // namespace fuzz
