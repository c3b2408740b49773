// A checked, non-owning view of one column chunk: an imported Arrow string
// array (plain or dictionary-encoded), or the texts gathered from Python
// objects. Kernels read cells only through it, and only after `check_rows`
// has passed for their rows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/poll.hpp"
#include "columns/arrow_abi.hpp"
#include "columns/arrow_type.hpp"

namespace vesk::columns {

// A fault of the input: the message is final; the glue raises it as a
// TypeError (an unsupported type) or a ValueError (malformed data).
class ColumnFault {
 public:
  enum class Kind : std::uint8_t { Type, Value };
  ColumnFault(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  [[nodiscard]] const std::string& message() const noexcept { return message_; }

 private:
  Kind kind_;
  std::string message_;
};

[[noreturn]] void value_fault(std::string message);

struct ColumnView {
  CellKind kind = CellKind::Null;
  std::int64_t length = 0;
  std::int64_t offset = 0;    // into the Arrow buffers
  std::int64_t row_base = 0;  // the column-wide index of the first row, for messages
  // The view of a dictionary's values (of the chunk of this index) rather
  // than of a column's rows: its messages name values, not rows.
  std::int64_t dictionary_of = -1;
  const std::uint8_t* validity = nullptr;  // null: no missing cells
  const std::int32_t* offsets32 = nullptr;
  const std::int64_t* offsets64 = nullptr;
  // utf8, large_utf8: the bytes every row's offsets must lie within, from the
  // chunk's first offset to its last (view_of checks that they are in order).
  std::int64_t first_offset = 0;
  std::int64_t last_offset = 0;
  const char* data = nullptr;
  const StringView* views = nullptr;
  const char* const* view_buffers = nullptr;
  const std::int64_t* view_sizes = nullptr;
  std::int64_t view_buffer_count = 0;
  const std::string_view* cells = nullptr;  // Sequence
  const std::uint8_t* present = nullptr;    // Sequence: 1 where a text is present
  // Dictionary-encoded: each present row holds an index into the values of
  // the job's dictionary `values_slot` (kind is then the values' kind, and
  // cell() is not used: the kernels read the indices).
  const void* indices = nullptr;
  IndexType index_type = IndexType::Int32;
  std::size_t values_slot = 0;

  [[nodiscard]] bool encoded() const noexcept { return indices != nullptr; }

  [[nodiscard]] bool valid(std::int64_t row) const noexcept {
    switch (kind) {
      case CellKind::Null:
        if (indices == nullptr) return false;
        break;  // the value decides
      case CellKind::Sequence:
        return present[row] != 0;
      default:
        break;
    }
    if (validity == nullptr) return true;
    const std::int64_t bit = offset + row;
    return ((validity[bit >> 3] >> (bit & 7)) & 1) != 0;
  }

  // The text of a present cell of a plain chunk (after check_rows).
  [[nodiscard]] std::string_view cell(std::int64_t row) const noexcept {
    switch (kind) {
      case CellKind::Utf8: {
        const std::int32_t begin = offsets32[offset + row];
        const std::int32_t end = offsets32[offset + row + 1];
        // (the data buffer may be null when every text is empty)
        if (end == begin) return {};
        return {data + begin, static_cast<std::size_t>(end - begin)};
      }
      case CellKind::LargeUtf8: {
        const std::int64_t begin = offsets64[offset + row];
        const std::int64_t end = offsets64[offset + row + 1];
        if (end == begin) return {};
        return {data + begin, static_cast<std::size_t>(end - begin)};
      }
      case CellKind::View: {
        const StringView& v = views[offset + row];
        const auto size = static_cast<std::size_t>(v.length);
        if (v.length <= kInlineViewBytes) return {v.inlined, size};
        return {view_buffers[v.ref.buffer_index] + v.ref.offset, size};
      }
      case CellKind::Sequence:
        return cells[row];
      default:
        return {};
    }
  }
};

// The view of an imported plain array of type `kind` (of the dictionary of
// chunk `dictionary_of` when that is not -1), after the checks that cost
// nothing per row: buffer count and pointers, length, offset, null count,
// the first and last offsets and their order. Throws ColumnFault.
ColumnView view_of(CellKind kind, const ArrowArray& array, std::int64_t row_base,
                   std::int64_t dictionary_of = -1);

// The view of an imported dictionary-encoded array of `type` whose values
// are the job's dictionary `values_slot`: the same checks for its validity
// and indices (the values are viewed on their own, by view_of). Throws
// ColumnFault.
ColumnView encoded_view_of(const ColumnType& type, const ArrowArray& array, std::int64_t row_base,
                           std::size_t values_slot);

// Checks rows [begin, end) of a plain view before any kernel reads them:
// every row's offsets in order and within the chunk's first and last offset,
// views within their buffers, present texts valid UTF-8. Throws ColumnFault
// naming the lowest faulty row of the range, whatever its fault; the check
// of a row depends on nothing outside it, so the row named does not depend
// on how a column is cut into ranges. Returns whether every present text in
// the range is ASCII. Calls `poll` between chunks of the bytes.
bool check_rows(const ColumnView& view, std::int64_t begin, std::int64_t end, const Poll& poll);

// "row N: " or "dictionary of chunk C, value N: " followed by `what`.
[[noreturn]] void row_fault(const ColumnView& view, std::int64_t row, const std::string& what);

}  // namespace vesk::columns
