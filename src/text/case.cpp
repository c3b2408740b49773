#include "text/case.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "text/unicode_tables.hpp"
#include "text/utf8.hpp"

namespace vesk::text {

namespace {

constexpr bool ascii_upper(char32_t cp) noexcept {
  return cp - U'A' < 26;
}
constexpr bool ascii_lower(char32_t cp) noexcept {
  return cp - U'a' < 26;
}
constexpr bool ascii_digit(char32_t cp) noexcept {
  return cp - U'0' < 10;
}
constexpr char32_t ascii_to_lower(char32_t cp) noexcept {
  return ascii_upper(cp) ? cp + 0x20 : cp;
}
constexpr char32_t ascii_to_upper(char32_t cp) noexcept {
  return ascii_lower(cp) ? cp - 0x20 : cp;
}
// Above ASCII, no code point below these has the property or mapping (the
// table generator checks that the data keeps it so). Nothing below U+00C0 is
// uppercase either, but the lowercase test needs the record from U+00AA on,
// and that one record answers both.
constexpr char32_t kFirstLowercase = 0xAA;
constexpr char32_t kFirstUpperMapping = 0xB5;
constexpr char32_t kFirstLowerMapping = 0xC0;

bool ascii_lower_byte(char c) noexcept {
  return ascii_lower(static_cast<unsigned char>(c));
}

// ---------------------------------------------------------------------------
// Sixteen bytes at a time. Bit i of a mask stands for byte i of the block.

constexpr std::size_t kBlock = 16;

std::size_t low_bit(std::uint32_t bits) noexcept {
  return static_cast<std::size_t>(std::countr_zero(bits));
}

#if defined(__SSE2__)

__m128i load(const char* p) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
void store(char* p, __m128i v) noexcept {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}
__m128i splat(int byte) noexcept {
  return _mm_set1_epi8(static_cast<char>(byte));
}
// 0xFF in the bytes within [first, first + count), 0 elsewhere: an unsigned
// range test made signed by moving the range to the bottom of the signed bytes.
__m128i in_range(__m128i v, int first, int count) noexcept {
  return _mm_cmplt_epi8(_mm_sub_epi8(v, splat(first + 0x80)), splat(count - 0x80));
}
std::uint32_t mask_of(__m128i v) noexcept {
  return static_cast<std::uint32_t>(_mm_movemask_epi8(v));
}

std::uint32_t range_bits(const char* p, int first, int count) noexcept {
  return mask_of(in_range(load(p), first, count));
}
std::uint32_t byte_bits(const char* p, char byte) noexcept {
  return mask_of(_mm_cmpeq_epi8(load(p), splat(byte)));
}
// Stores the 16 bytes at `in` with ASCII capitals lower-cased.
void store_lower(char* out, const char* in) noexcept {
  const __m128i v = load(in);
  store(out, _mm_add_epi8(v, _mm_and_si128(in_range(v, 'A', 26), splat(0x20))));
}
// Stores the 16 bytes at `in` as underscore_to_camelcase writes them, the
// underscores still in: a letter after '_' (the byte before it, in[-1]
// included) upper-cased, every other letter lower-cased.
void store_camel(char* out, const char* in) noexcept {
  const __m128i v = load(in);
  const __m128i after_underscore = _mm_cmpeq_epi8(load(in - 1), splat('_'));
  const __m128i to_upper = _mm_and_si128(after_underscore, in_range(v, 'a', 26));
  const __m128i to_lower = _mm_andnot_si128(after_underscore, in_range(v, 'A', 26));
  // The two cases differ in bit 5 alone.
  store(out, _mm_xor_si128(v, _mm_and_si128(_mm_or_si128(to_upper, to_lower), splat(0x20))));
}

#else

std::uint32_t range_bits(const char* p, int first, int count) noexcept {
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < kBlock; ++i) {
    const unsigned offset = static_cast<unsigned char>(p[i]) - static_cast<unsigned>(first);
    bits |= std::uint32_t{offset < static_cast<unsigned>(count)} << i;
  }
  return bits;
}
std::uint32_t byte_bits(const char* p, char byte) noexcept {
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < kBlock; ++i) bits |= std::uint32_t{p[i] == byte} << i;
  return bits;
}
void store_lower(char* out, const char* in) noexcept {
  char block[kBlock];
  for (std::size_t i = 0; i < kBlock; ++i) {
    block[i] = static_cast<char>(ascii_to_lower(static_cast<unsigned char>(in[i])));
  }
  std::memcpy(out, block, kBlock);
}
void store_camel(char* out, const char* in) noexcept {
  char block[kBlock];
  for (std::size_t i = 0; i < kBlock; ++i) {
    const auto c = static_cast<unsigned char>(in[i]);
    block[i] = static_cast<char>(in[i - 1] == '_' ? ascii_to_upper(c) : ascii_to_lower(c));
  }
  std::memcpy(out, block, kBlock);
}

