#include "text/case.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace vesk::text {

namespace {

// Above ASCII, no code point below these has the property or mapping; the
// table generator checks that the data keeps it so.
constexpr char32_t kFirstUppercase = 0xC0;
constexpr char32_t kFirstLowercase = 0xAA;
constexpr char32_t kFirstLowerMapping = 0xC0;
constexpr char32_t kFirstUpperMapping = 0xB5;

constexpr bool ascii_upper(char32_t cp) noexcept {
  return cp - U'A' < 26;
}
constexpr bool ascii_lower(char32_t cp) noexcept {
  return cp - U'a' < 26;
}
constexpr bool ascii_digit(char32_t cp) noexcept {
  return cp - U'0' < 10;
}

bool uppercase(char32_t cp) noexcept {
  if (cp < 0x80) return ascii_upper(cp);
  return cp >= kFirstUppercase && is_uppercase(cp);
}

bool lowercase(char32_t cp) noexcept {
  if (cp < 0x80) return ascii_lower(cp);
  return cp >= kFirstLowercase && is_lowercase(cp);
}

// The plain-ASCII scan looks at 16 bytes at a time. A byte "needs a look" when
// it is non-ASCII, an ASCII capital or (for underscore_to_camelcase) an
// underscore; every other byte is copied as it is.
constexpr std::size_t kBlock = 16;

template <bool stop_at_underscore>
constexpr bool needs_look(unsigned char byte) noexcept {
  return byte >= 0x80 || ascii_upper(byte) || (stop_at_underscore && byte == '_');
}

// Bit i set when byte i of the block at `p` needs a look.
template <bool stop_at_underscore>
std::uint32_t look_bits(const char* p) noexcept {
#if defined(__SSE2__)
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Signed compares: non-ASCII bytes are negative and fail both, but their
  // top bit already marks them in `v` itself.
  __m128i look = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('A' - 1)),
                               _mm_cmplt_epi8(v, _mm_set1_epi8('Z' + 1)));
  if constexpr (stop_at_underscore)
    look = _mm_or_si128(look, _mm_cmpeq_epi8(v, _mm_set1_epi8('_')));
  return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_or_si128(v, look)));
#else
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < kBlock; ++i) {
    bits |= std::uint32_t{needs_look<stop_at_underscore>(static_cast<unsigned char>(p[i]))} << i;
  }
  return bits;
#endif
}

// Index of the first byte at or after `pos` that needs a look (or the size).
template <bool stop_at_underscore>
std::size_t skip_plain_ascii(std::string_view text, std::size_t pos) noexcept {
  const std::size_t size = text.size();
  for (; pos + kBlock <= size; pos += kBlock) {
    const std::uint32_t bits = look_bits<stop_at_underscore>(text.data() + pos);
    if (bits != 0) return pos + static_cast<std::size_t>(std::countr_zero(bits));
  }
  while (pos < size && !needs_look<stop_at_underscore>(static_cast<unsigned char>(text[pos]))) {
    ++pos;
  }
  return pos;
}

// Number of ASCII capitals in `text`.
std::size_t count_ascii_capitals(std::string_view text) noexcept {
  std::size_t count = 0;
  std::size_t pos = 0;
#if defined(__SSE2__)
  // Byte-wise counters (a capital's compare result is -1), summed before any
  // of them can pass 255.
  const __m128i zero = _mm_setzero_si128();
  while (pos + kBlock <= text.size()) {
    __m128i counters = zero;
    for (int round = 0; round < 255 && pos + kBlock <= text.size(); ++round, pos += kBlock) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + pos));
      const __m128i capital = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('A' - 1)),
                                            _mm_cmplt_epi8(v, _mm_set1_epi8('Z' + 1)));
      counters = _mm_sub_epi8(counters, capital);
    }
    const __m128i sums = _mm_sad_epu8(counters, zero);
    count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
  }
#endif
  for (; pos < text.size(); ++pos) count += ascii_upper(static_cast<unsigned char>(text[pos]));
  return count;
}

// Output into a growing std::string (any input).
class StringOut {
 public:
  explicit StringOut(std::string& out) noexcept : out_(out) {}
  // Copies the bytes from `pos` up to the next one that needs a look (see
  // skip_plain_ascii) and returns that byte's index.
  template <bool stop_at_underscore>
  std::size_t copy_plain(std::string_view text, std::size_t pos) {
    const std::size_t end = skip_plain_ascii<stop_at_underscore>(text, pos);
    out_.append(text.data() + pos, end - pos);
    return end;
  }
  void bytes(const char* data, std::size_t size) { out_.append(data, size); }
  void byte(char c) { out_.push_back(c); }
  void code_point(char32_t cp) { append_utf8(out_, cp); }
  [[nodiscard]] bool empty() const noexcept { return out_.empty(); }

 private:
  std::string& out_;
};

