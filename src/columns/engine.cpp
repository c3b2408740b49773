#include "columns/engine.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <variant>

#include "columns/pool.hpp"
#include "columns/utf8_check.hpp"
#include "numparse/numparse.hpp"
#include "text/case.hpp"
#include "text/vulgar.hpp"

namespace vesk::columns {
namespace {

void parse_rows(const ColumnView& view, std::int64_t begin, std::int64_t end, NumberMode mode,
                const NumberTarget& target) {
  char* const values = target.values;
  std::uint8_t* const state = target.state;
  for (std::int64_t i = begin; i < end; ++i) {
    std::uint8_t kind = kMissing;
    std::int64_t integer = 0;
    double real = mode == NumberMode::Float ? std::numeric_limits<double>::quiet_NaN() : 0.0;
    if (view.valid(i)) {
      const numparse::ParsedNumber number = numparse::parse_number(view.cell(i));
      if (const auto* found = std::get_if<std::int64_t>(&number)) {
        kind = kInteger;
        integer = *found;
      } else if (const auto* found_real = std::get_if<double>(&number)) {
        kind = kReal;
        real = *found_real;
      }
    }
    char* slot = values + 8 * i;
    switch (mode) {
      case NumberMode::Float: {
        if (kind == kInteger) real = static_cast<double>(integer);
        std::memcpy(slot, &real, 8);
        state[i] = kind != kMissing;
        break;
      }
      case NumberMode::Int: {
        if (kind == kReal) {
          // A whole value within the int64 range; anything else is missing.
          if (std::isfinite(real) && real == std::trunc(real) && real >= -0x1p63 && real < 0x1p63) {
            integer = static_cast<std::int64_t>(real);
            kind = kInteger;
          } else {
            kind = kMissing;
          }
        }
        if (kind == kMissing) integer = 0;
        std::memcpy(slot, &integer, 8);
        state[i] = kind != kMissing;
        break;
      }
      default:
        if (kind == kReal)
          std::memcpy(slot, &real, 8);
        else
          std::memcpy(slot, &integer, 8);
        state[i] = kind;
        break;
    }
  }
}

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
void record_row(TextCells& out, Buffer& piece, std::int64_t i, std::size_t start) {
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

// Appends the finished pieces that follow the ones already appended to
// `data`, making their offsets absolute, and frees them. The caller holds
// `merging`, or is alone.
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

// Marks a piece finished and appends what can be, unless another task is
// appending: that one may take this piece too, or else the next task to
// finish, or run_job once every task has. Nobody waits for the copying.
void merge_finished(TextCells& out, std::size_t finished_piece) {
  out.finished[finished_piece].store(1, std::memory_order_release);
  const std::unique_lock lock(*out.merging, std::try_to_lock);
  if (lock.owns_lock()) merge_ready(out);
}

void text_rows(Function function, const ColumnView& view, std::int64_t begin, std::int64_t end,
               bool ascii, TextCells& out, const Poll& poll) {
  const auto piece_index = static_cast<std::size_t>(begin / kRowsPerTask);
  Buffer& piece = out.pieces[piece_index];
  auto* const state = out.state.as<std::uint8_t>();
  for (std::int64_t i = begin; i < end; ++i) {
    const std::size_t start = piece.size();
    state[i] = 0;
    if (view.valid(i)) {
      const std::string_view text = view.cell(i);
      const bool cell_ascii = ascii || all_ascii(text.data(), text.size());
      state[i] = 1;
      switch (function) {
        case Function::Normalize: {
          const std::optional<std::string> normalized = numparse::strip_numeric_formatting(text);
          if (normalized)
            piece.append(normalized->data(), normalized->size());
          else
            state[i] = 0;
          break;
        }
        case Function::Uncamel:
          if (text.empty()) break;
          if (cell_ascii) {
            const std::size_t room = 2 * text.size() + text::kAsciiOutputSlack;
            piece.commit(text::uncamel_ascii(text, {piece.room(room), room}, poll));
          } else {
            const std::string converted = text::uncamel(text);
            piece.append(converted.data(), converted.size());
          }
          break;
        case Function::ToCamel:
          if (text.empty()) break;
          if (cell_ascii) {
            const std::size_t room = text.size() + text::kAsciiOutputSlack;
            piece.commit(text::underscore_to_camelcase_ascii(text, {piece.room(room), room}, poll));
          } else {
            const std::string converted = text::underscore_to_camelcase(text);
            piece.append(converted.data(), converted.size());
          }
          break;
        default: {
          const text::FractionCensus census = text::take_fraction_census(text);
          if (census.fractions == 0) {
            piece.append(text.data(), text.size());
          } else {
            const std::size_t room = text::sanitized_bound(text, census);
            piece.commit(text::sanitize_vulgar_into(text, {piece.room(room), room}, poll));
          }
          break;
        }
      }
    }
    record_row(out, piece, i, start);
  }
  if (out.form != OutType::View) merge_finished(out, piece_index);
}

std::size_t pieces_of(std::int64_t length) {
  return static_cast<std::size_t>((length + kRowsPerTask - 1) / kRowsPerTask);
}

// A buffer with a non-null data pointer even when empty: consumers may
// refuse a null values or data buffer.
void make_addressable(Buffer& buffer) {
  if (buffer.data() == nullptr) buffer.reserve(8);
}

}  // namespace

std::string_view TextCells::cell(std::int64_t row) const noexcept {
  std::int64_t begin = 0;
  std::int64_t end = 0;
  switch (form) {
    case OutType::Utf8:
      begin = index.as<std::int32_t>()[row];
      end = index.as<std::int32_t>()[row + 1];
      break;
    case OutType::LargeUtf8:
      begin = index.as<std::int64_t>()[row];
      end = index.as<std::int64_t>()[row + 1];
      break;
    default: {
      StringView v;
      std::memcpy(&v, index.data() + 16 * row, sizeof(v));
      const auto size = static_cast<std::size_t>(v.length);
      if (v.length <= kInlineViewBytes) return {index.data() + 16 * row + 4, size};
      return {pieces[static_cast<std::size_t>(v.ref.buffer_index)].data() + v.ref.offset, size};
    }
  }
  if (end == begin) return {};
  return {data.data() + begin, static_cast<std::size_t>(end - begin)};
}

void run_job(Job& job, const std::function<void()>& caller_poll) {
  // Task t covers rows [p * kRowsPerTask, ...) of chunk c: first_task[c] + p = t.
  std::vector<std::size_t> first_task;
  std::size_t count = 0;
  for (const ColumnView& view : job.chunks) {
    first_task.push_back(count);
    count += pieces_of(view.length);
  }
  first_task.push_back(count);
  const bool numbers = job.function == Function::Parse;
  if (!numbers) {
    job.texts.clear();
    job.texts.resize(job.chunks.size());
    for (std::size_t c = 0; c < job.chunks.size(); ++c) {
      TextCells& cells = job.texts[c];
      const auto length = static_cast<std::size_t>(job.chunks[c].length);
      cells.form = job.text_form;
      cells.length = job.chunks[c].length;
      cells.chunk = c;
      cells.state = Buffer::sized(length);
      if (cells.form == OutType::View) {
        cells.index = Buffer::sized(length * sizeof(StringView));
      } else {
        const std::size_t width = cells.form == OutType::Utf8 ? 4 : 8;
        cells.index = Buffer::zeroed((length + 1) * width);
      }
      cells.pieces.resize(pieces_of(cells.length));
      cells.finished = std::vector<std::atomic<std::uint8_t>>(cells.pieces.size());
    }
  }
  job.validity.clear();
  job.null_counts.assign(job.chunks.size(), 0);
  for (const ColumnView& view : job.chunks)
    job.validity.push_back(Buffer::zeroed(static_cast<std::size_t>((view.length + 63) / 64 * 8)));
  std::vector<std::int64_t> task_missing(count, 0);
  const TaskWork work = [&](std::size_t task, const Poll& poll) {
    std::size_t c = 0;
    // Chunks are few; a linear walk costs nothing next to a task.
    while (first_task[c + 1] <= task) ++c;
    const ColumnView& view = job.chunks[c];
    const auto begin = static_cast<std::int64_t>(task - first_task[c]) * kRowsPerTask;
    const std::int64_t end = std::min(view.length, begin + kRowsPerTask);
    const bool ascii = check_rows(view, begin, end);
    const std::uint8_t* state = nullptr;
    if (numbers) {
      parse_rows(view, begin, end, job.mode, job.numbers[c]);
      state = job.numbers[c].state;
    } else {
      text_rows(job.function, view, begin, end, ascii, job.texts[c], poll);
      state = job.texts[c].state.as<std::uint8_t>();
    }
    task_missing[task] = pack_validity(state, begin, end, job.validity[c].as<std::uint8_t>());
  };
  run_tasks(count, job.threads, work, caller_poll);
  // Every task has finished: the pieces still waiting are appended here.
  for (TextCells& cells : job.texts)
    if (cells.form != OutType::View) merge_ready(cells);
  for (std::size_t c = 0; c < job.chunks.size(); ++c)
    for (std::size_t t = first_task[c]; t < first_task[c + 1]; ++t)
      job.null_counts[c] += task_missing[t];
}

OutChunk text_chunk(TextCells&& cells, OutType type, Buffer&& validity, std::int64_t null_count) {
  OutChunk out;
  out.type = type;
  out.length = cells.length;
  const auto length = static_cast<std::size_t>(cells.length);
  out.null_count = null_count;
  if (null_count > 0) out.validity = std::move(validity);
  cells.state = Buffer();
  if (type == OutType::View) {
    out.values = std::move(cells.index);
    make_addressable(out.values);
    out.sizes = Buffer::sized(cells.pieces.size() * 8);
    make_addressable(out.sizes);
    for (std::size_t p = 0; p < cells.pieces.size(); ++p) {
      const auto size = static_cast<std::int64_t>(cells.pieces[p].size());
      std::memcpy(out.sizes.data() + 8 * p, &size, 8);
      cells.pieces[p].shrink();
      make_addressable(cells.pieces[p]);
    }
    out.data = std::move(cells.pieces);
    return out;
  }
  if (type == OutType::Utf8 && cells.form == OutType::LargeUtf8) {
    // Narrowed in place: entry i is written at 4i, after entries up to 2i
    // were read.
    char* bytes = cells.index.data();
    for (std::size_t i = 0; i <= length; ++i) {
      std::int64_t wide;
      std::memcpy(&wide, bytes + 8 * i, 8);
      const auto narrow = static_cast<std::int32_t>(wide);
      std::memcpy(bytes + 4 * i, &narrow, 4);
    }
    cells.index.truncate((length + 1) * 4);
    cells.index.shrink();
  }
  out.values = std::move(cells.index);
  cells.data.shrink();
  make_addressable(cells.data);
  out.data.push_back(std::move(cells.data));
  return out;
}

OutChunk number_chunk(Buffer&& values, Buffer&& validity, std::int64_t null_count,
                      std::int64_t length, OutType type) {
  OutChunk out;
  out.type = type;
  out.length = length;
  out.null_count = null_count;
  if (null_count > 0) out.validity = std::move(validity);
  out.values = std::move(values);
  make_addressable(out.values);
  return out;
}

}  // namespace vesk::columns
