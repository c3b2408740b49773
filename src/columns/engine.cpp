// One column call: chunks cut into tasks, the dictionaries' values before
// the rows that refer to them, and the result chunks.
#include "columns/engine.hpp"

#include <cstring>

#include "columns/kernels.hpp"
#include "columns/pool.hpp"

namespace vesk::columns {
namespace {

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

namespace {

// Sets up the outputs of a job's text chunks.
void prepare_texts(Job& job) {
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

// The results of the dictionaries' values, each value transformed once: a
// job of their own, run to its end before any row of the encoded chunks is
// read, so that its faults come first whatever the thread count.
struct ValueResults {
  Job job;
  std::vector<Buffer> numbers;  // parse: values and states, by slot
  std::vector<Buffer> states;
};

void run_values(const Job& job, ValueResults& values, const std::function<void()>& caller_poll) {
  Job& inner = values.job;
  inner.function = job.function;
  inner.mode = job.mode;
  inner.decimal_comma = job.decimal_comma;
  inner.threads = job.threads;
  inner.chunks = job.dictionaries;
  // Rows copy their value's text (utf8) or its very view (utf8_view).
  inner.text_form = job.text_form == OutType::View ? OutType::View : OutType::LargeUtf8;
  if (job.function == Function::Parse) {
    for (const ColumnView& view : job.dictionaries) {
      const auto length = static_cast<std::size_t>(view.length);
      values.numbers.push_back(Buffer::sized(length * 8));
      values.states.push_back(Buffer::sized(length));
      inner.numbers.push_back(
          {values.numbers.back().data(), values.states.back().as<std::uint8_t>()});
    }
  }
  run_job(inner, caller_poll);
}

}  // namespace

void run_job(Job& job, const std::function<void()>& caller_poll) {
  ValueResults values;
  if (!job.dictionaries.empty()) run_values(job, values, caller_poll);
  // Task t covers rows [p * kRowsPerTask, ...) of chunk chunk_of[t], p = t - first_task[c].
  std::vector<std::size_t> first_task;
  std::vector<std::size_t> chunk_of;
  for (std::size_t c = 0; c < job.chunks.size(); ++c) {
    first_task.push_back(chunk_of.size());
    chunk_of.resize(chunk_of.size() + pieces_of(job.chunks[c].length), c);
  }
  const std::size_t count = chunk_of.size();
  first_task.push_back(count);
  const bool numbers = job.function == Function::Parse;
  if (!numbers) prepare_texts(job);
  job.validity.clear();
  job.null_counts.assign(job.chunks.size(), 0);
  for (const ColumnView& view : job.chunks)
    job.validity.push_back(Buffer::zeroed(static_cast<std::size_t>((view.length + 63) / 64 * 8)));
  std::vector<std::int64_t> task_missing(count, 0);
  const TaskWork work = [&](std::size_t task, const Poll& poll) {
    const std::size_t c = chunk_of[task];
    const ColumnView& view = job.chunks[c];
    const auto begin = static_cast<std::int64_t>(task - first_task[c]) * kRowsPerTask;
    const std::int64_t end = std::min(view.length, begin + kRowsPerTask);
    const std::uint8_t* state = nullptr;
    if (view.encoded()) {
      const Job& inner = values.job;
      if (numbers) {
        gather_numbers(view, begin, end, job.mode, inner.numbers[view.values_slot],
                       inner.chunks[view.values_slot].length, job.numbers[c]);
      } else {
        gather_texts(view, begin, end, inner.texts[view.values_slot], job.texts[c], poll);
      }
    } else {
      const bool ascii = check_rows(view, begin, end, poll);
      if (numbers)
        parse_rows(view, begin, end, job.mode, job.decimal_comma, job.numbers[c], poll);
      else
        text_rows(job.function, view, begin, end, ascii, job.decimal_comma, job.texts[c], poll);
    }
    state = numbers ? job.numbers[c].state : job.texts[c].state.as<std::uint8_t>();
    task_missing[task] = pack_validity(state, begin, end, job.validity[c].as<std::uint8_t>());
  };
  run_tasks(count, job.threads, work, caller_poll);
  // Every task has finished: the pieces still waiting are appended here.
  for (TextCells& cells : job.texts)
    if (cells.form != OutType::View) merge_ready(cells);
  // The views of encoded chunks refer to their values' pieces, which they take.
  if (!numbers && job.text_form == OutType::View) {
    for (std::size_t c = 0; c < job.chunks.size(); ++c) {
      if (job.chunks[c].encoded())
        job.texts[c].pieces = std::move(values.job.texts[job.chunks[c].values_slot].pieces);
    }
  }
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
