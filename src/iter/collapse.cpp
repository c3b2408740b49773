// collapse: flattening nested lists and tuples into one list of leaves.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "binding/to_python.hpp"
#include "iter/py_iter.hpp"

namespace vesk::iter {
namespace {

inline PyObject* first_item(PyObject* container) {
  if (PyList_Check(container))
    return PyList_GET_SIZE(container) ? PyList_GET_ITEM(container, 0) : nullptr;
  return PyTuple_GET_SIZE(container) ? PyTuple_GET_ITEM(container, 0) : nullptr;
}

// One container being walked, held: a signal handler (Python code) runs now
// and then during the walk and may drop the container from its parent.
struct Frame {
  Ref container;
  Py_ssize_t next;
  std::size_t slot;  // where the container sits in the path's address set
};

// The containers on the current path of the walk. A container that holds
// itself (directly or through others) is the only way for one to come back
// onto the path, so a repeat is reported at once as a cycle. Short paths are
// searched directly. From `kSetDepth` on, the path is mirrored in a set of
// addresses (open addressing, linear probing, at most half full counting
// erased slots); each frame knows its slot, so leaving it costs one store.
// The set is dropped again once the walk is back above half that depth, so
// walks that hover around the threshold do not refill it at every step.
class Path {
 public:
  static constexpr std::size_t kSetDepth = 16;

  // Pushes `container` (held); false when it is already on the path.
  bool push(PyObject* container) {
    std::size_t slot = 0;
    if (indexed_) {
      if (!insert(container, slot)) return false;
      // The walk is likely to go down into the first item next: its slot is
      // loaded meanwhile (deep walks miss the caches on every slot).
      PyObject* const first = first_item(container);
      if (first != nullptr) __builtin_prefetch(&slots_[home(first)]);
    } else {
      for (const Frame& frame : frames_) {
        if (frame.container.get() == container) return false;
      }
      if (frames_.size() == kSetDepth) {
        indexed_ = true;
        rebuild(kSetDepth * 4);
        insert(container, slot);
      }
    }
    frames_.push_back(Frame{Ref::borrow(container), 0, slot});
    return true;
  }

  void pop() {
    if (indexed_) {
      slots_[frames_.back().slot] = kErased;
      --count_;
      if (frames_.size() - 1 == kSetDepth / 2) {
        indexed_ = false;
        count_ = used_ = 0;
        std::fill(slots_.begin(), slots_.end(), nullptr);
      }
    }
    frames_.pop_back();
  }

  [[nodiscard]] bool empty() const noexcept { return frames_.empty(); }
  Frame& top() noexcept { return frames_.back(); }

 private:
  // Marks an erased slot; never the address of a live object.
  static inline const PyObject* const kErased = reinterpret_cast<const PyObject*>(1);

  [[nodiscard]] std::size_t home(const PyObject* object) const noexcept {
    const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(object));
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ULL) >> shift_);
  }

  // Adds `object` and tells its slot; false when it is there already.
  bool insert(const PyObject* object, std::size_t& slot) {
    if ((used_ + 1) * 2 > slots_.size()) rebuild(count_ * 4);
    std::size_t at = home(object);
    std::size_t free = SIZE_MAX;
    for (; slots_[at] != nullptr; at = (at + 1) & mask_) {
      if (slots_[at] == object) return false;
      if (slots_[at] == kErased && free == SIZE_MAX) free = at;
    }
    if (free == SIZE_MAX) {
      free = at;
      ++used_;
    }
    slots_[free] = object;
    ++count_;
    slot = free;
    return true;
  }

  // Refills the set with the path (without erased slots), with room for at
  // least `wanted` entries.
  void rebuild(std::size_t wanted) {
    std::size_t capacity = 64;
    while (capacity < wanted) capacity *= 2;
    slots_.assign(capacity, nullptr);
    mask_ = capacity - 1;
    shift_ = 64;
    for (std::size_t size = capacity; size > 1; size >>= 1) --shift_;
    count_ = used_ = 0;
    for (Frame& frame : frames_) insert(frame.container.get(), frame.slot);
  }

  std::vector<Frame> frames_;
  std::vector<const PyObject*> slots_;
  std::size_t count_ = 0;  // live entries
  std::size_t used_ = 0;   // live and erased entries
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  bool indexed_ = false;
};

inline Py_ssize_t container_size(PyObject* container) {
  return PyList_Check(container) ? PyList_GET_SIZE(container) : PyTuple_GET_SIZE(container);
}

inline PyObject* container_item(PyObject* container, Py_ssize_t index) {
  return PyList_Check(container) ? PyList_GET_ITEM(container, index)
                                 : PyTuple_GET_ITEM(container, index);
}

inline bool is_container(PyObject* object) {
  return PyList_Check(object) || PyTuple_Check(object);
}

}  // namespace

Result<Ref> collapse_body(BoundArgs& args) {
  Ref result = new_list(0);
  Path path;
  path.push(args.varargs.get());
  SignalStride<> signals;
  while (!path.empty()) {
    // Sizes are read afresh at every step: a signal handler may have
    // changed a list on the path since the last one.
    Frame& top = path.top();
    PyObject* const container = top.container.get();
    if (top.next >= container_size(container)) {
      path.pop();
      continue;
    }
    PyObject* const item = container_item(container, top.next++);
    if (is_container(item)) {
      if (!path.push(item)) {
        return fail(Error::value_error("collapse() argument contains a reference cycle"));
      }
    } else if (Status appended = list_append(result.get(), item); !appended) {
      return fail(std::move(appended).error());
    }
    if (Status checked = signals.step(); !checked) return fail(std::move(checked).error());
  }
  return result;
}

}  // namespace vesk::iter
