// The text kernels: the four text functions on the rows of a plain chunk,
// the rows of a dictionary-encoded one copied from its values' results, and
// the assembly of the pieces that tasks write.
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>

#include "columns/kernels.hpp"
#include "columns/utf8_check.hpp"
#include "numparse/numparse.hpp"
#include "text/case.hpp"
#include "text/code_points.hpp"
#include "text/vulgar.hpp"

namespace vesk::columns {
namespace {

constexpr auto kMaxInt32 = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

[[noreturn]] void too_long_for_utf8(std::size_t chunk) {
  value_fault("chunk " + std::to_string(chunk) +
              ": the result texts exceed 2 GiB, too much for utf8 (pass large_utf8 input)");
}

// The view of a text of at most 12 bytes at `bytes`, inlined; the 16 bytes
// at `bytes` must be readable (the bytes past `size` are not copied).
void write_inline_view(char* slot, const char* bytes, std::size_t size) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint64_t low;
    std::uint32_t high;
    std::memcpy(&low, bytes, 8);
    std::memcpy(&high, bytes + 8, 4);
    if (size < 8) {
      low &= (std::uint64_t{1} << (8 * size)) - 1;
      high = 0;
    } else {
      high &= static_cast<std::uint32_t>((std::uint64_t{1} << (8 * (size - 8))) - 1);
    }
    const std::uint64_t first = static_cast<std::uint64_t>(size) | (low << 32);
    const std::uint64_t second = (low >> 32) | (std::uint64_t{high} << 32);
    std::memcpy(slot, &first, 8);
    std::memcpy(slot + 8, &second, 8);
  } else {
    StringView v{};
    v.length = static_cast<std::int32_t>(size);
    if (size > 0) std::memcpy(v.inlined, bytes, size);
    std::memcpy(slot, &v, sizeof(v));
  }
}

// Records where row i ends in its piece (and, for a view, where it starts).
// A view of at most 12 bytes holds its text itself, which then leaves the
// piece.
inline void record_row(TextCells& out, Buffer& piece, std::int64_t i, std::size_t start) {
  const std::size_t end = piece.size();
  switch (out.form) {
    case OutType::Utf8:
      if (end > kMaxInt32) too_long_for_utf8(out.chunk);
      out.index.as<std::int32_t>()[i + 1] = static_cast<std::int32_t>(end);
      break;
    case OutType::LargeUtf8:
      out.index.as<std::int64_t>()[i + 1] = static_cast<std::int64_t>(end);
      break;
    default: {
      const std::size_t size = end - start;
      char* const slot = out.index.data() + 16 * i;
      if (size <= static_cast<std::size_t>(kInlineViewBytes)) {
        if (piece.capacity() - start >= 16) {
          write_inline_view(slot, piece.data() + start, size);
        } else {
          StringView v{};
          v.length = static_cast<std::int32_t>(size);
          if (size > 0) std::memcpy(v.inlined, piece.data() + start, size);
          std::memcpy(slot, &v, sizeof(v));
        }
        piece.truncate(start);
        break;
      }
      if (size > kMaxInt32 || start > kMaxInt32) {
        value_fault("chunk " + std::to_string(out.chunk) +
                    ": a piece of the result exceeds 2 GiB, too much for utf8_view");
      }
      StringView v{};
      v.length = static_cast<std::int32_t>(size);
      std::memcpy(v.ref.prefix, piece.data() + start, 4);
      v.ref.buffer_index = static_cast<std::int32_t>(i / kRowsPerTask);
      v.ref.offset = static_cast<std::int32_t>(start);
      std::memcpy(slot, &v, sizeof(v));
      break;
    }
  }
}

// Marks a piece finished and appends what can be, unless another task is
// appending: that one may take this piece too, or else the next task to
// finish, or run_job once every task has. Nobody waits for the copying.
void merge_finished(TextCells& out, std::size_t finished_piece) {
  out.finished[finished_piece].store(1, std::memory_order_release);
  const std::unique_lock lock(*out.merging, std::try_to_lock);
  if (lock.owns_lock()) merge_ready(out);
}

