#include "columns/column_view.hpp"

#include <bit>
#include <cstring>
#include <limits>

#include "columns/utf8_check.hpp"

namespace vesk::columns {
namespace {

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

// The lowest row of [begin, end) whose offsets are out of order or leave the
// chunk's bytes [first, last], or `end`. A row's own two offsets decide: the
// rows before the one found are all in order and within the bytes, so they
// may be read.
template <class Offset>
std::int64_t first_offset_fault(const ColumnView& view, const Offset* o, std::int64_t begin,
                                std::int64_t end) {
  const auto first = static_cast<Offset>(view.first_offset);
  const auto last = static_cast<Offset>(view.last_offset);
  // The common case in one branch-free pass: in order throughout, and the
  // range's ends within the bytes.
  bool in_order = true;
  for (std::int64_t i = begin; i < end; ++i) in_order &= o[i] <= o[i + 1];
  if (in_order && o[begin] >= first && o[end] <= last) return end;
  for (std::int64_t i = begin; i < end; ++i)
    if (o[i] < first || o[i + 1] < o[i] || o[i + 1] > last) return i;
  return end;
}

template <class Offset>
[[noreturn]] void offset_fault(const ColumnView& view, const Offset* o, std::int64_t i) {
  const auto first = static_cast<Offset>(view.first_offset);
  if (o[i] < first) {
    row_fault(view, i,
              "offset " + std::to_string(o[i]) + " lies before the first offset " +
                  std::to_string(first));
  }
  if (o[i + 1] < o[i]) {
    row_fault(
        view, i,
        "offsets decrease (" + std::to_string(o[i]) + " to " + std::to_string(o[i + 1]) + ")");
  }
  row_fault(view, i,
            "offset " + std::to_string(o[i + 1]) + " lies past the last offset " +
                std::to_string(view.last_offset));
}

template <class Offset>
bool check_offset_rows(const ColumnView& view, const Offset* offsets, std::int64_t begin,
                       std::int64_t end, const Poll& poll) {
  const Offset* o = offsets + view.offset;
  // Only the rows before the first faulty one are read; a fault of their
  // texts is the lower one.
  const std::int64_t readable = first_offset_fault(view, o, begin, end);
  bool ascii = true;
  if (readable > begin && o[readable] > o[begin]) {
    const auto start = static_cast<std::size_t>(o[begin]);
    const auto size = static_cast<std::size_t>(o[readable]) - start;
    const char* bytes = view.data + start;
    if (!all_ascii(bytes, size, poll)) {
      ascii = false;
      // Valid as a whole, the range's texts are valid one by one when no
      // text starts inside a character, i.e. on a continuation byte.
      bool split = true;
      if (utf8_error_at(bytes, size, poll) == size) {
        split = false;
        for (std::int64_t i = begin + 1; i < readable; ++i) {
          const auto at = static_cast<std::size_t>(o[i]) - start;
          split |= at < size && (static_cast<unsigned char>(bytes[at]) & 0xC0) == 0x80;
        }
      }
      std::size_t since_poll = 0;
      for (std::int64_t i = begin; split && i < readable; ++i) {
        if (!view.valid(i)) continue;
        const std::string_view text = view.cell(i);
        if (const std::size_t bad = utf8_error_at(text.data(), text.size(), poll);
            bad != text.size()) {
          row_fault(view, i, "invalid UTF-8 at byte " + std::to_string(bad));
        }
        since_poll += text.size();
        if (since_poll >= kPollBytes) {
          since_poll = 0;
          poll();
        }
      }
    }
  }
  if (readable < end) offset_fault(view, o, readable);
  return ascii;
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
[[gnu::noinline]] bool check_view(const ColumnView& view, const StringView& v, std::int64_t i,
                                  const Poll& poll) {
  std::string_view text;
  if (v.length <= kInlineViewBytes) {
    if (v.length < 0)
      row_fault(view, i, "string view length " + std::to_string(v.length) + " is negative");
    if (inline_bytes_ascii(v)) return true;
    text = {v.inlined, static_cast<std::size_t>(v.length)};
  } else {
    const std::int32_t index = v.ref.buffer_index;
    if (index < 0 || index >= view.view_buffer_count) {
      row_fault(view, i,
                "string view refers to data buffer " + std::to_string(index) + " of " +
                    std::to_string(view.view_buffer_count));
    }
    const std::int64_t size = view.view_sizes[index];
    if (v.ref.offset < 0 || std::int64_t{v.ref.offset} + v.length > size) {
      row_fault(view, i,
                "string view bytes " + std::to_string(v.ref.offset) + ".." +
                    std::to_string(std::int64_t{v.ref.offset} + v.length) +
                    " lie outside data buffer " + std::to_string(index) + " of " +
                    std::to_string(size) + " bytes");
    }
    text = {view.view_buffers[index] + v.ref.offset, static_cast<std::size_t>(v.length)};
  }
  if (all_ascii(text.data(), text.size(), poll)) return true;
  if (const std::size_t bad = utf8_error_at(text.data(), text.size(), poll); bad != text.size())
    row_fault(view, i, "invalid UTF-8 at byte " + std::to_string(bad));
  return false;
}

// Whether a view is well formed and its text ASCII, decided cheaply; false
// leaves the question (and any fault) to check_view, which also takes the
// texts long enough to poll within.
inline bool view_is_ascii(const ColumnView& view, const StringView& v) noexcept {
  const std::int32_t length = v.length;
  if (static_cast<std::uint32_t>(length) <= static_cast<std::uint32_t>(kInlineViewBytes))
    return inline_bytes_ascii(v);
  const std::int32_t index = v.ref.buffer_index;
  if (length < 0 || static_cast<std::size_t>(length) > kPollBytes || index < 0 ||
      index >= view.view_buffer_count || v.ref.offset < 0 ||
      std::int64_t{v.ref.offset} + length > view.view_sizes[index]) {
    return false;
  }
  return all_ascii(view.view_buffers[index] + v.ref.offset, static_cast<std::size_t>(length));
}

bool check_view_rows(const ColumnView& view, std::int64_t begin, std::int64_t end,
                     const Poll& poll) {
  bool ascii = true;
  const StringView* const views = view.views + view.offset;
  // Many views of mid-sized texts are as much work as one long one: the
  // hook is called after about every kPollBytes of them.
  std::size_t since_poll = 0;
  const auto check = [&](std::int64_t i) {
    const StringView& v = views[i];
    if (!view_is_ascii(view, v)) ascii &= check_view(view, v, i, poll);
    since_poll += static_cast<std::uint32_t>(v.length);
    if (since_poll >= kPollBytes) {
      since_poll = 0;
      poll();
    }
  };
  if (view.validity == nullptr) {
    for (std::int64_t i = begin; i < end; ++i) check(i);
  } else {
    for (std::int64_t i = begin; i < end; ++i)
      if (view.valid(i)) check(i);
  }
  return ascii;
}

void check_null_count(const ArrowArray& array, ColumnView& view, const char* what) {
  if (array.null_count < -1 || array.null_count > array.length) {
    value_fault(std::string(what) + ": null count " + std::to_string(array.null_count) +
                " is not within 0.." + std::to_string(array.length));
  }
  const auto* bitmap = static_cast<const std::uint8_t*>(array.buffers[0]);
  if (bitmap == nullptr) {
    if (array.null_count > 0) {
      value_fault(std::string(what) + ": no validity bitmap although the null count is " +
                  std::to_string(array.null_count));
    }
    return;
  }
  if (array.null_count == 0) return;  // the bitmap may then be ignored
  if (array.null_count > 0) {
    const std::int64_t nulls = count_nulls(bitmap, array.offset, array.length);
    if (nulls != array.null_count) {
      value_fault(std::string(what) + ": the validity bitmap holds " + std::to_string(nulls) +
                  " nulls but the null count is " + std::to_string(array.null_count));
    }
  }
  view.validity = bitmap;
}

template <class Offset>
void view_offsets(const ArrowArray& array, ColumnView& view, const Offset*& offsets,
                  const char* what) {
  if (array.n_buffers != 3) {
    value_fault(std::string(what) + " of type '" + type_name_of(view.kind) + "' has " +
                std::to_string(array.n_buffers) + " buffers, expected 3");
  }
  offsets = static_cast<const Offset*>(array.buffers[1]);
  view.data = static_cast<const char*>(array.buffers[2]);
  if (array.length == 0) return;
  if (offsets == nullptr) value_fault(std::string(what) + ": the offsets buffer is missing");
  const Offset first = offsets[array.offset];
  if (first < 0) row_fault(view, 0, "offset " + std::to_string(first) + " is negative");
  const Offset last = offsets[array.offset + array.length];
  if (last < first) {
    value_fault(std::string(what) + ": the offsets end at " + std::to_string(last) +
                ", before they start at " + std::to_string(first));
  }
  if (last > first && view.data == nullptr) {
    value_fault(std::string(what) + ": the data buffer is missing but the offsets span " +
                std::to_string(last - first) + " bytes");
  }
  view.first_offset = first;
  view.last_offset = last;
}

void check_shape(const ArrowArray& array, const char* what) {
  if (array.length < 0 || array.offset < 0 ||
      array.length > std::numeric_limits<std::int64_t>::max() / 2 - array.offset) {
    value_fault(std::string(what) + ": length " + std::to_string(array.length) + " or offset " +
                std::to_string(array.offset) + " out of range");
  }
}

}  // namespace

void value_fault(std::string message) {
  throw ColumnFault(ColumnFault::Kind::Value, std::move(message));
}

void row_fault(const ColumnView& view, std::int64_t row, const std::string& what) {
  std::string message;
  if (view.dictionary_of >= 0) {
    message = "dictionary of chunk " + std::to_string(view.dictionary_of) + ", value " +
              std::to_string(row) + ": ";
  } else {
    message = "row " + std::to_string(view.row_base + row) + ": ";
  }
  value_fault(message + what);
}

ColumnView view_of(CellKind kind, const ArrowArray& array, std::int64_t row_base,
                   std::int64_t dictionary_of) {
  const char* const what = dictionary_of >= 0 ? "Arrow dictionary" : "Arrow array";
  ColumnView view;
  view.kind = kind;
  view.row_base = row_base;
  view.dictionary_of = dictionary_of;
  check_shape(array, what);
  if (array.n_children != 0 || array.dictionary != nullptr) {
    value_fault(std::string(what) + " of a string type has children or a dictionary");
  }
  view.length = array.length;
  view.offset = array.offset;
  if (kind == CellKind::Null) return view;
  if (array.n_buffers < 2 || array.buffers == nullptr) {
    value_fault(std::string(what) + " of type '" + type_name_of(kind) + "' has " +
                std::to_string(array.n_buffers) + " buffers");
  }
  check_null_count(array, view, what);
  switch (kind) {
    case CellKind::Utf8:
      view_offsets(array, view, view.offsets32, what);
      break;
    case CellKind::LargeUtf8:
      view_offsets(array, view, view.offsets64, what);
      break;
    default: {
      // validity, views, the variadic data buffers, then their sizes.
      if (array.n_buffers < 3) {
        value_fault(std::string(what) + " of type 'string_view' has " +
                    std::to_string(array.n_buffers) + " buffers, expected at least 3");
      }
      view.views = static_cast<const StringView*>(array.buffers[1]);
      if (array.length > 0 && view.views == nullptr)
        value_fault(std::string(what) + ": the views buffer is missing");
      view.view_buffer_count = array.n_buffers - 3;
      view.view_buffers = reinterpret_cast<const char* const*>(array.buffers + 2);
      view.view_sizes = static_cast<const std::int64_t*>(array.buffers[array.n_buffers - 1]);
      if (view.view_buffer_count > 0 && view.view_sizes == nullptr)
        value_fault(std::string(what) + ": the buffer of data buffer sizes is missing");
      for (std::int64_t k = 0; k < view.view_buffer_count; ++k) {
        if (view.view_sizes[k] < 0 || (view.view_sizes[k] > 0 && view.view_buffers[k] == nullptr)) {
          value_fault(std::string(what) + ": data buffer " + std::to_string(k) +
                      " is missing or has size " + std::to_string(view.view_sizes[k]));
        }
      }
      break;
    }
  }
  return view;
}

ColumnView encoded_view_of(const ColumnType& type, const ArrowArray& array, std::int64_t row_base,
                           std::size_t values_slot) {
  constexpr const char* what = "Arrow array";
  ColumnView view;
  view.kind = type.kind;
  view.row_base = row_base;
  view.index_type = type.index;
  view.values_slot = values_slot;
  check_shape(array, what);
  if (array.dictionary == nullptr)
    value_fault("Arrow array of a dictionary type has no dictionary");
  if (array.n_children != 0) value_fault("Arrow array of a dictionary type has children");
  if (array.n_buffers != 2 || array.buffers == nullptr) {
    value_fault("Arrow array of a dictionary type has " + std::to_string(array.n_buffers) +
                " buffers, expected 2");
  }
  view.length = array.length;
  view.offset = array.offset;
  check_null_count(array, view, what);
  view.indices = array.buffers[1];
  if (view.indices == nullptr) {
    if (array.length > 0) value_fault("Arrow array: the indices buffer is missing");
    static constexpr std::int64_t kNoIndices = 0;
    view.indices = &kNoIndices;  // still marks the view as encoded
  }
  return view;
}

bool check_rows(const ColumnView& view, std::int64_t begin, std::int64_t end, const Poll& poll) {
  switch (view.kind) {
    case CellKind::Utf8:
      return check_offset_rows(view, view.offsets32, begin, end, poll);
    case CellKind::LargeUtf8:
      return check_offset_rows(view, view.offsets64, begin, end, poll);
    case CellKind::View:
      return check_view_rows(view, begin, end, poll);
    case CellKind::Null:
      return true;
    default:
      return false;  // texts of the interpreter: valid, ASCII or not
  }
}

}  // namespace vesk::columns
