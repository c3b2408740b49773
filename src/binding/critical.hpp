// Reading lists and dicts that another thread may change while they are read.
//
// Builds with the interpreter lock: no other thread runs while this one holds
// the lock, so an input changes only when this thread runs Python code, and
// the callers already re-check what such code may have changed. Everything
// here then compiles to the plain reads: the guard is empty and an item read
// from a list is borrowed.
//
// Free-threaded builds: other threads run at any moment. A list's item array
// may be replaced (append, clear, sort) and its items released between two
// reads of it, and a dict's entries likewise. So:
// - a container is read under its critical section (`Locked`), the per-object
//   lock that the interpreter's own list and dict methods take;
// - an item outlives the read only with a reference of its own (`Item`);
// - no Python code runs inside a critical section: the interpreter suspends it
//   whenever the thread may block, so it guards a read, never a call into
//   Python. Work that may run Python code (creating or releasing objects,
//   lookups, comparisons, signal handlers) happens after the guard has gone.
#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

#include "binding/error.hpp"

namespace vesk {

#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

// Whether a loop may load the items of a shared list some steps ahead of the
// one it reads (a cache hint). Without the interpreter lock such a read races
// with the list's resizing, so the free-threaded build does without.
inline constexpr bool kReadsAhead = !kFreeThreaded;

// The critical section of one object for the guard's lifetime, ended on every
// path out of the scope (the C API's macros open and close a brace and cannot
// follow a return or an exception). Ending it can resume an outer critical
// section and so wait: like the lock guard of binding/unlocked.hpp, the
// destructor lets a forced unwind pass.
class Locked {
 public:
#ifdef Py_GIL_DISABLED
  explicit Locked(PyObject* object) {
    PyCriticalSection_Begin(&section_, object);
  }
  ~Locked() noexcept(false) {
    PyCriticalSection_End(&section_);
  }
#else
  explicit Locked(PyObject* /*object*/) noexcept {}
#endif
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

#ifdef Py_GIL_DISABLED
 private:
  PyCriticalSection section_;
#endif
};

// The same for two objects at once, taken without deadlock whatever the order
// in which other threads take them.
class LockedPair {
 public:
#ifdef Py_GIL_DISABLED
  LockedPair(PyObject* a, PyObject* b) {
    PyCriticalSection2_Begin(&section_, a, b);
  }
  ~LockedPair() noexcept(false) {
    PyCriticalSection2_End(&section_);
  }
#else
  LockedPair(PyObject* /*a*/, PyObject* /*b*/) noexcept {}
#endif
  LockedPair(const LockedPair&) = delete;
  LockedPair& operator=(const LockedPair&) = delete;

#ifdef Py_GIL_DISABLED
 private:
  PyCriticalSection2 section_;
#endif
};

// An item read from a list: borrowed where only this thread can change the
// list (it stays alive until this thread runs Python code), held where any
// thread can.
class Item {
 public:
  Item() noexcept = default;
#ifdef Py_GIL_DISABLED
  explicit Item(Ref held) noexcept : held_(std::move(held)) {}
  [[nodiscard]] PyObject* get() const noexcept {
    return held_.get();
  }
  // A reference of the caller's own.
  [[nodiscard]] Ref take() && noexcept {
    return std::move(held_);
  }

 private:
  Ref held_;
#else
  explicit Item(PyObject* borrowed) noexcept : borrowed_(borrowed) {}
  [[nodiscard]] PyObject* get() const noexcept {
    return borrowed_;
  }
  [[nodiscard]] Ref take() && noexcept {
    return Ref::borrow(borrowed_);
  }

 private:
  PyObject* borrowed_ = nullptr;
#endif
};

// An item read under its container's critical section (or, for a tuple, from
// a container this thread holds), kept past the end of it.
inline Item held_item(PyObject* borrowed) noexcept {
#ifdef Py_GIL_DISABLED
  return Item(Ref::borrow(borrowed));
#else
  return Item(borrowed);
#endif
}

// Item `index` of `list`, or the interpreter's IndexError when the list has
// become shorter than that (Python code run during the call, or another
// thread, may have changed it).
inline Result<Item> list_item(PyObject* list, Py_ssize_t index) {
#ifdef Py_GIL_DISABLED
  PyObject* const item = PyList_GetItemRef(list, index);
  if (item == nullptr) return fail_fetched();
  return Item(Ref::steal(item));
#else
  if (index < PyList_GET_SIZE(list)) return Item(PyList_GET_ITEM(list, index));
  if (PyList_GetItem(list, index) == nullptr) return fail_fetched();
  return fail(Error::system_error("list index out of range"));
#endif
}

// Item `index` of `list`, held, or null when the list is shorter than that.
inline Ref list_item_or_null(PyObject* list, Py_ssize_t index) {
  const Locked locked(list);
  if (index >= PyList_GET_SIZE(list)) return Ref();
  return Ref::borrow(PyList_GET_ITEM(list, index));
}

// Stores `value` into a slot of a list whose critical section this thread
// holds. On a free-threaded build other threads read the slots without
// taking it (PyList_GetItemRef), so the store is an atomic one.
inline void store_slot(PyObject*& slot, PyObject* value) noexcept {
  if constexpr (kFreeThreaded) {
    std::atomic_ref<PyObject*>(slot).store(value, std::memory_order_release);
  } else {
    slot = value;
  }
}

// The items of a list argument, read by index, and its length when this is
// made. With the interpreter lock they are read from the list itself, each as
// it is when read (Python code that the caller runs may change the list
// meanwhile, hence the bounds check). On a free-threaded build they are
// taken, each held, at one moment, under the list's critical section, and
// read from that copy: an answer is then the one for the list as it was.
class ListItems {
 public:
  explicit ListItems(PyObject* list) : list_(list) {
    if constexpr (kFreeThreaded) {
      const Locked locked(list);
      const Py_ssize_t size = PyList_GET_SIZE(list);
      copy_.reserve(static_cast<std::size_t>(size));
      for (Py_ssize_t i = 0; i < size; ++i) copy_.push_back(Ref::borrow(PyList_GET_ITEM(list, i)));
    } else {
      size_ = PyList_GET_SIZE(list);
    }
  }

  [[nodiscard]] Py_ssize_t size() const noexcept {
    return kFreeThreaded ? static_cast<Py_ssize_t>(copy_.size()) : size_;
  }

  // Item `index` (below size()); IndexError when the list has become shorter.
  [[nodiscard]] Result<Item> operator[](Py_ssize_t index) const {
#ifdef Py_GIL_DISABLED
    return Item(Ref::borrow(copy_[static_cast<std::size_t>(index)].get()));
#else
    return list_item(list_, index);
#endif
  }

 private:
  [[maybe_unused]] PyObject* list_;
  Py_ssize_t size_ = 0;
  std::vector<Ref> copy_;
};

// dict[key] into `value`, held: 1 when `dict` has `key`, 0 when it has not,
// -1 with the exception pending when the lookup failed (the form of
// PyDict_GetItemRef: no error value is made on this path, which a sort takes
// once per row and column).
inline int dict_lookup(PyObject* dict, PyObject* key, Ref& value) {
#ifdef Py_GIL_DISABLED
  PyObject* found = nullptr;
  const int status = PyDict_GetItemRef(dict, key, &found);
  value = Ref::steal(found);
  return status;
#else
  // Held at once: nothing runs between the lookup and the reference.
  PyObject* const found = PyDict_GetItemWithError(dict, key);
  value = Ref::borrow(found);
  if (found != nullptr) return 1;
  return PyErr_Occurred() ? -1 : 0;
#endif
}

}  // namespace vesk
