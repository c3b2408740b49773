// The case transforms of pure-ASCII text, a block of sixteen bytes at a time,
// written in place into the caller's result.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "text/ascii_block.hpp"
#include "text/case.hpp"

namespace vesk::text {

namespace {

using ascii_block::kBlock;

// ---------------------------------------------------------------------------
// uncamel: the classes of the bytes before and after each byte come from
// shifting the block's class masks, with the last byte of the previous block
// carried in and the first byte of the next one peeked at.

struct UncamelCarry {
  std::uint32_t split = 0;  // the byte before the block is a lowercase letter or digit
  std::uint32_t upper = 0;  // ... is a capital
};

// The positions in the block at `in` that get an underscore in front: a
// capital after a lowercase letter or digit, or after a capital when a
// lowercase letter follows. Moves `carry` on to the block's last byte.
std::uint32_t underscore_mask(const char* in, bool next_lower, UncamelCarry& carry) noexcept {
  const std::uint32_t upper = ascii_block::range_mask(in, 'A', 26);
  const std::uint32_t lower = ascii_block::range_mask(in, 'a', 26);
  const std::uint32_t split = lower | ascii_block::range_mask(in, '0', 10);
  const std::uint32_t after_split = (split << 1) | carry.split;
  const std::uint32_t after_upper = (upper << 1) | carry.upper;
  const std::uint32_t before_lower = (lower >> 1) | (std::uint32_t{next_lower} << (kBlock - 1));
  carry = {split >> (kBlock - 1), upper >> (kBlock - 1)};
  return upper & (after_split | (after_upper & before_lower));
}

// Writes the block at `in` lower-cased with an underscore before each
// position in `underscores`, and returns the number of underscores. The
// block is stored whole, then again from each underscore on, one byte
// further along: so it stores up to 47 bytes at `out` (past what it returns)
// and reads up to in[30].
std::size_t emit_uncamel(const char* in, std::uint32_t underscores, char* out) noexcept {
  ascii_block::store_lower(out, in);
  std::size_t shift = 0;
  for (; underscores != 0; underscores &= underscores - 1, ++shift) {
    const std::size_t at = ascii_block::low_bit(underscores);
    out[at + shift] = '_';
    ascii_block::store_lower(out + at + shift + 1, in + at);
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
// underscore_to_camelcase.

// Writes the block at `in` (in[-1] readable) with its underscores dropped and
// returns how many it dropped. Like emit_uncamel it stores the block whole,
// then again from the byte after each underscore on, one byte further back:
// up to 31 bytes at `out`, reading in[-1] to in[31].
std::size_t emit_camel(const char* in, std::uint32_t underscores, char* out) noexcept {
  ascii_block::store_camel(out, in);
  std::size_t dropped = 0;
  for (; underscores != 0; underscores &= underscores - 1, ++dropped) {
    const std::size_t at = ascii_block::low_bit(underscores);
    ascii_block::store_camel(out + at - dropped, in + at + 1);
  }
  return dropped;
}

// Room, in input and output, that a block of emit_camel needs in place.
constexpr std::size_t kCamelReach = 32;

}  // namespace

std::size_t uncamel_ascii_bound(std::string_view ascii) noexcept {
  return ascii.size() + ascii_block::count_in_range(ascii, 'A', 26);
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
    const std::uint32_t underscores =
        underscore_mask(in + pos, ascii_block::is_lower_byte(in[pos + kBlock]), carry);
    cursor += kBlock + emit_uncamel(in + pos, underscores, cursor);
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
    const std::uint32_t underscores =
        underscore_mask(tail_in + at, ascii_block::is_lower_byte(tail_in[at + kBlock]), carry);
    tail_cursor +=
        std::min(kBlock, rest - at) + emit_uncamel(tail_in + at, underscores, tail_cursor);
  }
  const auto tail_length = static_cast<std::size_t>(tail_cursor - tail_out);
  if (!direct) std::memcpy(cursor, staging, tail_length);
  return static_cast<std::size_t>(cursor - out.data()) + tail_length;
}

std::size_t underscore_to_camelcase_ascii_length(std::string_view ascii) noexcept {
  return ascii.size() - ascii_block::count_in_range(ascii, '_', 1);
}

std::size_t underscore_to_camelcase_ascii(std::string_view ascii, std::span<char> out,
                                          const Poll& poll) {
  const char* in = ascii.data();
  const std::size_t size = ascii.size();
  // Leading underscores only make the first letter after them lowercase.
  std::size_t pos = 0;
  while (pos + kBlock <= size && ascii_block::byte_mask(in + pos, '_') == 0xFFFF) pos += kBlock;
  while (pos < size && in[pos] == '_') ++pos;
  if (pos == size) return 0;
  char* cursor = out.data();
  char* const end = out.data() + out.size();
  *cursor++ = static_cast<char>(ascii_block::to_lower(static_cast<unsigned char>(in[pos++])));
  // From here on the output is not empty, and a block's case depends only on
  // its bytes and the one before it.
  std::size_t next_poll = pos + kPollBytes;
  for (; pos + kCamelReach <= size && end - cursor >= static_cast<std::ptrdiff_t>(kCamelReach);
       pos += kBlock) {
    if (pos >= next_poll) {
      poll();
      next_poll = pos + kPollBytes;
    }
    cursor += kBlock - emit_camel(in + pos, ascii_block::byte_mask(in + pos, '_'), cursor);
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
      tail_cursor += kept - emit_camel(block, ascii_block::byte_mask(block, '_'), tail_cursor);
    }
    const auto tail_length = static_cast<std::size_t>(tail_cursor - tail_out);
    if (!direct) std::memcpy(cursor, staging, tail_length);
    cursor += tail_length;
    pos += chunk;
  }
  return static_cast<std::size_t>(cursor - out.data());
}

}  // namespace vesk::text
