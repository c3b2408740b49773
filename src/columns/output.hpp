// Result columns that own their buffers, and their export as Arrow arrays
// and streams.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "columns/arrow_abi.hpp"
#include "columns/buffer.hpp"

namespace vesk::columns {

enum class OutType : std::uint8_t { Float64, Int64, Utf8, LargeUtf8, View };

// The Arrow format string: "g" (float64), "l" (int64), "u", "U" or "vu".
const char* format_of(OutType type) noexcept;

// One chunk of a result. Immutable once built; exported arrays share it.
struct OutChunk {
  OutType type = OutType::Float64;
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  Buffer validity;           // empty when nothing is missing
  Buffer values;             // the values, the offsets (length + 1) or the views
  std::vector<Buffer> data;  // utf8: one buffer; utf8_view: the variadic buffers
  Buffer sizes;              // utf8_view: the size of each data buffer (int64)
};

struct OutColumn {
  OutType type = OutType::Float64;
  std::int64_t length = 0;
  std::vector<std::shared_ptr<const OutChunk>> chunks;
};

// A chunk of no rows of `type`.
OutChunk empty_chunk(OutType type);

// Fill `out` (whose previous contents are ignored) with a new struct that the
// receiver owns. The array keeps the chunk alive until it is released.
void export_schema(OutType type, ArrowSchema* out);
void export_array(std::shared_ptr<const OutChunk> chunk, ArrowArray* out);
void export_stream(std::shared_ptr<const OutColumn> column, ArrowArrayStream* out);

// Sets the validity bits of rows [begin, end) (begin a multiple of 8) in
// `bits`, which start zeroed, from `state` (one byte per row, 0 for missing);
// gives the number of missing rows. Touches only the bytes of those rows.
std::int64_t pack_validity(const std::uint8_t* state, std::int64_t begin, std::int64_t end,
                           std::uint8_t* bits) noexcept;

}  // namespace vesk::columns
