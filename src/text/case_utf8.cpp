// The case transforms of any valid UTF-8 text, into code points: runs that
// need no change are copied a block at a time, everything else goes through
// the generated case records one code point at a time.
#include <cstdint>

#include "text/ascii_block.hpp"
#include "text/case.hpp"
#include "text/unicode_tables.hpp"
#include "text/utf8.hpp"

namespace vesk::text {

namespace {

using ascii_block::kBlock;

// Above ASCII, no code point below these has the property or mapping (the
// table generator checks that the data keeps it so). Nothing below U+00C0 is
// uppercase either, but the lowercase test needs the record from U+00AA on,
// and that one record answers both.
constexpr char32_t kFirstLowercase = 0xAA;
constexpr char32_t kFirstUpperMapping = 0xB5;
constexpr char32_t kFirstLowerMapping = 0xC0;

// The bytes of the block at `p` that stop a plain copy: a non-ASCII byte, an
// ASCII capital or (when asked for) an underscore.
template <bool stop_at_underscore>
std::uint32_t stop_mask(const char* p) noexcept {
  std::uint32_t mask = ascii_block::range_mask(p, 0x80, 0x80) | ascii_block::range_mask(p, 'A', 26);
  if constexpr (stop_at_underscore) mask |= ascii_block::byte_mask(p, '_');
  return mask;
}

// Copies the bytes from `pos` up to the next one that stops a plain copy (see
// stop_mask) and returns that byte's index (or the size).
template <bool stop_at_underscore>
std::size_t copy_plain(std::string_view text, std::size_t pos, CodePoints& out) {
  const std::size_t size = text.size();
  for (; pos + kBlock <= size; pos += kBlock) {
    const char* block = text.data() + pos;
    const std::uint32_t stops = stop_mask<stop_at_underscore>(block);
    if (stops != 0) {
      out.append_ascii_block(block, ascii_block::low_bit(stops));
      return pos + ascii_block::low_bit(stops);
    }
    out.append_ascii_block(block, kBlock);
  }
  for (; pos < size; ++pos) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte >= 0x80 || ascii_block::is_upper(byte) || (stop_at_underscore && byte == '_')) break;
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
  if (cp < 0x80) return ascii_block::is_lower(cp);
  return cp >= kFirstLowercase && (tables::record_for(cp).flags & tables::kLowercase) != 0;
}

}  // namespace

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
      before = ascii_block::is_lower(last)   ? Before::kLower
               : ascii_block::is_digit(last) ? Before::kDigit
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
      out.push_back(upper ? ascii_block::to_upper(lead) : ascii_block::to_lower(lead));
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

}  // namespace vesk::text