#endif

// Number of bytes of `text` within [first, first + count).
std::size_t count_in_range(std::string_view text, int first, int count) noexcept {
  std::size_t total = 0;
  std::size_t pos = 0;
#if defined(__SSE2__)
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

bool all_ascii(std::string_view text) noexcept {
  return std::ranges::all_of(text, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// ---------------------------------------------------------------------------
// uncamel on ASCII, a block at a time: the classes of the bytes before and
// after each byte come from shifting the block's class masks, with the last
// byte of the previous block carried in and the first byte of the next one
// peeked at.

struct UncamelCarry {
  std::uint32_t split = 0;  // the byte before the block is a lowercase letter or digit
  std::uint32_t upper = 0;  // ... is a capital
};

// The positions in the block at `in` that get an underscore in front: a
// capital after a lowercase letter or digit, or after a capital when a
// lowercase letter follows. Moves `carry` on to the block's last byte.
std::uint32_t underscore_bits(const char* in, bool next_lower, UncamelCarry& carry) noexcept {
  const std::uint32_t upper = range_bits(in, 'A', 26);
  const std::uint32_t lower = range_bits(in, 'a', 26);
  const std::uint32_t split = lower | range_bits(in, '0', 10);
  const std::uint32_t after_split = (split << 1) | carry.split;
  const std::uint32_t after_upper = (upper << 1) | carry.upper;
  const std::uint32_t before_lower = (lower >> 1) | (std::uint32_t{next_lower} << (kBlock - 1));
  carry = {split >> (kBlock - 1), upper >> (kBlock - 1)};
  return upper & (after_split | (after_upper & before_lower));
}

// Writes the block at `in` lower-cased with an underscore before each
// position in `bits`, and returns the number of underscores. The block is
// stored whole, then again from each underscore on, one byte further along:
// so it stores up to 47 bytes at `out` (past what it returns) and reads up to
// in[30].
std::size_t emit_uncamel(const char* in, std::uint32_t bits, char* out) noexcept {
  store_lower(out, in);
  std::size_t shift = 0;
  for (; bits != 0; bits &= bits - 1, ++shift) {
    const std::size_t at = low_bit(bits);
    out[at + shift] = '_';
    store_lower(out + at + shift + 1, in + at);
  }
  return shift;
}

// A block is processed in place while this many input bytes remain: enough
// for its reads and, as the output of the rest is never shorter than the
// rest, for its stores.
constexpr std::size_t kUncamelReach = 48;

// The rest after the in-place blocks (under kUncamelReach bytes) gives at
// most twice as much output, and its last block stores up to 47 bytes on.
static_assert(kAsciiOutputSlack >= 2 * kUncamelReach + kBlock);

// ---------------------------------------------------------------------------
// underscore_to_camelcase on ASCII, a block at a time.

// Writes the block at `in` (in[-1] readable) with its underscores dropped and
// returns how many it dropped. Like emit_uncamel it stores the block whole,
// then again from the byte after each underscore on, one byte further back:
// up to 31 bytes at `out`, reading in[-1] to in[31].
std::size_t emit_camel(const char* in, std::uint32_t underscores, char* out) noexcept {
  store_camel(out, in);
  std::size_t dropped = 0;
  for (; underscores != 0; underscores &= underscores - 1, ++dropped) {
    const std::size_t at = low_bit(underscores);
    store_camel(out + at - dropped, in + at + 1);
  }
  return dropped;
}

// Room, in input and output, that a block of emit_camel needs in place.
constexpr std::size_t kCamelReach = 32;

// ---------------------------------------------------------------------------
// Any UTF-8 input, into code points.

// Bit i set when byte i of the block at `p` stops a plain copy: a non-ASCII
// byte, an ASCII capital or (when asked for) an underscore.
template <bool stop_at_underscore>
std::uint32_t stop_bits(const char* p) noexcept {
  std::uint32_t bits = range_bits(p, 0x80, 0x80) | range_bits(p, 'A', 26);
  if constexpr (stop_at_underscore) bits |= byte_bits(p, '_');
  return bits;
}

// Copies the bytes from `pos` up to the next one that stops a plain copy (see
// stop_bits) and returns that byte's index (or the size).
template <bool stop_at_underscore>
std::size_t copy_plain(std::string_view text, std::size_t pos, CodePoints& out) {
  const std::size_t size = text.size();
  for (; pos + kBlock <= size; pos += kBlock) {
    const char* block = text.data() + pos;
    const std::uint32_t bits = stop_bits<stop_at_underscore>(block);
    if (bits != 0) {
      out.append_ascii_block(block, low_bit(bits));
      return pos + low_bit(bits);
    }
    out.append_ascii_block(block, kBlock);
  }
  for (; pos < size; ++pos) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte >= 0x80 || ascii_upper(byte) || (stop_at_underscore && byte == '_')) break;
    out.push_back(byte);
  }
  return pos;
}

// Appends the full mapping that a case record gives `cp` (`special` says
// whether `value` indexes the special mappings or is a delta).
void put_mapping(CodePoints& out, char32_t cp, bool special, std::int32_t value) {
  if (!special) {
    out.push_back(static_cast<char32_t>(static_cast<std::int32_t>(cp) + value));
    return;
  }
  const tables::SpecialMapping& mapping = tables::special_mapping(value);
  for (int i = 0; i < mapping.length; ++i) out.push_back(mapping.cps[i]);
}

// What uncamel needs to know of the code point before the current one.
enum class Before : std::uint8_t { kNothing, kUpper, kLower, kDigit, kOther };

// The code point at `pos` (if any) is lowercase.
bool lowercase_at(std::string_view text, std::size_t pos) noexcept {
  if (pos >= text.size()) return false;
  const char32_t cp = decode_utf8(text, pos);
  if (cp < 0x80) return ascii_lower(cp);
  return cp >= kFirstLowercase && (tables::record_for(cp).flags & tables::kLowercase) != 0;
}

std::string to_utf8(const CodePoints& cps) {
  std::string out;
  out.reserve(cps.size());
  for (std::size_t i = 0; i < cps.size(); ++i) append_utf8(out, cps[i]);
  return out;
}

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

// ---------------------------------------------------------------------------

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
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i v = load(ascii);
  if (width_ == 1) {
    store(reinterpret_cast<char*>(to), v);
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

// ---------------------------------------------------------------------------

void uncamel(std::string_view utf8, CodePoints& out, const Poll& poll) {
  const std::size_t size = utf8.size();
  Before before = Before::kNothing;
  std::size_t pos = 0;
  std::size_t next_poll = kPollBytes;
  while (pos < size) {
    if (pos >= next_poll) {
      poll();
      next_poll = pos + kPollBytes;
    }
    const std::size_t plain_end = copy_plain<false>(utf8, pos, out);
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
    const tables::CaseRecord* record = nullptr;
    if (lead < 0x80) {
      ++pos;  // an ASCII capital, the common stop
    } else {
      cp = decode_utf8(utf8, pos);
      // Below kFirstLowercase nothing has a case; above, one lookup answers
      // every question about the code point.
      if (cp >= kFirstLowercase) record = &tables::record_for(cp);
      if (record == nullptr || (record->flags & tables::kUppercase) == 0) {
        out.push_back(cp);
        // Digits that split are ASCII only.
        before = record != nullptr && (record->flags & tables::kLowercase) != 0 ? Before::kLower
                                                                                : Before::kOther;
        continue;
      }
    }
    if (before == Before::kLower || before == Before::kDigit ||
        (before == Before::kUpper && lowercase_at(utf8, pos))) {
      out.push_back(U'_');
    }
    if (record == nullptr) {
      out.push_back(cp + 0x20);
    } else {
      put_mapping(out, cp, (record->flags & tables::kLowerSpecial) != 0, record->lower);
    }
    before = Before::kUpper;
  }
}

void underscore_to_camelcase(std::string_view utf8, CodePoints& out, const Poll& poll) {
  const std::size_t size = utf8.size();
  bool after_underscore = false;
  std::size_t pos = 0;
  std::size_t next_poll = kPollBytes;
  while (pos < size) {
    if (pos >= next_poll) {
      poll();
      next_poll = pos + kPollBytes;
    }
    if (!after_underscore) {
      pos = copy_plain<true>(utf8, pos, out);
      if (pos == size) break;
    }
    const auto lead = static_cast<unsigned char>(utf8[pos]);
    const bool upper = after_underscore && !out.empty();
    if (lead < 0x80) {
      ++pos;
      if (lead == '_') {
        after_underscore = true;
        continue;
      }
      out.push_back(upper ? ascii_to_upper(lead) : ascii_to_lower(lead));
    } else {
      const char32_t cp = decode_utf8(utf8, pos);
      if (cp < (upper ? kFirstUpperMapping : kFirstLowerMapping)) {
        out.push_back(cp);  // unmapped
      } else if (const tables::CaseRecord& record = tables::record_for(cp); upper) {
        put_mapping(out, cp, (record.flags & tables::kUpperSpecial) != 0, record.upper);
      } else {
        put_mapping(out, cp, (record.flags & tables::kLowerSpecial) != 0, record.lower);
      }
    }
    after_underscore = false;
  }
}

std::size_t uncamel_ascii_bound(std::string_view ascii) noexcept {
  return ascii.size() + count_in_range(ascii, 'A', 26);
}

std::size_t uncamel_ascii(std::string_view ascii, std::span<char> out, const Poll& poll) {
  const char* in = ascii.data();
  const std::size_t size = ascii.size();
  char* cursor = out.data();
  UncamelCarry carry;
  std::size_t pos = 0;
  std::size_t next_poll = kPollBytes;
  for (; pos + kUncamelReach <= size; pos += kBlock) {
    if (pos >= next_poll) {
      poll();
      next_poll = pos + kPollBytes;
    }
    const std::uint32_t bits = underscore_bits(in + pos, ascii_lower_byte(in[pos + kBlock]), carry);
    cursor += kBlock + emit_uncamel(in + pos, bits, cursor);
  }
  // The rest is read from a zero-padded copy, so that no block reads past the
  // end, and written through a staging copy unless `out` has room to spare.
  const std::size_t rest = size - pos;
  if (rest == 0) return static_cast<std::size_t>(cursor - out.data());
  alignas(16) char tail_in[kUncamelReach + kBlock] = {};
  alignas(16) char staging[kAsciiOutputSlack];
  std::memcpy(tail_in, in + pos, rest);
  const bool direct =
      out.data() + out.size() - cursor >= static_cast<std::ptrdiff_t>(sizeof staging);
  char* const tail_out = direct ? cursor : staging;
  char* tail_cursor = tail_out;
  for (std::size_t at = 0; at < rest; at += kBlock) {
    const std::uint32_t bits =
        underscore_bits(tail_in + at, ascii_lower_byte(tail_in[at + kBlock]), carry);
    tail_cursor += std::min(kBlock, rest - at) + emit_uncamel(tail_in + at, bits, tail_cursor);
  }
  const auto tail_length = static_cast<std::size_t>(tail_cursor - tail_out);
  if (!direct) std::memcpy(cursor, staging, tail_length);
  return static_cast<std::size_t>(cursor - out.data()) + tail_length;
}

std::size_t underscore_to_camelcase_ascii_length(std::string_view ascii) noexcept {
  return ascii.size() - count_in_range(ascii, '_', 1);
}

std::size_t underscore_to_camelcase_ascii(std::string_view ascii, std::span<char> out,
                                          const Poll& poll) {
  const char* in = ascii.data();
  const std::size_t size = ascii.size();
  // Leading underscores only make the first letter after them lowercase.
  std::size_t pos = 0;
  while (pos + kBlock <= size && byte_bits(in + pos, '_') == 0xFFFF) pos += kBlock;
  while (pos < size && in[pos] == '_') ++pos;
  if (pos == size) return 0;
  char* cursor = out.data();
  char* const end = out.data() + out.size();
  *cursor++ = static_cast<char>(ascii_to_lower(static_cast<unsigned char>(in[pos++])));
  // From here on the output is not empty, and a block's case depends only on
  // its bytes and the one before it.
  std::size_t next_poll = pos + kPollBytes;
  for (; pos + kCamelReach <= size && end - cursor >= static_cast<std::ptrdiff_t>(kCamelReach);
       pos += kBlock) {
    if (pos >= next_poll) {
      poll();
      next_poll = pos + kPollBytes;
    }
    cursor += kBlock - emit_camel(in + pos, byte_bits(in + pos, '_'), cursor);
  }
  // The rest in chunks read from zero-padded copies that start with the byte
  // before the chunk, and written through a staging copy unless `out` has
  // room to spare.
  while (pos < size) {
    const std::size_t chunk = std::min(size - pos, 2 * kBlock);
    alignas(16) char tail_in[1 + 2 * kBlock + kBlock] = {};
    alignas(16) char staging[kBlock + kCamelReach];
    tail_in[0] = in[pos - 1];
    std::memcpy(tail_in + 1, in + pos, chunk);
    const bool direct = end - cursor >= static_cast<std::ptrdiff_t>(sizeof staging);
    char* const tail_out = direct ? cursor : staging;
    char* tail_cursor = tail_out;
    for (std::size_t at = 1; at <= chunk; at += kBlock) {
      const char* block = tail_in + at;
      const std::size_t kept = std::min(kBlock, chunk + 1 - at);
      tail_cursor += kept - emit_camel(block, byte_bits(block, '_'), tail_cursor);
    }
    const auto tail_length = static_cast<std::size_t>(tail_cursor - tail_out);
    if (!direct) std::memcpy(cursor, staging, tail_length);
    cursor += tail_length;
    pos += chunk;
  }
  return static_cast<std::size_t>(cursor - out.data());
}

std::string uncamel(std::string_view utf8) {
  if (all_ascii(utf8)) {
    std::string result(uncamel_ascii_bound(utf8), '\0');
    result.resize(uncamel_ascii(utf8, result));
    return result;
  }
  CodePoints out;
  uncamel(utf8, out);
  return to_utf8(out);
}

std::string underscore_to_camelcase(std::string_view utf8) {
  if (all_ascii(utf8)) {
    std::string result(underscore_to_camelcase_ascii_length(utf8), '\0');
    underscore_to_camelcase_ascii(utf8, result);
    return result;
  }
  CodePoints out;
  underscore_to_camelcase(utf8, out);
  return to_utf8(out);
}

}  // namespace vesk::text
