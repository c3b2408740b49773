// The per-task kernels of a column job, over the rows [begin, end) of one
// chunk (engine.cpp cuts the chunks into tasks and runs them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/poll.hpp"
#include "columns/engine.hpp"

namespace vesk::columns {

// Calls a poll hook after about every kPollBytes of cells gone through, so
// that a task of many mid-sized cells (each too short for the transforms'
// own polling) still looks up as often as one long cell.
class PollMeter {
 public:
  explicit PollMeter(const Poll& poll) noexcept : poll_(poll) {}
  void add(std::size_t bytes) {
    since_ += bytes;
    if (since_ >= kPollBytes) {
      since_ = 0;
      poll_();
    }
  }

 private:
  const Poll& poll_;
  std::size_t since_ = 0;
};

// The cell a task reads with decimal=",": `text` with ',' and '.'
// exchanged, written into the task's own `scratch` (reused from cell to cell:
// no allocation once it has grown to the longest cell). Both are ASCII, so
// no other character of the UTF-8 text is touched.
inline std::string_view swap_decimal_marks(std::string_view text, std::string& scratch) {
  scratch.resize(text.size());
  char* const out = scratch.data();
  for (std::size_t k = 0; k < text.size(); ++k) {
    const char c = text[k];
    out[k] = c == ',' ? '.' : c == '.' ? ',' : c;
  }
  return scratch;
}

// The numbers of checked rows of a plain chunk, into `target`.
void parse_rows(const ColumnView& view, std::int64_t begin, std::int64_t end, NumberMode mode,
                bool decimal_comma, const NumberTarget& target, const Poll& poll);

// The texts of checked rows of a plain chunk (`ascii`: all of them are),
// into their piece of `out`. `decimal_comma` applies to normalize_numeric_str.
void text_rows(Function function, const ColumnView& view, std::int64_t begin, std::int64_t end,
               bool ascii, bool decimal_comma, TextCells& out, const Poll& poll);

// Dictionary-encoded chunks: each present row takes the result of its value,
// computed once beforehand (`values`, with `count` values); a row is missing
// when it is null or its value's result is. Throws ColumnFault for an index
// outside the dictionary.
void gather_numbers(const ColumnView& view, std::int64_t begin, std::int64_t end, NumberMode mode,
                    const NumberTarget& values, std::int64_t count, const NumberTarget& target);
void gather_texts(const ColumnView& view, std::int64_t begin, std::int64_t end,
                  const TextCells& values, TextCells& out, const Poll& poll);

// The fault of an index outside the dictionary (`index`: its digits).
[[noreturn, gnu::cold, gnu::noinline]] void index_fault(const ColumnView& view, std::int64_t row,
                                                        const std::string& index,
                                                        std::int64_t count);

// The value index of row `row` of a dictionary-encoded chunk, checked
// against the `count` values.
template <class Index>
std::int64_t value_of(const ColumnView& view, const Index* indices, std::int64_t row,
                      std::int64_t count) {
  const Index index = indices[view.offset + row];
  bool outside = static_cast<std::uint64_t>(index) >= static_cast<std::uint64_t>(count);
  if constexpr (std::is_signed_v<Index>) outside |= index < 0;
  if (outside) index_fault(view, row, std::to_string(index), count);
  return static_cast<std::int64_t>(index);
}

// Calls visit(indices) with the chunk's indices as pointers of their type.
template <class Visit>
void with_indices(const ColumnView& view, Visit&& visit) {
  switch (view.index_type) {
    case IndexType::Int8:
      return visit(static_cast<const std::int8_t*>(view.indices));
    case IndexType::UInt8:
      return visit(static_cast<const std::uint8_t*>(view.indices));
    case IndexType::Int16:
      return visit(static_cast<const std::int16_t*>(view.indices));
    case IndexType::UInt16:
      return visit(static_cast<const std::uint16_t*>(view.indices));
    case IndexType::Int32:
      return visit(static_cast<const std::int32_t*>(view.indices));
    case IndexType::UInt32:
      return visit(static_cast<const std::uint32_t*>(view.indices));
    case IndexType::Int64:
      return visit(static_cast<const std::int64_t*>(view.indices));
    default:
      return visit(static_cast<const std::uint64_t*>(view.indices));
  }
}

// Appends the finished pieces of `out` that follow the ones already
// appended; the caller holds `out.merging`, or is alone.
void merge_ready(TextCells& out);

}  // namespace vesk::columns
