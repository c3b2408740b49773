#include "columns/column_view.hpp"

#include <bit>
#include <cstring>
#include <limits>

#include "columns/utf8_check.hpp"

namespace vesk::columns {
namespace {

std::string row_message(std::int64_t row, const std::string& what) {
  std::string message = "row ";
  message += std::to_string(row);
  message += ": ";
  message += what;
  return message;
}

[[noreturn]] void row_fault(std::int64_t row, const std::string& what) {
  value_fault(row_message(row, what));
}

// The number of zero bits among bits [begin, begin + count) of `bitmap`.
std::int64_t count_nulls(const std::uint8_t* bitmap, std::int64_t begin, std::int64_t count) {
  std::int64_t nulls = 0;
  std::int64_t bit = begin;
  const std::int64_t end = begin + count;
  while (bit < end && (bit & 7) != 0) {
    nulls += ((bitmap[bit >> 3] >> (bit & 7)) & 1) == 0;
    ++bit;
  }
  for (; bit + 64 <= end; bit += 64) {
    std::uint64_t word;
    std::memcpy(&word, bitmap + (bit >> 3), 8);
    nulls += 64 - std::popcount(word);
  }
  for (; bit < end; ++bit) nulls += ((bitmap[bit >> 3] >> (bit & 7)) & 1) == 0;
  return nulls;
}

template <class Offset>
bool check_offset_rows(const ColumnView& view, const Offset* offsets, std::int64_t begin,
                       std::int64_t end) {
  const Offset* o = offsets + view.offset;
  for (std::int64_t i = begin; i < end; ++i) {
    if (o[i + 1] < o[i]) {
      row_fault(view.row_base + i, "offsets decrease (" + std::to_string(o[i]) + " to " +
                                       std::to_string(o[i + 1]) + ")");
    }
  }
  if (o[end] == o[begin]) return true;
  const auto first = static_cast<std::size_t>(o[begin]);
  const auto size = static_cast<std::size_t>(o[end]) - first;
  const char* bytes = view.data + first;
  if (all_ascii(bytes, size)) return true;
  // Valid as a whole, the range's texts are valid one by one when no text
  // starts inside a character, i.e. on a continuation byte.
  if (utf8_error_at(bytes, size) == size) {
    bool split = false;
    for (std::int64_t i = begin + 1; i < end; ++i) {
      const auto at = static_cast<std::size_t>(o[i]) - first;
      split |= at < size && (static_cast<unsigned char>(bytes[at]) & 0xC0) == 0x80;
    }
    if (!split) return false;
  }
  for (std::int64_t i = begin; i < end; ++i) {
    if (!view.valid(i)) continue;
    const std::string_view text = view.cell(i);
    if (const std::size_t bad = utf8_error_at(text.data(), text.size()); bad != text.size()) {
      row_fault(view.row_base + i, "invalid UTF-8 at byte " + std::to_string(bad));
    }
  }
  return false;
}

// Whether all 12 inline bytes of a view are ASCII, the bytes past its length
// included (they should be zero): a test that may only err on the safe side.
bool inline_bytes_ascii(const StringView& v) noexcept {
  std::uint32_t head;
  std::uint64_t tail;
  std::memcpy(&head, v.inlined, 4);
  std::memcpy(&tail, v.inlined + 4, 8);
  return ((head & 0x80808080U) | (tail & 0x8080808080808080ULL)) == 0;
}

// The checks of one view (row i, present); whether its text is ASCII. Out
// of line: the common views pass the cheap test of `view_is_ascii` first.
[[gnu::noinline]] bool check_view(const ColumnView& view, const StringView& v, std::int64_t i) {
  const std::int64_t row = view.row_base + i;
  std::string_view text;
  if (v.length <= kInlineViewBytes) {
    if (v.length < 0)
      row_fault(row, "string view length " + std::to_string(v.length) + " is negative");
    if (inline_bytes_ascii(v)) return true;
    text = {v.inlined, static_cast<std::size_t>(v.length)};
  } else {
    const std::int32_t index = v.ref.buffer_index;
    if (index < 0 || index >= view.view_buffer_count) {
      row_fault(row, "string view refers to data buffer " + std::to_string(index) + " of " +
                         std::to_string(view.view_buffer_count));
    }
    const std::int64_t size = view.view_sizes[index];
    if (v.ref.offset < 0 || std::int64_t{v.ref.offset} + v.length > size) {
      row_fault(row, "string view bytes " + std::to_string(v.ref.offset) + ".." +
                         std::to_string(std::int64_t{v.ref.offset} + v.length) +
                         " lie outside data buffer " + std::to_string(index) + " of " +
                         std::to_string(size) + " bytes");
    }
    text = {view.view_buffers[index] + v.ref.offset, static_cast<std::size_t>(v.length)};
  }
  if (all_ascii(text.data(), text.size())) return true;
  if (const std::size_t bad = utf8_error_at(text.data(), text.size()); bad != text.size())
    row_fault(row, "invalid UTF-8 at byte " + std::to_string(bad));
  return false;
}

// Whether a view is well formed and its text ASCII, decided cheaply; false
// leaves the question (and any fault) to check_view.
inline bool view_is_ascii(const ColumnView& view, const StringView& v) noexcept {
  const std::int32_t length = v.length;
  if (static_cast<std::uint32_t>(length) <= static_cast<std::uint32_t>(kInlineViewBytes))
    return inline_bytes_ascii(v);
  const std::int32_t index = v.ref.buffer_index;
  if (length < 0 || index < 0 || index >= view.view_buffer_count || v.ref.offset < 0 ||
      std::int64_t{v.ref.offset} + length > view.view_sizes[index]) {
    return false;
  }
  return all_ascii(view.view_buffers[index] + v.ref.offset, static_cast<std::size_t>(length));
}

bool check_view_rows(const ColumnView& view, std::int64_t begin, std::int64_t end) {
  bool ascii = true;
  const StringView* const views = view.views + view.offset;
  if (view.validity == nullptr) {
    for (std::int64_t i = begin; i < end; ++i)
      if (!view_is_ascii(view, views[i])) ascii &= check_view(view, views[i], i);
    return ascii;
  }
  for (std::int64_t i = begin; i < end; ++i)
    if (view.valid(i) && !view_is_ascii(view, views[i])) ascii &= check_view(view, views[i], i);
  return ascii;
}

void check_null_count(const ArrowArray& array, ColumnView& view) {
  if (array.null_count < -1 || array.null_count > array.length) {
    value_fault("Arrow array: null count " + std::to_string(array.null_count) +
                " is not within 0.." + std::to_string(array.length));
  }
  const auto* bitmap = static_cast<const std::uint8_t*>(array.buffers[0]);
  if (bitmap == nullptr) {
    if (array.null_count > 0) {
      value_fault("Arrow array: no validity bitmap although the null count is " +
                  std::to_string(array.null_count));
    }
    return;
  }
  if (array.null_count == 0) return;  // the bitmap may then be ignored
  if (array.null_count > 0) {
    const std::int64_t nulls = count_nulls(bitmap, array.offset, array.length);
    if (nulls != array.null_count) {
      value_fault("Arrow array: the validity bitmap holds " + std::to_string(nulls) +
                  " nulls but the null count is " + std::to_string(array.null_count));
    }
  }
  view.validity = bitmap;
}

template <class Offset>
void view_offsets(const ArrowArray& array, ColumnView& view, const Offset*& offsets) {
  if (array.n_buffers != 3) {
    value_fault("Arrow array of type '" + std::string(format_of(view.kind)) + "' has " +
                std::to_string(array.n_buffers) + " buffers, expected 3");
  }
  offsets = static_cast<const Offset*>(array.buffers[1]);
  view.data = static_cast<const char*>(array.buffers[2]);
  if (array.length == 0) return;
  if (offsets == nullptr) value_fault("Arrow array: the offsets buffer is missing");
  const Offset first = offsets[array.offset];
  if (first < 0) row_fault(view.row_base, "offset " + std::to_string(first) + " is negative");
  const Offset last = offsets[array.offset + array.length];
  if (last > first && view.data == nullptr) {
    value_fault("Arrow array: the data buffer is missing but the offsets span " +
                std::to_string(last - first) + " bytes");
  }
}

}  // namespace

void value_fault(std::string message) {
  throw ColumnFault(ColumnFault::Kind::Value, std::move(message));
}

CellKind kind_of_format(const char* format) {
  if (format == nullptr) value_fault("Arrow schema: the format string is missing");
  const std::string_view f(format);
  if (f == "u") return CellKind::Utf8;
  if (f == "U") return CellKind::LargeUtf8;
  if (f == "vu") return CellKind::View;
  if (f == "n") return CellKind::Null;
  throw ColumnFault(ColumnFault::Kind::Type, "unsupported Arrow type '" + std::string(f) +
                                                 "' (expected utf8, large_utf8 or utf8_view)");
}

const char* format_of(CellKind kind) noexcept {
  switch (kind) {
    case CellKind::Utf8:
    case CellKind::Sequence:
      return "u";
    case CellKind::LargeUtf8:
      return "U";
    case CellKind::View:
      return "vu";
    default:
      return "n";
  }
}

ColumnView view_of(CellKind kind, const ArrowArray& array, std::int64_t row_base) {
  ColumnView view;
  view.kind = kind;
  view.row_base = row_base;
  if (array.length < 0 || array.offset < 0 ||
      array.length > std::numeric_limits<std::int64_t>::max() / 2 - array.offset) {
    value_fault("Arrow array: length " + std::to_string(array.length) + " or offset " +
                std::to_string(array.offset) + " out of range");
  }
  if (array.n_children != 0 || array.dictionary != nullptr) {
    value_fault("Arrow array of a string type has children or a dictionary");
  }
  view.length = array.length;
  view.offset = array.offset;
  if (kind == CellKind::Null) return view;
  if (array.n_buffers < 2 || array.buffers == nullptr) {
    value_fault("Arrow array of type '" + std::string(format_of(kind)) + "' has " +
                std::to_string(array.n_buffers) + " buffers");
  }
  check_null_count(array, view);
  switch (kind) {
    case CellKind::Utf8:
      view_offsets(array, view, view.offsets32);
      break;
    case CellKind::LargeUtf8:
      view_offsets(array, view, view.offsets64);
      break;
    default: {
      // validity, views, the variadic data buffers, then their sizes.
      if (array.n_buffers < 3) {
        value_fault("Arrow array of type 'vu' has " + std::to_string(array.n_buffers) +
                    " buffers, expected at least 3");
      }
      view.views = static_cast<const StringView*>(array.buffers[1]);
      if (array.length > 0 && view.views == nullptr)
        value_fault("Arrow array: the views buffer is missing");
      view.view_buffer_count = array.n_buffers - 3;
      view.view_buffers = reinterpret_cast<const char* const*>(array.buffers + 2);
      view.view_sizes = static_cast<const std::int64_t*>(array.buffers[array.n_buffers - 1]);
      if (view.view_buffer_count > 0 && view.view_sizes == nullptr)
        value_fault("Arrow array: the buffer of data buffer sizes is missing");
      for (std::int64_t k = 0; k < view.view_buffer_count; ++k) {
        if (view.view_sizes[k] < 0 || (view.view_sizes[k] > 0 && view.view_buffers[k] == nullptr)) {
          value_fault("Arrow array: data buffer " + std::to_string(k) + " is missing or has size " +
                      std::to_string(view.view_sizes[k]));
        }
      }
      break;
    }
  }
  return view;
}

bool check_rows(const ColumnView& view, std::int64_t begin, std::int64_t end) {
  switch (view.kind) {
    case CellKind::Utf8:
      return check_offset_rows(view, view.offsets32, begin, end);
    case CellKind::LargeUtf8:
      return check_offset_rows(view, view.offsets64, begin, end);
    case CellKind::View:
      return check_view_rows(view, begin, end);
    case CellKind::Null:
      return true;
    default:
      return false;  // texts of the interpreter: valid, ASCII or not
  }
}

}  // namespace vesk::columns
