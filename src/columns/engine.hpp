// One column call: the kernels over checked views, split into row ranges for
// the thread pool, and the assembly of their outputs into result chunks.
// Pure C++: the glue gathers the inputs and turns the results into objects.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "columns/buffer.hpp"
#include "columns/column_view.hpp"
#include "columns/output.hpp"

namespace vesk::columns {

enum class Function : std::uint8_t { Parse, Normalize, Uncamel, ToCamel, Vulgar };

// What `parse` stores per row: a double (missing where the number is
// missing), an int64 (missing where it is not a whole number within range),
// or exactly what the scalar gives (an integer or a double, told apart by the
// row's state).
enum class NumberMode : std::uint8_t { Float, Int, Exact };

// Row states of a number result. In Float and Int mode only 0 and 1 occur.
inline constexpr std::uint8_t kMissing = 0;
inline constexpr std::uint8_t kInteger = 1;
inline constexpr std::uint8_t kReal = 2;

// Where the numbers of one chunk go: 8 bytes and one state byte per row. The
// memory belongs to the caller (an output buffer, or a writable Python buffer
// that nobody else has seen yet).
struct NumberTarget {
  char* values = nullptr;
  std::uint8_t* state = nullptr;
};

// The texts of one chunk: rows are cut into pieces of kRowsPerTask rows, each
// written by one task into its own buffer; ends[i] is where row i ends in its
// piece; state[i] is 0 for a missing row.
struct TextCells {
  std::int64_t length = 0;
  Buffer state;
  Buffer ends;
  std::vector<Buffer> pieces;

  [[nodiscard]] std::string_view cell(std::int64_t row) const noexcept;
};

// Rows per task: a few milliseconds of work, a multiple of 8.
inline constexpr std::int64_t kRowsPerTask = 16384;

struct Job {
  Function function = Function::Parse;
  NumberMode mode = NumberMode::Float;
  unsigned threads = 1;
  std::span<const ColumnView> chunks;
  std::vector<NumberTarget> numbers;  // parse: one per chunk, filled by the caller
  std::vector<TextCells> texts;       // the other functions: made by run_job
};

// Checks and transforms every row of every chunk (see run_tasks for threads,
// polling and errors). Throws ColumnFault for malformed input.
void run_job(Job& job, const std::function<void()>& caller_poll);

// The Arrow chunk of a chunk's texts; consumes the pieces. A utf8 result of
// 2 GiB or more is a ValueError naming `chunk`.
OutChunk text_chunk(TextCells&& cells, OutType type, std::size_t chunk);

// The Arrow chunk of a chunk's numbers (Float or Int mode), whose values
// buffer was the target.
OutChunk number_chunk(Buffer&& values, const std::uint8_t* state, std::int64_t length,
                      OutType type);

}  // namespace vesk::columns
