// A checked, non-owning view of one column chunk: an imported Arrow string
// array, or the texts gathered from a Python sequence. Kernels read cells
// only through it, and only after `check_rows` has passed for their rows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "columns/arrow_abi.hpp"

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

enum class CellKind : std::uint8_t {
  Utf8,       // "u": int32 offsets
  LargeUtf8,  // "U": int64 offsets
  View,       // "vu": 16-byte views over variadic buffers
  Null,       // "n": every cell missing
  Sequence,   // texts gathered from Python objects
};

// The kind of an Arrow format string; any other type is a TypeError naming it.
CellKind kind_of_format(const char* format);

// The Arrow format string of a kind ("u", "U", "vu", "n").
const char* format_of(CellKind kind) noexcept;

struct ColumnView {
  CellKind kind = CellKind::Null;
  std::int64_t length = 0;
  std::int64_t offset = 0;                 // into the Arrow buffers
  std::int64_t row_base = 0;               // the column-wide index of the first row, for messages
  const std::uint8_t* validity = nullptr;  // null: no missing cells
  const std::int32_t* offsets32 = nullptr;
  const std::int64_t* offsets64 = nullptr;
  const char* data = nullptr;
  const StringView* views = nullptr;
  const char* const* view_buffers = nullptr;
  const std::int64_t* view_sizes = nullptr;
  std::int64_t view_buffer_count = 0;
  const std::string_view* cells = nullptr;  // Sequence
  const std::uint8_t* present = nullptr;    // Sequence: 1 where a text is present

  [[nodiscard]] bool valid(std::int64_t row) const noexcept {
    switch (kind) {
      case CellKind::Null:
        return false;
      case CellKind::Sequence:
        return present[row] != 0;
      default:
        if (validity == nullptr) return true;
        const std::int64_t bit = offset + row;
        return ((validity[bit >> 3] >> (bit & 7)) & 1) != 0;
    }
  }

  // The text of a present cell (after check_rows).
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

// The view of an imported array of type `kind`, after the checks that cost
// nothing per row: buffer count and pointers, length, offset, null count, the
// first and last offsets. Throws ColumnFault.
ColumnView view_of(CellKind kind, const ArrowArray& array, std::int64_t row_base);

// Checks rows [begin, end) of `view` before any kernel reads them: offsets
// monotone, views within their buffers, present texts valid UTF-8. Throws
// ColumnFault naming the first bad row. Returns whether every present text in
// the range is ASCII.
bool check_rows(const ColumnView& view, std::int64_t begin, std::int64_t end);

}  // namespace vesk::columns
