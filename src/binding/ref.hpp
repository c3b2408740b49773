// Owner of one counted reference to an interpreter object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vesk {

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
  ~Ref() { Py_XDECREF(ptr_); }

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
