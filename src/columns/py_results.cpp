// The work of one call with the interpreter lock released, and its results:
// a Column over Arrow buffers, a list, or the buffers of a numpy array.
#include <cstring>
#include <exception>
#include <limits>
#include <memory>

#include "base/unwind.hpp"
#include "binding/boundary.hpp"
#include "binding/to_python.hpp"
#include "binding/unlocked.hpp"
#include "columns/py_column_type.hpp"
#include "columns/py_columns.hpp"
#include "text/vulgar.hpp"

namespace vesk::columns {
namespace {

// Runs the job with the interpreter lock released, polling for signals. The
// lock is taken back in ordinary control flow before anything the job threw
// is rethrown (never by a destructor during an unwind), except when the
// thread is being ended while it takes the lock back: that forced unwind
// passes, after the workers are joined, and leaves imported structs alone.
Status run_unlocked(Job& job) {
  std::exception_ptr thrown;
  {
    Unlocked unlocked;
    try {
      run_job(job, [&unlocked] { unlocked.poll(); });
    } catch (ForcedUnwind&) {
      thread_ending = true;
      throw;
    } catch (...) {
      thrown = std::current_exception();
    }
  }
  if (!thrown) return {};
  try {
    std::rethrow_exception(thrown);
  } catch (const ColumnFault& fault) {
    return fail(fault_error(fault));
  } catch (const text::SanitizeFailure& broken) {
    internal_failure(broken.what());
  }
}

OutType text_type(CellKind kind) {
  switch (kind) {
    case CellKind::LargeUtf8:
      return OutType::LargeUtf8;
    case CellKind::View:
      return OutType::View;
    default:
      return OutType::Utf8;
  }
}

}  // namespace

Result<Ref> numbers_result(PyObject* column_type, Job& job, const Options& options) {
  const std::span<const ColumnView> views = job.chunks;
  std::int64_t total = 0;
  for (const ColumnView& view : views) total += view.length;
  const auto rows = static_cast<std::size_t>(total);

  if (options.out == Out::Numpy) {
    // Written in place: nobody else has seen these objects yet.
    Ref values = created(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows * 8)));
    Ref valid = created(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows)));
    char* values_data = PyByteArray_AS_STRING(values.get());
    auto* valid_data = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(valid.get()));
    std::int64_t base = 0;
    for (const ColumnView& view : views) {
      job.numbers.push_back({values_data + 8 * base, valid_data + base});
      base += view.length;
    }
    if (Status ran = run_unlocked(job); !ran) return fail(std::move(ran).error());
    bool any_missing = false;
    for (const std::int64_t missing : job.null_counts) any_missing |= missing > 0;
    Ref pair = created(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0, values.release());
    PyTuple_SET_ITEM(pair.get(), 1, any_missing ? valid.release() : new_none().release());
    return pair;
  }

  std::vector<Buffer> values;
  std::vector<Buffer> states;
  for (const ColumnView& view : views) {
    const auto length = static_cast<std::size_t>(view.length);
    values.push_back(Buffer::sized(length * 8));
    states.push_back(Buffer::sized(length));
    job.numbers.push_back({values.back().data(), states.back().as<std::uint8_t>()});
  }
  if (Status ran = run_unlocked(job); !ran) return fail(std::move(ran).error());

  if (options.out == Out::List) {
    std::vector<Ref> items;
    items.reserve(rows);
    SignalStride<> stride;
    for (std::size_t c = 0; c < views.size(); ++c) {
      const char* v = values[c].data();
      const auto* s = states[c].as<std::uint8_t>();
      for (std::int64_t i = 0; i < views[c].length; ++i) {
        const std::uint8_t kind = s[i];
        if (kind == kMissing) {
          items.push_back(new_none());
          continue;
        }
        const bool integer = options.mode == NumberMode::Int ||
                             (options.mode == NumberMode::Exact && kind == kInteger);
        if (integer) {
          std::int64_t number;
          std::memcpy(&number, v + 8 * i, 8);
          items.push_back(new_int(number));
        } else {
          double number;
          std::memcpy(&number, v + 8 * i, 8);
          items.push_back(new_float(number));
        }
        if (Status ok = stride.step(); !ok) return fail(std::move(ok).error());
      }
    }
    return list_of(items);
  }

  auto column = std::make_shared<OutColumn>();
  column->type = options.int64 ? OutType::Int64 : OutType::Float64;
  column->length = total;
  for (std::size_t c = 0; c < views.size(); ++c) {
    column->chunks.push_back(std::make_shared<const OutChunk>(
        number_chunk(std::move(values[c]), std::move(job.validity[c]), job.null_counts[c],
                     views[c].length, column->type)));
  }
  return new_column(column_type, std::move(column));
}

Result<Ref> texts_result(PyObject* column_type, Job& job, const Options& options, CellKind kind) {
  // A sequence's texts may need 64-bit offsets; they are narrowed when they fit.
  job.text_form = options.out != Out::Arrow || kind == CellKind::Sequence ? OutType::LargeUtf8
                                                                          : text_type(kind);
  if (Status ran = run_unlocked(job); !ran) return fail(std::move(ran).error());

  if (options.out != Out::Arrow) {
    std::vector<Ref> items;
    SignalStride<> stride;
    for (const TextCells& cells : job.texts) {
      const auto* state = cells.state.as<std::uint8_t>();
      for (std::int64_t i = 0; i < cells.length; ++i) {
        items.push_back(state[i] == 0 ? new_none() : new_text(cells.cell(i)));
        if (Status ok = stride.step(); !ok) return fail(std::move(ok).error());
      }
    }
    return list_of(items);
  }

  auto column = std::make_shared<OutColumn>();
  column->type = text_type(kind);
  if (kind == CellKind::Sequence) {
    std::size_t bytes = 0;
    for (const TextCells& cells : job.texts) bytes += cells.data.size();
    if (bytes > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
      column->type = OutType::LargeUtf8;
  }
  for (std::size_t c = 0; c < job.texts.size(); ++c) {
    column->length += job.texts[c].length;
    column->chunks.push_back(std::make_shared<const OutChunk>(text_chunk(
        std::move(job.texts[c]), column->type, std::move(job.validity[c]), job.null_counts[c])));
  }
  return new_column(column_type, std::move(column));
}

}  // namespace vesk::columns