// Appends the UTF-8 form of the code points `cps` to `piece`.
void append_utf8(Buffer& piece, const text::CodePoints& cps) {
  char* const start = piece.room(4 * cps.size());
  char* out = start;
  for (std::size_t k = 0; k < cps.size(); ++k) {
    const char32_t cp = cps[k];
    if (cp < 0x80) {
      *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out++ = static_cast<char>(0xC0 | (cp >> 6));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out++ = static_cast<char>(0xE0 | (cp >> 12));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out++ = static_cast<char>(0xF0 | (cp >> 18));
      *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  piece.commit(static_cast<std::size_t>(out - start));
}

// One present cell's result, appended to `piece`; false when it is missing.
// (A template: each task's loop is compiled for its function.)
// The code-point forms, for cells that are not ASCII: out of line, so that
// the ASCII path of a task's loop stays small.
[[gnu::noinline]] void uncamel_utf8(std::string_view text, Buffer& piece, const Poll& poll) {
  text::CodePoints cps;
  text::uncamel(text, cps, poll);
  append_utf8(piece, cps);
}

[[gnu::noinline]] void to_camel_utf8(std::string_view text, Buffer& piece, const Poll& poll) {
  text::CodePoints cps;
  text::underscore_to_camelcase(text, cps, poll);
  append_utf8(piece, cps);
}

template <Function function>
inline bool transform(std::string_view text, bool ascii, Buffer& piece, const Poll& poll) {
  if constexpr (function == Function::Normalize) {
    const std::optional<std::string> normalized = numparse::strip_numeric_formatting(text, poll);
    if (!normalized) return false;
    piece.append(normalized->data(), normalized->size());
  } else if constexpr (function == Function::Uncamel) {
    if (text.empty()) return true;
    if (ascii) {
      const std::size_t room = 2 * text.size() + text::kAsciiOutputSlack;
      piece.commit(text::uncamel_ascii(text, {piece.room(room), room}, poll));
    } else {
      uncamel_utf8(text, piece, poll);
    }
  } else if constexpr (function == Function::ToCamel) {
    if (text.empty()) return true;
    if (ascii) {
      const std::size_t room = text.size() + text::kAsciiOutputSlack;
      piece.commit(text::underscore_to_camelcase_ascii(text, {piece.room(room), room}, poll));
    } else {
      to_camel_utf8(text, piece, poll);
    }
  } else {
    const text::FractionCensus census = text::take_fraction_census(text, poll);
    if (census.fractions == 0) {
      piece.append(text.data(), text.size());
    } else {
      const std::size_t room = text::sanitized_bound(text, census);
      piece.commit(text::sanitize_vulgar_into(text, {piece.room(room), room}, poll));
    }
  }
  return true;
}

}  // namespace

// (Each appended piece's offsets are made absolute, and the piece freed.)
void merge_ready(TextCells& out) {
  while (out.merged < out.pieces.size() &&
         out.finished[out.merged].load(std::memory_order_acquire) != 0) {
    const std::size_t p = out.merged;
    const auto base = static_cast<std::int64_t>(out.data.size());
    Buffer piece = std::move(out.pieces[p]);
    if (p == 0) {
      out.data = std::move(piece);  // adopted, not copied
    } else {
      if (out.form == OutType::Utf8 && out.data.size() + piece.size() > kMaxInt32)
        too_long_for_utf8(out.chunk);
      out.data.append(piece.data(), piece.size());
    }
    const auto first = static_cast<std::int64_t>(p) * kRowsPerTask;
    const std::int64_t last = std::min(out.length, first + kRowsPerTask);
    if (base > 0) {
      if (out.form == OutType::Utf8) {
        auto* offsets = out.index.as<std::int32_t>();
        for (std::int64_t i = first; i < last; ++i)
          offsets[i + 1] += static_cast<std::int32_t>(base);
      } else {
        auto* offsets = out.index.as<std::int64_t>();
        for (std::int64_t i = first; i < last; ++i) offsets[i + 1] += base;
      }
    }
    ++out.merged;
  }
}

namespace {

template <Function function>
void text_rows_of(const ColumnView& view, std::int64_t begin, std::int64_t end, bool ascii,
                  bool decimal_comma, TextCells& out, const Poll& poll) {
  const auto piece_index = static_cast<std::size_t>(begin / kRowsPerTask);
  Buffer& piece = out.pieces[piece_index];
  auto* const state = out.state.as<std::uint8_t>();
  // (a counter of its own, which the compiler keeps in a register: the
  // piece's bytes may alias any object in memory)
  std::size_t since_poll = 0;
  std::string scratch;
  for (std::int64_t i = begin; i < end; ++i) {
    const std::size_t start = piece.size();
    state[i] = 0;
    if (view.valid(i)) {
      std::string_view text = view.cell(i);
      if constexpr (function == Function::Normalize) {
        if (decimal_comma) text = swap_decimal_marks(text, scratch);
      }
      const bool cell_ascii = ascii || all_ascii(text.data(), text.size(), poll);
      state[i] = transform<function>(text, cell_ascii, piece, poll) ? 1 : 0;
      since_poll += text.size();
      if (since_poll >= kPollBytes) [[unlikely]] {
        since_poll = 0;
        poll();
      }
    }
    record_row(out, piece, i, start);
  }
  if (out.form != OutType::View) merge_finished(out, piece_index);
}

}  // namespace

void text_rows(Function function, const ColumnView& view, std::int64_t begin, std::int64_t end,
               bool ascii, bool decimal_comma, TextCells& out, const Poll& poll) {
  switch (function) {
    case Function::Normalize:
      return text_rows_of<Function::Normalize>(view, begin, end, ascii, decimal_comma, out, poll);
    case Function::Uncamel:
      return text_rows_of<Function::Uncamel>(view, begin, end, ascii, decimal_comma, out, poll);
    case Function::ToCamel:
      return text_rows_of<Function::ToCamel>(view, begin, end, ascii, decimal_comma, out, poll);
    default:
      return text_rows_of<Function::Vulgar>(view, begin, end, ascii, decimal_comma, out, poll);
  }
}

void gather_texts(const ColumnView& view, std::int64_t begin, std::int64_t end,
                  const TextCells& values, TextCells& out, const Poll& poll) {
  auto* const state = out.state.as<std::uint8_t>();
  const auto* const value_state = values.state.as<std::uint8_t>();
  const std::int64_t count = values.length;
  if (out.form == OutType::View) {
    // A row's view is its value's, inline text or reference into the
    // values' pieces alike: the chunk takes those pieces as its buffers.
    with_indices(view, [&](const auto* indices) {
      for (std::int64_t i = begin; i < end; ++i) {
        char* const slot = out.index.data() + 16 * i;
        state[i] = 0;
        std::memset(slot, 0, 16);
        if (!view.valid(i)) continue;
        const std::int64_t k = value_of(view, indices, i, count);
        if (value_state[k] == 0) continue;
        state[i] = 1;
        std::memcpy(slot, values.index.data() + 16 * k, 16);
      }
    });
    return;
  }
  const auto piece_index = static_cast<std::size_t>(begin / kRowsPerTask);
  Buffer& piece = out.pieces[piece_index];
  // The values' texts are one buffer with int64 offsets (a LargeUtf8 job).
  const auto* const starts = values.index.as<std::int64_t>();
  const char* const bytes = values.data.data();
  with_indices(view, [&](const auto* indices) {
    // Once to check the indices and size the piece, once to copy.
    std::size_t size = 0;
    for (std::int64_t i = begin; i < end; ++i) {
      state[i] = 0;
      if (!view.valid(i)) continue;
      const std::int64_t k = value_of(view, indices, i, count);
      if (value_state[k] == 0) continue;
      state[i] = 1;
      size += static_cast<std::size_t>(starts[k + 1] - starts[k]);
    }
    char* const start = piece.room(size);
    char* at = start;
    PollMeter meter(poll);
    const auto copy = [&](auto* offsets) {
      for (std::int64_t i = begin; i < end; ++i) {
        const std::int64_t k = state[i] != 0 ? indices[view.offset + i] : 0;
        const auto length = state[i] != 0 ? static_cast<std::size_t>(starts[k + 1] - starts[k]) : 0;
        if (length > 0) {  // (no bytes at all: `at` may be null)
          std::memcpy(at, bytes + starts[k], length);
          at += length;
          meter.add(length);
        }
        offsets[i + 1] = static_cast<std::remove_pointer_t<decltype(offsets)>>(at - start);
      }
    };
    if (out.form == OutType::Utf8) {
      if (size > kMaxInt32) too_long_for_utf8(out.chunk);
      copy(out.index.as<std::int32_t>());
    } else {
      copy(out.index.as<std::int64_t>());
    }
    piece.commit(size);
  });
  merge_finished(out, piece_index);
}

}  // namespace vesk::columns
