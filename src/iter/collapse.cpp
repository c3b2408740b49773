// collapse: flattening nested lists and tuples into one list of leaves.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "binding/build.hpp"
#include "iter/py_iter.hpp"

namespace vesk::iter {
namespace {

// One container being walked, held: a signal handler (Python code) runs now
// and then during the walk and may drop the container from its parent.
struct Frame {
  Ref container;
  Py_ssize_t next;
};

// A set of object addresses: open addressing with linear probing, erasure by
// backward shifting (no tombstones), at most half full.
class AddressSet {
 public:
  // Adds `object`; false when it was already there.
  bool insert(const PyObject* object) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    std::size_t at = home(object);
    while (slots_[at] != nullptr) {
      if (slots_[at] == object) return false;
      at = (at + 1) & mask_;
    }
    slots_[at] = object;
    ++count_;
    return true;
  }

  // Removes `object`, which must be in the set.
  void erase(const PyObject* object) {
    std::size_t hole = home(object);
    while (slots_[hole] != object) hole = (hole + 1) & mask_;
    slots_[hole] = nullptr;
    --count_;
    // Move back every later entry of the run whose probe would now stop at
    // the hole before reaching it.
    for (std::size_t at = (hole + 1) & mask_; slots_[at] != nullptr; at = (at + 1) & mask_) {
      const std::size_t wanted = home(slots_[at]);
      if (((at - wanted) & mask_) >= ((at - hole) & mask_)) {
        slots_[hole] = slots_[at];
        slots_[at] = nullptr;
        hole = at;
      }
    }
  }

 private:
  [[nodiscard]] std::size_t home(const PyObject* object) const noexcept {
    const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(object));
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ULL) >> shift_);
  }

  void grow() {
    std::vector<const PyObject*> old(slots_.size() ? slots_.size() * 2 : 64, nullptr);
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    shift_ = 64;
    for (std::size_t size = slots_.size(); size > 1; size >>= 1) --shift_;
    count_ = 0;
    for (const PyObject* object : old) {
      if (object != nullptr) insert(object);
    }
  }

  std::vector<const PyObject*> slots_;
  std::size_t count_ = 0;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
};

// The containers on the current path of the walk. A container that holds
// itself (directly or through others) is the only way for one to come back
// onto the path, so a repeat is reported at once as a cycle. Short paths
// are searched directly; from `kSetDepth` on, the path is mirrored in an
// address set, dropped again once the walk is back above half that depth
// (so walks that hover around the threshold do not refill it every step).
class Path {
 public:
  static constexpr std::size_t kSetDepth = 16;

  // Pushes `container` (held); false when it is already on the path.
  bool push(PyObject* container) {
    if (indexed_) {
      if (!on_path_.insert(container)) return false;
    } else {
      for (const Frame& frame : frames_) {
        if (frame.container.get() == container) return false;
      }
      if (frames_.size() == kSetDepth) {
        for (const Frame& frame : frames_) on_path_.insert(frame.container.get());
        on_path_.insert(container);
        indexed_ = true;
      }
    }
    frames_.push_back(Frame{Ref::borrow(container), 0});
    return true;
  }

  void pop() {
    if (indexed_) {
      on_path_.erase(frames_.back().container.get());
      if (frames_.size() - 1 == kSetDepth / 2) {
        for (std::size_t i = 0; i + 1 < frames_.size(); ++i)
          on_path_.erase(frames_[i].container.get());
        indexed_ = false;
      }
    }
    frames_.pop_back();
  }

  [[nodiscard]] bool empty() const noexcept { return frames_.empty(); }
  Frame& top() noexcept { return frames_.back(); }

 private:
  std::vector<Frame> frames_;
  AddressSet on_path_;
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
