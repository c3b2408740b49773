// One column call: the kernels over checked views, split into row ranges for
// the thread pool, and the assembly of their outputs into result chunks.
// Pure C++: the glue gathers the inputs and turns the results into objects.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
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

// The texts of one chunk, written in the final form of `form` (utf8,
// large_utf8 or utf8_view). Rows are cut into pieces of kRowsPerTask rows,
// each written by one task into its own buffer, with offsets relative to the
// piece (or views into it). For utf8 and large_utf8 each finished piece is
// appended to `data` soon after the pieces before it are, its offsets made
// absolute, and freed: at most a few pieces wait at any time, so the texts
// are held about once. For utf8_view the pieces stay the data buffers.
// state[i] is 0 for a missing row.
struct TextCells {
  OutType form = OutType::Utf8;
  std::int64_t length = 0;
  std::size_t chunk = 0;  // for messages
  Buffer state;
  Buffer index;  // offsets (length + 1) or views
  std::vector<Buffer> pieces;
  Buffer data;
  // The appending of finished pieces: by a task that finishes one while no
  // other task is appending (none waits for another), and after the run for
  // any left over.
  std::unique_ptr<std::mutex> merging = std::make_unique<std::mutex>();
  std::vector<std::atomic<std::uint8_t>> finished;
  std::size_t merged = 0;

  // A cell, once the job has run.
  [[nodiscard]] std::string_view cell(std::int64_t row) const noexcept;
};

// Rows per task: a few milliseconds of work, a multiple of 8.
inline constexpr std::int64_t kRowsPerTask = 16384;

struct Job {
  Function function = Function::Parse;
  NumberMode mode = NumberMode::Float;
  // parse and normalize_numeric_str: each cell read with ',' and '.'
  // exchanged, so that a decimal comma is read as the decimal point.
  bool decimal_comma = false;
  unsigned threads = 1;  // 0: as many as the process may use (see run_tasks)
  std::span<const ColumnView> chunks;
  // The values of the dictionary-encoded chunks, by their values_slot: each
  // value is transformed once, before any row that refers to it is read.
  std::span<const ColumnView> dictionaries;
  std::vector<NumberTarget> numbers;  // parse: one per chunk, filled by the caller
  OutType text_form = OutType::Utf8;  // the other functions: the form of their texts
  std::vector<TextCells> texts;       // made by run_job
  // Made by run_job: per chunk, the validity bitmap and the number of
  // missing rows (the bitmap is only worth exporting when that is not 0).
  std::vector<Buffer> validity;
  std::vector<std::int64_t> null_counts;
};

// Checks and transforms every row of every chunk (see run_tasks for threads,
// polling and errors). Throws ColumnFault for malformed input: a fault of a
// dictionary first, else the lowest faulty row of the column, whatever the
// number of threads.
void run_job(Job& job, const std::function<void()>& caller_poll);

// The Arrow chunk of a chunk's texts, in `type`: their own form, or utf8
// from large_utf8 when the texts fit.
OutChunk text_chunk(TextCells&& cells, OutType type, Buffer&& validity, std::int64_t null_count);

// The Arrow chunk of a chunk's numbers (Float or Int mode), whose values
// buffer was the target.
OutChunk number_chunk(Buffer&& values, Buffer&& validity, std::int64_t null_count,
                      std::int64_t length, OutType type);

}  // namespace vesk::columns
