// collapse: flattening nested lists and tuples into one list of leaves.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "binding/to_python.hpp"
#include "iter/py_iter.hpp"

namespace vesk::iter {
namespace {

// One container being walked: 16 bytes, since deep walks keep one per level.
struct Frame {
  PyObject* container;
  std::uint64_t next : 63;   // index of the next item to visit
  std::uint64_t listed : 1;  // whether the container is in the path's address set
};

// The containers on the current path of the walk. A container comes back onto
// the path only if it holds itself, directly or through others, and a repeat
// is reported at once as a cycle.
//
// The first container to come back is always one that something besides its
// parent refers to: a container referred to once, by its parent, is reached
// again only through that parent, which would have come back first. So only
// containers with more than one reference when they are reached are listed in
// a set of addresses (open addressing, linear probing, at most half full
// counting erased slots). Trees built the usual way (literals, JSON, list
// comprehensions) share no containers, so the set stays empty however deep
// they are. Should a signal handler add references during the walk, a cycle is
// still found, one turn later.
//
// No Python code runs during the walk but the signal handlers that it calls
// now and then, so the containers on the path are borrowed from their parents
// and held only before a handler can run (`hold`): each is held at most once,
// and the held frames are always the bottom of the path.
class Path {
 public:
  Path() = default;
  Path(const Path&) = delete;
  Path& operator=(const Path&) = delete;
  ~Path() {
    while (!frames_.empty()) pop();
  }

  // Pushes `container`; false when it is already on the path.
  bool push(PyObject* container) {
    const bool listed = Py_REFCNT(container) > 1;
    if (listed && !insert(container)) return false;
    frames_.push_back(Frame{container, 0, listed});
    return true;
  }

  // Releasing a held container can run Python code, which may change the
  // containers below it: the caller reads sizes afresh after every pop.
  void pop() {
    const Frame frame = frames_.back();
    if (frame.listed) erase(frame.container);
    frames_.pop_back();
    if (held_ > frames_.size()) {
      held_ = frames_.size();
      Py_DECREF(frame.container);
    }
  }

  // Holds every container on the path, before Python code may run and drop
  // one from its parent.
  void hold() {
    for (; held_ < frames_.size(); ++held_) Py_INCREF(frames_[held_].container);
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

  // Adds `object`; false when it is there already.
  bool insert(const PyObject* object) {
    if ((used_ + 1) * 2 > slots_.size()) rehash();
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
    return true;
  }

  void erase(const PyObject* object) {
    for (std::size_t at = home(object); slots_[at] != nullptr; at = (at + 1) & mask_) {
      if (slots_[at] == object) {
        slots_[at] = kErased;
        --count_;
        return;
      }
    }
  }

  // Moves the listed containers into a table without erased slots and with
  // room for at least four times as many.
  void rehash() {
    std::size_t capacity = 64;
    while (capacity < count_ * 4) capacity *= 2;
    std::vector<const PyObject*> old(capacity, nullptr);
    old.swap(slots_);
    mask_ = capacity - 1;
    shift_ = 64;
    for (std::size_t size = capacity; size > 1; size >>= 1) --shift_;
    count_ = used_ = 0;
    for (const PyObject* object : old) {
      if (object != nullptr && object != kErased) insert(object);
    }
  }

  std::vector<Frame> frames_;
  std::size_t held_ = 0;  // frames [0, held_) hold their container
  std::vector<const PyObject*> slots_;
  std::size_t count_ = 0;  // live entries
  std::size_t used_ = 0;   // live and erased entries
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
};

// The leaves met so far, each with a reference of its own, kept where no
// Python code can see them: signal handlers run during the walk, and one that
// found a half-built result (gc.get_objects()) could read it, or feed it back
// into the walk. The storage grows as a list's own items do (PyMem_Realloc
// with the same headroom, large blocks extended in place), so that the list
// made at the end adopts it as it is: no copy and no second block.
class Leaves {
 public:
  Leaves() = default;
  Leaves(const Leaves&) = delete;
  Leaves& operator=(const Leaves&) = delete;
  ~Leaves() {
    // Releasing a leaf can run Python code; the storage is ours until freed.
    for (Py_ssize_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
    PyMem_Free(items_);
  }

  Status push(PyObject* leaf) {
    if (size_ == capacity_) {
      const Py_ssize_t capacity = size_ + (size_ >> 3) + (size_ < 9 ? 3 : 6);
      void* grown =
          capacity > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject*))
              ? nullptr
              : PyMem_Realloc(items_, static_cast<std::size_t>(capacity) * sizeof(PyObject*));
      if (!grown) {
        PyErr_NoMemory();
        return fail_fetched();
      }
      items_ = static_cast<PyObject**>(grown);
      capacity_ = capacity;
    }
    Py_INCREF(leaf);
    items_[size_++] = leaf;
    return {};
  }

  // The result list, which takes the storage over. Creating it can run Python
  // code (a collection); nothing runs between its creation and the hand-over.
  Ref to_list() {
    Ref list = new_list(0);
    auto* const target = reinterpret_cast<PyListObject*>(list.get());
    target->ob_item = items_;
    target->allocated = capacity_;
    Py_SET_SIZE(target, size_);
    items_ = nullptr;
    size_ = capacity_ = 0;
    return list;
  }

 private:
  PyObject** items_ = nullptr;
  Py_ssize_t size_ = 0;
  Py_ssize_t capacity_ = 0;
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
  Leaves leaves;
  Path path;
  path.push(args.varargs.get());
  SignalStride<> signals;
  while (!path.empty()) {
    // Sizes are read afresh at every step: a signal handler may have
    // changed a list on the path since the last one.
    Frame& top = path.top();
    PyObject* const container = top.container;
    if (static_cast<Py_ssize_t>(top.next) >= container_size(container)) {
      path.pop();
      continue;
    }
    PyObject* const item = container_item(container, static_cast<Py_ssize_t>(top.next++));
    if (is_container(item)) {
      if (!path.push(item)) {
        return fail(Error::value_error("collapse() argument contains a reference cycle"));
      }
    } else if (Status kept = leaves.push(item); !kept) {
      return fail(std::move(kept).error());
    }
    if (signals.due()) {
      path.hold();
      if (Status checked = check_signals(); !checked) return fail(std::move(checked).error());
    }
  }
  return leaves.to_list();
}

}  // namespace vesk::iter