// Output into a buffer that the caller sized for an ASCII input, whose output
// is ASCII too (ASCII maps only to ASCII).
class AsciiOut {
 public:
  explicit AsciiOut(char* out) noexcept : start_(out), cursor_(out) {}
  // As StringOut::copy_plain, but block by block: each block is stored before
  // it is tested, and the bytes stored past the stop are overwritten by what
  // follows. The store stays inside the buffer: a whole block is only read
  // while that many input bytes remain, and the output never runs ahead of
  // the input by more than the room the callers add (one byte per capital for
  // uncamel, none for underscore_to_camelcase).
  template <bool stop_at_underscore>
  [[gnu::always_inline]] std::size_t copy_plain(std::string_view text, std::size_t pos) noexcept {
    const std::size_t size = text.size();
    for (; pos + kBlock <= size; pos += kBlock, cursor_ += kBlock) {
      std::memcpy(cursor_, text.data() + pos, kBlock);
      const std::uint32_t bits = look_bits<stop_at_underscore>(text.data() + pos);
      if (bits != 0) {
        const auto plain = static_cast<std::size_t>(std::countr_zero(bits));
        cursor_ += plain;
        return pos + plain;
      }
    }
    const std::size_t end = skip_plain_ascii<stop_at_underscore>(text, pos);
    bytes(text.data() + pos, end - pos);
    return end;
  }
  void bytes(const char* data, std::size_t size) noexcept {
    std::memcpy(cursor_, data, size);
    cursor_ += size;
  }
  void byte(char c) noexcept { *cursor_++ = c; }
  void code_point(char32_t cp) noexcept { *cursor_++ = static_cast<char>(cp); }
  [[nodiscard]] bool empty() const noexcept { return cursor_ == start_; }
  [[nodiscard]] std::size_t size() const noexcept {
    return static_cast<std::size_t>(cursor_ - start_);
  }

 private:
  char* start_;
  char* cursor_;
};

template <class Out>
void put_lower(Out& out, char32_t cp) {
  if (cp < kFirstLowerMapping) {
    out.code_point(ascii_upper(cp) ? cp + 0x20 : cp);
    return;
  }
  char32_t mapped[3];
  const int count = to_lower_full(cp, mapped);
  for (int i = 0; i < count; ++i) out.code_point(mapped[i]);
}

template <class Out>
void put_upper(Out& out, char32_t cp) {
  if (cp < kFirstUpperMapping) {
    out.code_point(ascii_lower(cp) ? cp - 0x20 : cp);
    return;
  }
  char32_t mapped[3];
  const int count = to_upper_full(cp, mapped);
  for (int i = 0; i < count; ++i) out.code_point(mapped[i]);
}

// What uncamel needs to know of the code point before the current one.
enum class Before : std::uint8_t { kNothing, kUpper, kLower, kDigit, kOther };

// The code point at `pos` (if any) is lowercase.
bool lowercase_at(std::string_view text, std::size_t pos) noexcept {
  if (pos >= text.size()) return false;
  return lowercase(decode_utf8(text, pos));
}

template <class Out>
void uncamel_into(std::string_view utf8, Out& out) {
  const std::size_t size = utf8.size();
  Before before = Before::kNothing;
  std::size_t pos = 0;
  while (pos < size) {
    const std::size_t plain_end = out.template copy_plain<false>(utf8, pos);
    if (plain_end != pos) {
      // The run holds no capital and no non-ASCII byte.
      const auto last = static_cast<unsigned char>(utf8[plain_end - 1]);
      before = ascii_lower(last)   ? Before::kLower
               : ascii_digit(last) ? Before::kDigit
                                   : Before::kOther;
      pos = plain_end;
      if (pos == size) break;
    }
    const auto lead = static_cast<unsigned char>(utf8[pos]);
    char32_t cp = lead;
    if (lead < 0x80) {
      ++pos;  // an ASCII capital, the common stop
    } else {
      const std::size_t start = pos;
      cp = decode_utf8(utf8, pos);
      if (!uppercase(cp)) {
        out.bytes(utf8.data() + start, pos - start);
        before = lowercase(cp) ? Before::kLower : Before::kOther;  // digits here are ASCII only
        continue;
      }
    }
    if (before == Before::kLower || before == Before::kDigit ||
        (before == Before::kUpper && lowercase_at(utf8, pos))) {
      out.byte('_');
    }
    if (lead < 0x80) {
      out.byte(static_cast<char>(lead + 0x20));
    } else {
      put_lower(out, cp);
    }
    before = Before::kUpper;
  }
}

template <class Out>
void underscore_to_camelcase_into(std::string_view utf8, Out& out) {
  const std::size_t size = utf8.size();
  bool after_underscore = false;
  std::size_t pos = 0;
  while (pos < size) {
    if (!after_underscore) {
      pos = out.template copy_plain<true>(utf8, pos);
      if (pos == size) break;
    }
    const char32_t cp = decode_utf8(utf8, pos);
    if (cp == U'_') {
      after_underscore = true;
      continue;
    }
    if (after_underscore && !out.empty()) {
      put_upper(out, cp);
    } else {
      put_lower(out, cp);
    }
    after_underscore = false;
  }
}

}  // namespace

std::string uncamel(std::string_view utf8) {
  std::string result;
  result.reserve(utf8.size() + 10);
  StringOut out(result);
  uncamel_into(utf8, out);
  return result;
}

std::string underscore_to_camelcase(std::string_view utf8) {
  std::string result;
  result.reserve(utf8.size());
  StringOut out(result);
  underscore_to_camelcase_into(utf8, out);
  return result;
}

std::size_t uncamel_ascii_bound(std::string_view ascii) noexcept {
  return ascii.size() + count_ascii_capitals(ascii);
}

std::size_t uncamel_ascii(std::string_view ascii, char* out) noexcept {
  AsciiOut sink(out);
  uncamel_into(ascii, sink);
  return sink.size();
}

std::size_t underscore_to_camelcase_ascii(std::string_view ascii, char* out) noexcept {
  AsciiOut sink(out);
  underscore_to_camelcase_into(ascii, sink);
  return sink.size();
}

}  // namespace vesk::text
