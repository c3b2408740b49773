// Process-wide values filled once, on first use, and kept until the process ends.
#pragma once

#include <atomic>
#include <mutex>

#include "binding/error.hpp"

namespace vesk {

// A once-cell for an interpreter object. The first caller gives up the
// interpreter lock before it takes the cell's own lock, so a thread waiting for
// another one to fill the cell never holds the interpreter lock, and then takes
// the interpreter lock back to run `init`. Once filled, reading the cell is one
// atomic load. A failed `init` leaves the cell empty for the next caller.
class ProcessCell {
 public:
  // `init` returns Result<Ref>; the cell keeps that reference forever.
  // Returns a borrowed pointer to the value.
  template <class Init>
  Result<PyObject*> get(Init&& init) {
    if (PyObject* value = value_.load(std::memory_order_acquire)) {
      return value;
    }
    PyThreadState* state = PyEval_SaveThread();
    std::unique_lock<std::mutex> guard(mutex_);
    PyEval_RestoreThread(state);
    if (PyObject* value = value_.load(std::memory_order_acquire)) {
      return value;
    }
    Result<Ref> made = init();
    if (!made) {
      return fail(std::move(made).error());
    }
    PyObject* value = made->release();
    value_.store(value, std::memory_order_release);
    return value;
  }

 private:
  std::atomic<PyObject*> value_{nullptr};
  std::mutex mutex_;
};

// Interned attribute names used by the module.
enum class Name { Name, All, Module, Qualname, AddNote };

// A borrowed reference to the interned name, created on first use.
PyObject* interned(Name name);

}  // namespace vesk
