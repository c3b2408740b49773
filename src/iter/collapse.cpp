// collapse: flattening nested lists and tuples into one list of leaves.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "binding/critical.hpp"
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
// containers with more than one reference when they are reached (besides the
// walk's own) are listed in a set of addresses (open addressing, linear
// probing, at most half full counting erased slots). Trees built the usual way
// (literals, JSON, list comprehensions) share no containers, so the set stays
// empty however deep they are. Should a signal handler or another thread add
// references during the walk, a cycle is still found, one turn later.
//
// With the interpreter lock, no Python code runs during the walk but the
// signal handlers that it calls now and then, so the containers on the path
// are borrowed from their parents and held only before a handler can run
// (`hold`): each is held at most once, and the held frames are always the
// bottom of the path. On a free-threaded build another thread may empty a
// parent at any moment, so every container on the path is held from the
// moment it is read.
class Path {
 public:
  Path() = default;
  Path(const Path&) = delete;
  Path& operator=(const Path&) = delete;
  ~Path() {
    while (!frames_.empty()) pop();
  }

  // Pushes `container`; false when it is already on the path.
  bool push(Item container) {
    PyObject* const object = container.get();
    const bool listed = Py_REFCNT(object) > (kFreeThreaded ? 2 : 1);
    if (listed && !insert(object)) return false;
    frames_.push_back(Frame{object, 0, listed});
    if constexpr (kFreeThreaded) {
      // The frame takes the item's reference over.
      static_cast<void>(std::move(container).take().release());
      held_ = frames_.size();
    }
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
  // one from its parent (on a free-threaded build they are all held already).
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
// Python code can see them: signal handlers run during the walk (and on a
// free-threaded build other threads run all along), and code that found a
// half-built result (gc.get_objects()) could read it, or feed it back into the
// walk. The storage grows as a list's own items do (PyMem_Realloc with the
// same headroom, large blocks extended in place); the list is made at the end.
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

  // Keeps `leaf`; false when there is no memory for it. Runs no Python code
  // (it is called inside a container's critical section).
  [[nodiscard]] bool push(Item leaf) noexcept {
    if (size_ == capacity_) {
      const Py_ssize_t capacity = size_ + (size_ >> 3) + (size_ < 9 ? 3 : 6);
      void* grown =
          capacity > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject*))
              ? nullptr
              : PyMem_Realloc(items_, static_cast<std::size_t>(capacity) * sizeof(PyObject*));
      if (!grown) return false;
      items_ = static_cast<PyObject**>(grown);
      capacity_ = capacity;
    }
    items_[size_++] = std::move(leaf).take().release();
    return true;
  }

  // The result list, made the public way: created at its final length and
  // filled, nothing running between its creation and its last slot.
  Ref to_list() {
    Ref list = new_list(size_);
    for (Py_ssize_t i = 0; i < size_; ++i) PyList_SET_ITEM(list.get(), i, items_[i]);
    size_ = 0;
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

// How a run of reads from one container ended.
enum class Stop : std::uint8_t { End, Inner, SignalCheck, NoMemory };

}  // namespace

Result<Ref> collapse_body(BoundArgs& args) {
  Leaves leaves;
  Path path;
  path.push(held_item(args.varargs.get()));
  SignalStride<> signals;
  while (!path.empty()) {
    Frame& top = path.top();
    PyObject* const container = top.container;
    // The items of the container are taken in one run, under its critical
    // section, up to its end, a container inside it or a signal check. Its
    // size is read afresh for every run: a signal handler or another thread
    // may have changed it since the last one.
    Stop stop = Stop::End;
    bool check_due = false;
    Item inner;
    {
      const Locked locked(container);
      const Py_ssize_t size = container_size(container);
      while (stop == Stop::End && static_cast<Py_ssize_t>(top.next) < size) {
        PyObject* const item = container_item(container, static_cast<Py_ssize_t>(top.next++));
        if (is_container(item)) {
          inner = held_item(item);
          stop = Stop::Inner;
        } else if (!leaves.push(held_item(item))) {
          stop = Stop::NoMemory;
        }
        if (signals.due()) {
          check_due = true;
          if (stop == Stop::End) stop = Stop::SignalCheck;
        }
      }
    }
    switch (stop) {
      case Stop::End:
        path.pop();
        continue;
      case Stop::NoMemory:
        PyErr_NoMemory();
        return fail_fetched();
      case Stop::Inner:
        if (!path.push(std::move(inner))) {
          return fail(Error::value_error("collapse() argument contains a reference cycle"));
        }
        break;
      case Stop::SignalCheck:
        break;
    }
    if (check_due) {
      path.hold();
      if (Status checked = check_signals(); !checked) return fail(std::move(checked).error());
    }
  }
  return leaves.to_list();
}

}  // namespace vesk::iter
