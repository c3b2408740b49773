// Owner of one counted reference to an interpreter object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <utility>

namespace vesk {

// Whether this thread is being ended by the interpreter: once shutdown has
// begun, a thread that takes the lock back is unwound by pthread_exit without
// it, before 3.14 (binding/unlocked.hpp marks the thread before the unwind
// goes on; 3.14 and later leave such a thread waiting instead). The
// references released on the way are then left alone: without the lock, and
// with the interpreter's state perhaps gone, releasing one could crash. The
// process-wide flag keeps the thread-local one off the common path.
namespace lost_lock {
inline std::atomic<bool> in_some_thread{false};
inline thread_local bool in_this_thread = false;
inline void mark() noexcept {
  in_this_thread = true;
  in_some_thread.store(true, std::memory_order_relaxed);
}
[[nodiscard]] inline bool here() noexcept {
  return in_some_thread.load(std::memory_order_relaxed) && in_this_thread;
}
}  // namespace lost_lock

// Move-only holder of a strong reference. `steal` adopts a new reference,
// `borrow` takes one of its own; `release` hands the reference back to the
// caller (typically the interpreter, as a function result).
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref moved(std::move(other));
    std::swap(ptr_, moved.ptr_);
    return *this;
  }
  ~Ref() {
    if (ptr_ != nullptr && !lost_lock::here()) Py_DECREF(ptr_);
  }

  [[nodiscard]] static Ref steal(PyObject* ptr) noexcept { return Ref(ptr); }
  [[nodiscard]] static Ref borrow(PyObject* ptr) noexcept {
    Py_XINCREF(ptr);
    return Ref(ptr);
  }

  [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  void reset() noexcept { Ref().swap(*this); }
  void swap(Ref& other) noexcept { std::swap(ptr_, other.ptr_); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
  PyObject* ptr_ = nullptr;
};

}  // namespace vesk
