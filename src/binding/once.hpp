// Process-wide values filled once, on first use, and kept until the process ends.
#pragma once

#include <atomic>

#include "binding/error.hpp"

namespace vesk {

// A once-cell for an interpreter object, read with one atomic load once it is
// filled. It holds no lock of its own: filling it runs Python code (an import,
// object creation that may start a garbage collection, audit hooks), and that
// code may come back into this module and need the very same cell, on this
// thread or another one. So every caller that finds it empty runs `init`
// itself; the first value stored wins and stays, and a caller that loses the
// race drops its own value (it holds the interpreter lock, so the release is
// safe) and takes the stored one. A failed `init` leaves the cell empty for
// the next caller.
class ProcessCell {
 public:
  // `init` returns Result<Ref>; the cell keeps the winning reference forever.
  // Returns a borrowed pointer to the value.
  template <class Init>
  Result<PyObject*> get(Init&& init) {
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    Result<Ref> made = init();
    if (!made) return fail(std::move(made).error());
    PyObject* stored = nullptr;
    if (value_.compare_exchange_strong(stored, made->get(), std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
      return made->release();
    }
    return stored;  // `made` goes when this returns
  }

 private:
  std::atomic<PyObject*> value_{nullptr};
};

// Interned attribute names used by the module.
enum class Name { Name, All, Module, Qualname, AddNote };

// A borrowed reference to the interned name, created on first use.
PyObject* interned(Name name);

}  // namespace vesk
