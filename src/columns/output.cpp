#include "columns/output.hpp"

#include <cerrno>
#include <cstring>
#include <new>

namespace vesk::columns {
namespace {

struct ExportedArray {
  std::shared_ptr<const OutChunk> chunk;
  std::vector<const void*> buffers;
};

void release_array(ArrowArray* array) {
  if (array == nullptr || array->release == nullptr) return;
  delete static_cast<ExportedArray*>(array->private_data);
  array->release = nullptr;
}

void release_schema(ArrowSchema* schema) {
  if (schema == nullptr) return;
  schema->release = nullptr;
}

struct ExportedStream {
  std::shared_ptr<const OutColumn> column;
  std::size_t next = 0;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  if (stream->release == nullptr) return EINVAL;
  export_schema(static_cast<ExportedStream*>(stream->private_data)->column->type, out);
  return 0;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  if (stream->release == nullptr) return EINVAL;
  auto* state = static_cast<ExportedStream*>(stream->private_data);
  if (state->next == state->column->chunks.size()) {
    std::memset(out, 0, sizeof(*out));
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  try {
    export_array(state->column->chunks[state->next], out);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  ++state->next;
  return 0;
}

const char* stream_last_error(ArrowArrayStream*) {
  return nullptr;
}

void release_stream(ArrowArrayStream* stream) {
  if (stream == nullptr || stream->release == nullptr) return;
  delete static_cast<ExportedStream*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

const char* format_of(OutType type) noexcept {
  switch (type) {
    case OutType::Float64:
      return "g";
    case OutType::Int64:
      return "l";
    case OutType::Utf8:
      return "u";
    case OutType::LargeUtf8:
      return "U";
    default:
      return "vu";
  }
}

OutChunk empty_chunk(OutType type) {
  OutChunk chunk;
  chunk.type = type;
  // One zero offset, or room that makes every buffer addressable.
  chunk.values = Buffer::zeroed(8);
  if (type == OutType::Utf8 || type == OutType::LargeUtf8) chunk.data.push_back(Buffer::zeroed(8));
  if (type == OutType::View) chunk.sizes = Buffer::zeroed(8);
  return chunk;
}

void export_schema(OutType type, ArrowSchema* out) {
  *out = ArrowSchema{};
  out->format = format_of(type);
  out->name = "";
  out->metadata = nullptr;
  out->flags = ARROW_FLAG_NULLABLE;
  out->n_children = 0;
  out->children = nullptr;
  out->dictionary = nullptr;
  out->private_data = nullptr;
  out->release = &release_schema;
}

void export_array(std::shared_ptr<const OutChunk> chunk, ArrowArray* out) {
  auto exported = std::make_unique<ExportedArray>();
  const OutChunk& c = *chunk;
  exported->buffers.push_back(c.null_count > 0 ? c.validity.data() : nullptr);
  exported->buffers.push_back(c.values.data());
  if (c.type == OutType::Utf8 || c.type == OutType::LargeUtf8) {
    exported->buffers.push_back(c.data.empty() ? nullptr : c.data.front().data());
  } else if (c.type == OutType::View) {
    for (const Buffer& buffer : c.data) exported->buffers.push_back(buffer.data());
    exported->buffers.push_back(c.sizes.data());
  }
  exported->chunk = std::move(chunk);
  *out = ArrowArray{};
  out->length = c.length;
  out->null_count = c.null_count;
  out->offset = 0;
  out->n_buffers = static_cast<std::int64_t>(exported->buffers.size());
  out->n_children = 0;
  out->buffers = exported->buffers.data();
  out->children = nullptr;
  out->dictionary = nullptr;
  out->private_data = exported.release();
  out->release = &release_array;
}

void export_stream(std::shared_ptr<const OutColumn> column, ArrowArrayStream* out) {
  auto exported = std::make_unique<ExportedStream>();
  exported->column = std::move(column);
  out->get_schema = &stream_get_schema;
  out->get_next = &stream_get_next;
  out->get_last_error = &stream_last_error;
  out->private_data = exported.release();
  out->release = &release_stream;
}

std::int64_t pack_validity(const std::uint8_t* state, std::int64_t begin, std::int64_t end,
                           std::uint8_t* bits) noexcept {
  std::int64_t missing = 0;
  for (std::int64_t i = begin; i < end; ++i) {
    const bool present = state[i] != 0;
    missing += !present;
    bits[i >> 3] |= static_cast<std::uint8_t>(present << (i & 7));
  }
  return missing;
}

}  // namespace vesk::columns
