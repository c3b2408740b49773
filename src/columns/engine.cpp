#include "columns/engine.hpp"

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

void text_rows(Function function, const ColumnView& view, std::int64_t begin, std::int64_t end,
               bool ascii, TextCells& out, const text::Poll& poll) {
  Buffer& piece = out.pieces[static_cast<std::size_t>(begin / kRowsPerTask)];
  auto* const ends = out.ends.as<std::int64_t>();
  auto* const state = out.state.as<std::uint8_t>();
  for (std::int64_t i = begin; i < end; ++i) {
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
    ends[i] = static_cast<std::int64_t>(piece.size());
  }
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
  const Buffer& piece = pieces[static_cast<std::size_t>(row / kRowsPerTask)];
  const auto* e = ends.as<std::int64_t>();
  const std::int64_t start = row % kRowsPerTask == 0 ? 0 : e[row - 1];
  if (e[row] == start) return {};
  return {piece.data() + start, static_cast<std::size_t>(e[row] - start)};
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
      cells.length = job.chunks[c].length;
      cells.state = Buffer::sized(length);
      cells.ends = Buffer::sized(length * 8);
      cells.pieces.resize(pieces_of(cells.length));
    }
  }
  const TaskWork work = [&](std::size_t task, const text::Poll& poll) {
    std::size_t c = 0;
    // Chunks are few; a linear walk costs nothing next to a task.
    while (first_task[c + 1] <= task) ++c;
    const ColumnView& view = job.chunks[c];
    const auto begin = static_cast<std::int64_t>(task - first_task[c]) * kRowsPerTask;
    const std::int64_t end = std::min(view.length, begin + kRowsPerTask);
    const bool ascii = check_rows(view, begin, end);
    if (numbers)
      parse_rows(view, begin, end, job.mode, job.numbers[c]);
    else
      text_rows(job.function, view, begin, end, ascii, job.texts[c], poll);
  };
  run_tasks(count, job.threads, work, caller_poll);
}

OutChunk text_chunk(TextCells&& cells, OutType type, std::size_t chunk) {
  OutChunk out;
  out.type = type;
  out.length = cells.length;
  const auto length = static_cast<std::size_t>(cells.length);
  const auto* state = cells.state.as<std::uint8_t>();
  out.validity = bitmap_of(state, cells.length, out.null_count);
  const auto* ends = cells.ends.as<std::int64_t>();
  std::size_t total = 0;
  for (const Buffer& piece : cells.pieces) total += piece.size();

  if (type == OutType::View) {
    out.values = Buffer::sized(length * sizeof(StringView));
    make_addressable(out.values);
    auto* views = out.values.as<StringView>();
    for (std::size_t p = 0; p < cells.pieces.size(); ++p) {
      if (cells.pieces[p].size() >
          static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        value_fault("chunk " + std::to_string(chunk) +
                    ": a result piece holds 2 GiB of text or more, too much for utf8_view");
      }
    }
    for (std::size_t row = 0; row < length; ++row) {
      const std::string_view text = cells.cell(static_cast<std::int64_t>(row));
      StringView view{};
      view.length = static_cast<std::int32_t>(text.size());
      if (text.size() <= static_cast<std::size_t>(kInlineViewBytes)) {
        if (!text.empty()) std::memcpy(view.inlined, text.data(), text.size());
      } else {
        const std::size_t p = row / static_cast<std::size_t>(kRowsPerTask);
        std::memcpy(view.ref.prefix, text.data(), 4);
        view.ref.buffer_index = static_cast<std::int32_t>(p);
        view.ref.offset = static_cast<std::int32_t>(text.data() - cells.pieces[p].data());
      }
      std::memcpy(&views[row], &view, sizeof(view));
    }
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

  const bool large = type == OutType::LargeUtf8;
  if (!large && total > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    value_fault("chunk " + std::to_string(chunk) + ": the result holds " + std::to_string(total) +
                " bytes of text, more than utf8 holds (pass large_utf8 input)");
  }
  out.values = Buffer::sized((length + 1) * (large ? 8 : 4));
  std::int64_t base = 0;
  auto store = [&](std::size_t index, std::int64_t offset) {
    if (large)
      out.values.as<std::int64_t>()[index] = offset;
    else
      out.values.as<std::int32_t>()[index] = static_cast<std::int32_t>(offset);
  };
  store(0, 0);
  for (std::size_t row = 0; row < length; ++row) {
    if (row % static_cast<std::size_t>(kRowsPerTask) == 0 && row > 0)
      base += static_cast<std::int64_t>(cells.pieces[row / kRowsPerTask - 1].size());
    store(row + 1, base + ends[row]);
  }
  // The pieces, joined into one data buffer: the first one grows in place and
  // each other one is freed as soon as it is copied.
  Buffer data;
  if (!cells.pieces.empty()) {
    data = std::move(cells.pieces.front());
    data.reserve(total);
    for (std::size_t p = 1; p < cells.pieces.size(); ++p) {
      Buffer piece = std::move(cells.pieces[p]);
      data.append(piece.data(), piece.size());
    }
  }
  data.shrink();
  make_addressable(data);
  out.data.push_back(std::move(data));
  return out;
}

OutChunk number_chunk(Buffer&& values, const std::uint8_t* state, std::int64_t length,
                      OutType type) {
  OutChunk out;
  out.type = type;
  out.length = length;
  out.validity = bitmap_of(state, length, out.null_count);
  out.values = std::move(values);
  make_addressable(out.values);
  return out;
}

}  // namespace vesk::columns
