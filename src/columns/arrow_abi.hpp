// The Arrow C Data Interface and C Stream Interface: the three structs that
// producers and consumers of Arrow memory exchange, written from the
// published ABI (no Arrow library is needed to build or to run).
//
// Ownership: whoever holds a struct whose `release` is non-null owns it.
// Moving one means copying the struct and setting the source's `release` to
// null; `release` frees the children, then the struct's own resources, and
// sets `release` to null.
#pragma once

#include <cstdint>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace vesk::columns {

// One element of a utf8_view array: 16 bytes. A string of at most 12 bytes
// is stored inline after the length; a longer one keeps its first 4 bytes as
// a prefix and points into one of the variadic data buffers.
struct StringView {
  std::int32_t length;
  union {
    char inlined[12];
    struct {
      char prefix[4];
      std::int32_t buffer_index;
      std::int32_t offset;
    } ref;
  };
};
static_assert(sizeof(StringView) == 16);

inline constexpr std::int32_t kInlineViewBytes = 12;

// Set on a thread that is being ended by the interpreter (the forced unwind
// of a thread that takes the interpreter lock back during shutdown): the
// release callbacks of imported structs may need the interpreter, so the
// unwind leaves them alone. The process is exiting; nothing else could run
// them safely.
inline thread_local bool thread_ending = false;

// Owns one imported struct: calls its release callback exactly once, when the
// owner goes (unless it was already released or moved away, or the thread is
// being ended).
template <class Struct>
class Imported {
 public:
  Imported() noexcept { raw_.release = nullptr; }
  Imported(const Imported&) = delete;
  Imported& operator=(const Imported&) = delete;
  Imported(Imported&& other) noexcept : raw_(other.raw_) { other.raw_.release = nullptr; }
  Imported& operator=(Imported&&) = delete;
  ~Imported() { reset(); }

  // Takes over `source` (moves it: the source's release is set to null).
  void adopt(Struct* source) noexcept {
    reset();
    raw_ = *source;
    source->release = nullptr;
  }
  void reset() noexcept {
    if (raw_.release != nullptr && !thread_ending) raw_.release(&raw_);
    raw_.release = nullptr;
  }
  // An out-parameter for a producer's callback (get_schema, get_next). Empty
  // before the call.
  Struct* out() noexcept {
    reset();
    return &raw_;
  }
  [[nodiscard]] bool live() const noexcept { return raw_.release != nullptr; }
  Struct& operator*() noexcept { return raw_; }
  const Struct& operator*() const noexcept { return raw_; }
  Struct* operator->() noexcept { return &raw_; }
  const Struct* operator->() const noexcept { return &raw_; }

 private:
  Struct raw_;
};

}  // namespace vesk::columns
